#include "element/AliasElem.h"

AliasElem::AliasElem(Element* target) : _target(target) {}

Element* AliasElem::getTarget() { return _target; }

Element* AliasElem::eval(Element* context, ListElem* args) { return _target->eval(context, args); }
Element* AliasElem::getChildRaw(const std::string& name) { return _target->getChildRaw(name); }
Element* AliasElem::getChildRaw(unsigned int index) { return _target->getChildRaw(index); }
ElementIterator* AliasElem::iterator(bool) { return _target->iterator(true); }
Element* AliasElem::addChild(const std::string& name, Element* child) { return _target->addChild(name, child); }
Element* AliasElem::addChild(unsigned int index, Element* child) { return _target->addChild(index, child); }
Element* AliasElem::setChild(std::string name, Element* child) { return _target->setChild(std::move(name), child); }
Element* AliasElem::setChild(unsigned int index, Element* child) { return _target->setChild(index, child); }
Element* AliasElem::removeChild(const std::string& name) { return _target->removeChild(name); }
Element* AliasElem::removeChild(unsigned int index) { return _target->removeChild(index); }
void AliasElem::removeChildren() { _target->removeChildren(); }
unsigned int AliasElem::getNumChildren() { return _target->getNumChildren(); }
std::string AliasElem::stringValue() { return _target->stringValue(); }
int AliasElem::intValue() { return _target->intValue(); }
bool AliasElem::booleanValue() { return _target->booleanValue(); }
void* AliasElem::objectValue() { return _target->objectValue(); }
std::string AliasElem::toString() { return ": " + _target->getFullName(); }
std::string AliasElem::getName() { return _target->getName(); }
Element* AliasElem::getParent() { return _target->getParent(); }
Element* AliasElem::externalize(Element* context) { return _target->externalize(context); }
bool AliasElem::instanceOf(std::string className) { return _target->instanceOf(std::move(className)); }
