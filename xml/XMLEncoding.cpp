#include "xml/XMLEncoding.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "element/Elements.h"
#include "xml/ObjectStore.h"

namespace {

bool isElement(xmlNodePtr node) { return node != nullptr && node->type == XML_ELEMENT_NODE; }

bool named(xmlNodePtr node, const char* tag) {
  return xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(tag)) == 0;
}

// The text of a leaf tag: the content of its first child when that is text.
// Other node kinds (an element, an entity declaration behind a reference) are
// not read, since their records are not plain text nodes.
const char* leafText(xmlNodePtr node) {
  xmlNodePtr first = node->children;
  if (first == nullptr) return nullptr;
  if (first->type != XML_TEXT_NODE && first->type != XML_CDATA_SECTION_NODE) return nullptr;
  return reinterpret_cast<const char*>(first->content);
}

// The first element child: the value node of an entry.
xmlNodePtr firstElementChild(xmlNodePtr node) {
  xmlNodePtr first = node->children;
  return isElement(first) ? first : nullptr;
}

// The value of an element's first attribute, whatever it is called. Returns
// false when there is no attribute; *hasValue tells whether the attribute has
// a value node.
bool firstAttribute(xmlNodePtr node, std::string* value, bool* hasValue) {
  if (!isElement(node) || node->properties == nullptr) return false;
  xmlNodePtr valueNode = node->properties->children;
  *hasValue = valueNode != nullptr && valueNode->content != nullptr;
  value->assign(*hasValue ? reinterpret_cast<const char*>(valueNode->content) : "");
  return true;
}

// atoi's reading, with values outside int clamped instead of undefined.
int readInt(const char* text) {
  const long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// Stores value under key. A refused write (a class setter) or a replaced
// entry leaves an element nobody holds; both are destroyed here.
void addEntry(MapElem& map, const std::string& key, std::unique_ptr<Element> value) {
  Element* raw = value.get();
  Element* previous = map.addChild(raw, key);
  if (raw->getParent() == nullptr) return;
  value.release();
  if (previous != nullptr && previous != raw && previous->getParent() == &map) delete previous;
}

std::unique_ptr<Element> decodeNested(xmlNodePtr node, bool allowComposite);

// Fills a map or composite from its <child> nodes.
void fillEntries(MapElem& map, xmlNodePtr node) {
  for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
    std::string key;
    bool hasValue = false;
    if (!firstAttribute(child, &key, &hasValue)) continue;
    xmlNodePtr valueNode = firstElementChild(child);
    if (valueNode == nullptr) continue;
    std::unique_ptr<Element> value = decodeNested(valueNode, true);
    if (value) addEntry(map, key, std::move(value));
  }
}

// Values inside containers and arguments. They read numbers leniently and
// drop a boolean that is neither word, unlike the top-level entry.
std::unique_ptr<Element> decodeNested(xmlNodePtr node, bool allowComposite) {
  if (!isElement(node)) return nullptr;
  const char* text = leafText(node);
  if (named(node, "StringElem")) return std::unique_ptr<Element>(new StringElem(text ? text : ""));
  if (named(node, "IntegerElem")) {
    if (text == nullptr) return nullptr;
    return std::unique_ptr<Element>(new IntegerElem(readInt(text)));
  }
  if (named(node, "BooleanElem")) {
    if (text == nullptr) return nullptr;
    if (std::strcmp(text, "true") == 0) return std::unique_ptr<Element>(new BooleanElem(true));
    if (std::strcmp(text, "false") == 0) return std::unique_ptr<Element>(new BooleanElem(false));
    return nullptr;
  }
  if (named(node, "DoubleElem")) {
    if (text == nullptr) return nullptr;
    return std::unique_ptr<Element>(new DoubleElem(std::atof(text)));
  }
  if (named(node, "NullElem")) return std::unique_ptr<Element>(new NullElem());
  if (named(node, "ListElem")) return XMLEncoding::parseListElem(node);
  if (named(node, "MapElem")) return XMLEncoding::parseMapElem(node);
  if (allowComposite && named(node, "CompositeElem")) return XMLEncoding::parseCompositeElem(node);
  return nullptr;
}

// Walks the sibling list for the argument named argName. Returns the match,
// or null with *stopped telling whether the walk ended early.
xmlNodePtr findArg(xmlNodePtr node, const char* argName, bool* stopped) {
  *stopped = false;
  if (argName == nullptr) {
    *stopped = true;
    return nullptr;
  }
  for (; node != nullptr; node = node->next) {
    std::string value;
    bool hasValue = false;
    if (!firstAttribute(node, &value, &hasValue) || !hasValue) {
      *stopped = true;
      return nullptr;
    }
    if (value == argName) return node;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<Element> XMLEncoding::deSerializeElement(xmlNodePtr node) {
  if (!isElement(node)) return nullptr;
  const char* text = leafText(node);
  if (named(node, "ListElem")) return parseListElem(node);
  if (named(node, "MapElem")) return parseMapElem(node);
  if (named(node, "StringElem")) return std::unique_ptr<Element>(new StringElem(text ? text : ""));
  if (named(node, "IntegerElem")) {
    if (text == nullptr) return nullptr;
    return std::unique_ptr<Element>(new IntegerElem(StringToi(text)));
  }
  if (named(node, "BooleanElem")) {
    if (text == nullptr) return nullptr;
    return std::unique_ptr<Element>(new BooleanElem(std::strcmp(text, "true") == 0));
  }
  if (named(node, "DoubleElem")) {
    if (text == nullptr) return nullptr;
    return std::unique_ptr<Element>(new DoubleElem(std::atof(text)));
  }
  if (named(node, "NullElem")) return std::unique_ptr<Element>(new NullElem());
  if (named(node, "CompositeElem")) return parseCompositeElem(node);
  return nullptr;
}

std::unique_ptr<MapElem> XMLEncoding::parseMapElem(xmlNodePtr node) {
  if (!isElement(node)) return nullptr;
  std::unique_ptr<MapElem> map(new MapElem());
  fillEntries(*map, node);
  return map;
}

std::unique_ptr<ListElem> XMLEncoding::parseListElem(xmlNodePtr node) {
  if (!isElement(node)) return nullptr;
  std::unique_ptr<ListElem> list(new ListElem());
  for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
    std::unique_ptr<Element> value = decodeNested(child, true);
    if (!value) continue;
    list->add(value.get());
    value.release();
  }
  return list;
}

std::unique_ptr<CompositeElem> XMLEncoding::parseCompositeElem(xmlNodePtr node) {
  std::string path;
  bool hasValue = false;
  if (!firstAttribute(node, &path, &hasValue)) return nullptr;
  // The serialiser writes an empty enclosure for an object without a class.
  Element* enclosure = path.empty() ? nullptr : ObjectStore::getElement(path);
  std::unique_ptr<CompositeElem> composite(new CompositeElem(enclosure));
  fillEntries(*composite, node);
  return composite;
}

const char* XMLEncoding::parseStringArg(xmlNodePtr node, const char* argName) {
  bool stopped = false;
  xmlNodePtr match = findArg(node, argName, &stopped);
  return match == nullptr ? nullptr : leafText(match);
}

std::unique_ptr<Element> XMLEncoding::parseElemArg(xmlNodePtr node, const char* argName) {
  bool stopped = false;
  xmlNodePtr match = findArg(node, argName, &stopped);
  if (match == nullptr) return nullptr;
  return decodeNested(firstElementChild(match), false);
}

std::unique_ptr<ListElem> XMLEncoding::parseListElemArg(xmlNodePtr node, const char* argName) {
  bool stopped = false;
  xmlNodePtr match = findArg(node, argName, &stopped);
  if (match == nullptr) {
    if (stopped) return nullptr;
    return std::unique_ptr<ListElem>(new ListElem());
  }
  return parseListElem(firstElementChild(match));
}
