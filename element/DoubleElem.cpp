#include "element/DoubleElem.h"

#include <cfloat>
#include <climits>
#include <cmath>

#include "element/TextConversion.h"

DoubleElem::DoubleElem(double value) : _value(value) {}

double DoubleElem::doubleValue() { return _value; }

std::string DoubleElem::stringValue() {
  // Narrowed to float on purpose: the text carries only float precision.
  float narrowed;
  if (std::isfinite(_value) && std::fabs(_value) > FLT_MAX) {
    narrowed = _value > 0 ? HUGE_VALF : -HUGE_VALF;  // what the narrowing gives, without UB
  } else {
    narrowed = static_cast<float>(_value);
  }
  return fToString(narrowed);
}

int DoubleElem::intValue() {
  if (std::isnan(_value)) return 0;
  if (_value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (_value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(_value);
}

bool DoubleElem::booleanValue() { return _value != 0.0; }
std::string DoubleElem::toString() { return Element::toString() + ": " + stringValue(); }
Element* DoubleElem::clone() { return new DoubleElem(_value); }
Element* DoubleElem::externalize(Element*) { return new DoubleElem(_value); }
void DoubleElem::accept(ElementVisitor* visitor) { visitor->visitorAtDoubleElem(this); }

bool DoubleElem::instanceOf(std::string className) { return className == _type || DataElem::instanceOf(className); }
