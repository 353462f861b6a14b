#include "xml/XMLSAXParser.h"

#include "element/BinaryElem.h"
#include "element/BooleanElem.h"
#include "element/DoubleElem.h"
#include "element/Element.h"
#include "element/IntegerElem.h"
#include "element/ListElem.h"
#include "element/MapElem.h"
#include "element/NullElem.h"
#include "element/StringElem.h"
#include "element/TextConversion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

namespace {

struct TagName {
  const char* name;
  int kind;
};

// Checked in this order; only the first two characters of a tag are compared.
const TagName kTagNames[] = {
    {"ListElem", kListTag},       {"MapElem", kMapTag},
    {"IntegerElem", kIntegerTag}, {"StringElem", kStringTag},
    {"BooleanElem", kBooleanTag}, {"DoubleElem", kDoubleTag},
    {"NullElem", kNullTag},       {"CompositeElem", kCompositeTag},
    {"method", kMethodTag},       {"response", kResponseTag},
    {"exception", kExceptionTag}, {"arg", kArgTag},
    {"child", kChildTag},         {"BinaryElem", kBinaryTag},
};

std::string attribute(const ElementData& record, const char* name) {
  const auto found = record.attributes.find(name);
  return found == record.attributes.end() ? std::string() : found->second;
}

// Stores value in map under name; whatever it displaces is no longer referenced.
void addToMap(Element* map, const std::string& name, std::unique_ptr<Element> value) {
  Element* displaced = map->addChild(name, value.get());
  value.release();
  delete displaced;
}

// The value a closing tag contributes to its enclosing tag, or null.
std::unique_ptr<Element> closingValue(ElementData& record) {
  switch (record.kind) {
    case kArgTag:
      if (record.element) return std::move(record.element);
      return std::unique_ptr<Element>(new StringElem(record.text));
    case kChildTag:
    case kListTag:
    case kMapTag: return std::move(record.element);
    case kIntegerTag: return std::unique_ptr<Element>(new IntegerElem(StringToi(record.text)));
    case kStringTag: return std::unique_ptr<Element>(new StringElem(record.text));
    case kBooleanTag: return std::unique_ptr<Element>(new BooleanElem(record.text));
    case kDoubleTag: return std::unique_ptr<Element>(new DoubleElem(std::atof(record.text.c_str())));
    case kNullTag: return std::unique_ptr<Element>(new NullElem());
    case kBinaryTag: {
      std::vector<unsigned char> bytes(record.text.size() + 1);
      const int n = Base64ToStr(record.text.c_str(), bytes.data(), static_cast<int>(record.text.size()));
      return std::unique_ptr<Element>(new BinaryElem(bytes.data(), static_cast<unsigned int>(n > 0 ? n : 0)));
    }
    default: return nullptr;  // composites and unknown tags carry no value
  }
}

}  // namespace

// Messages nest a handful of levels. The trees are freed and written recursively, so a reply
// nested without bound could exhaust the stack; deeper documents are refused.
const size_t XMLSAXParser::kMaxDepth = 1000;

XMLSAXParser::XMLSAXParser() : _result(nullptr), _resultTaken(false), _expat(nullptr), _failed(false) {}

XMLSAXParser::~XMLSAXParser() {
  if (!_resultTaken) delete _result;
}

int XMLSAXParser::getElementType(const char* tagName) {
  if (!tagName) return kUnknownTag;
  for (const TagName& t : kTagNames)
    if (std::strncmp(tagName, t.name, 2) == 0) return t.kind;
  return kUnknownTag;
}

int XMLSAXParser::addAttributes(std::map<std::string, std::string>& map, const char** attributes) {
  for (const char** a = attributes; a && a[0] && a[1]; a += 2) map[a[0]] = a[1];
  return 0;
}

Element* XMLSAXParser::getResult() {
  if (_result) _resultTaken = true;
  return _result;
}

std::unique_ptr<Element> XMLSAXParser::takeResult() {
  std::unique_ptr<Element> result(_resultTaken ? nullptr : _result);
  _result = nullptr;
  _resultTaken = false;
  return result;
}

void XMLSAXParser::setResult(std::unique_ptr<Element> result) {
  if (!_resultTaken) delete _result;  // a message element replaced before anyone took it
  _result = result.release();
  _resultTaken = false;
}

void XMLSAXParser::abortParse(const std::string& reason) {
  if (_failed) return;
  _failed = true;
  std::fprintf(stderr, "%s at line %d\n", reason.c_str(), static_cast<int>(XML_GetCurrentLineNumber(_expat)));
  XML_StopParser(_expat, XML_FALSE);
}

int XMLSAXParser::parseMessage(const char* data, int length) {
  if (length < 0 || (!data && length > 0)) return -1;
  XML_Parser expat = XML_ParserCreate(nullptr);
  if (!expat) return -1;
  XML_SetUserData(expat, this);
  XML_SetElementHandler(expat, SAXstartElement, SAXendElement);
  XML_SetCharacterDataHandler(expat, SAXcharData);
  _expat = expat;
  _failed = false;

  // Not final: a message that stops inside an open element is no error.
  const XML_Status status = XML_Parse(expat, data, length, XML_FALSE);
  int rc = 0;
  if (_failed) {
    rc = -1;  // the callback has reported why
  } else if (status == XML_STATUS_ERROR) {
    std::fprintf(stderr, "%s at line %d\n", XML_ErrorString(XML_GetErrorCode(expat)),
                 static_cast<int>(XML_GetCurrentLineNumber(expat)));
    rc = -1;
  }
  _expat = nullptr;
  XML_ParserFree(expat);
  return rc;
}

void XMLSAXParser::SAXstartElement(void* userData, const char* tagName, const char** attributes) {
  auto* self = static_cast<XMLSAXParser*>(userData);
  if (self->_failed) return;
  try {
    self->startElement(tagName, attributes);
  } catch (const Exception& e) {
    self->abortParse(e.getMessage());
  } catch (const std::exception& e) {
    self->abortParse(e.what());
  } catch (...) {
    self->abortParse("unexpected failure");
  }
}

void XMLSAXParser::SAXendElement(void* userData, const char* tagName) {
  auto* self = static_cast<XMLSAXParser*>(userData);
  if (self->_failed) return;
  try {
    self->endElement(tagName);
  } catch (const Exception& e) {
    self->abortParse(e.getMessage());
  } catch (const std::exception& e) {
    self->abortParse(e.what());
  } catch (...) {
    self->abortParse("unexpected failure");
  }
}

void XMLSAXParser::SAXcharData(void* userData, const char* characters, int length) {
  auto* self = static_cast<XMLSAXParser*>(userData);
  if (self->_failed || self->_stack.empty() || length <= 0) return;
  try {
    self->_stack.back()->text.append(characters, static_cast<size_t>(length));
  } catch (...) {
    self->abortParse("out of memory");
  }
}

void XMLSAXParser::startElement(const char* tagName, const char** attributes) {
  if (_stack.size() >= kMaxDepth) {
    abortParse("elements nested too deeply");
    return;
  }
  std::unique_ptr<ElementData> record(new ElementData);
  record->kind = getElementType(tagName);
  switch (record->kind) {
    case kMethodTag:
    case kResponseTag:
    case kExceptionTag:
      record->element.reset(new MapElem());
      addAttributes(record->attributes, attributes);
      break;
    case kArgTag:
    case kChildTag: addAttributes(record->attributes, attributes); break;
    case kListTag: record->element.reset(new ListElem()); break;
    case kMapTag: record->element.reset(new MapElem()); break;
    case kUnknownTag: std::printf("UNKNOWN TYPE\r\n"); break;
    default: break;  // leaf and composite tags: attributes are not kept
  }
  _stack.push_back(std::move(record));
}

void XMLSAXParser::endElement(const char*) {
  // Expat only reports an end tag that matches the open one, so the popped record's kind
  // is the kind of the closing tag.
  if (_stack.empty()) return;
  std::unique_ptr<ElementData> closing = std::move(_stack.back());
  _stack.pop_back();

  switch (closing->kind) {
    case kMethodTag: {
      Element* map = closing->element.get();
      addToMap(map, "messageType", std::unique_ptr<Element>(new StringElem("method")));
      addToMap(map, "systemRule", std::unique_ptr<Element>(new StringElem(attribute(*closing, "name"))));
      addToMap(map, "requestID", std::unique_ptr<Element>(new StringElem(attribute(*closing, "requestID"))));
      setResult(std::move(closing->element));
      return;
    }
    case kResponseTag:
    case kExceptionTag: {
      Element* map = closing->element.get();
      addToMap(map, "messageType",
               std::unique_ptr<Element>(new StringElem(closing->kind == kResponseTag ? "response" : "exception")));
      addToMap(map, "requestID", std::unique_ptr<Element>(new StringElem(attribute(*closing, "requestID"))));
      setResult(std::move(closing->element));
      return;
    }
    default: break;
  }

  std::unique_ptr<Element> value = closingValue(*closing);
  if (!value || _stack.empty()) return;  // nothing to hand on, or nobody to take it: destroyed here

  ElementData& enclosing = *_stack.back();
  switch (enclosing.kind) {
    case kMethodTag:
    case kMapTag: addToMap(enclosing.element.get(), attribute(*closing, "name"), std::move(value)); break;
    case kResponseTag:
    case kExceptionTag: addToMap(enclosing.element.get(), "result", std::move(value)); break;
    case kArgTag:
    case kChildTag:
      enclosing.element = std::move(value);  // a later value replaces an earlier one
      break;
    case kListTag: {
      auto* list = static_cast<ListElem*>(enclosing.element.get());
      list->add(value.get());
      value.release();
      break;
    }
    default: break;  // leaf, composite or unknown tag around a value: it is dropped
  }
}
