// Decodes element trees from a libxml2 node tree (a document parsed with blank
// text dropped, XML_PARSE_NOBLANKS) and looks method arguments up by name.
//
// Results are new elements owned by the caller. Nodes the decoder does not
// expect (unknown tags, leaves without text, entries without a key or value,
// text between elements) give no value. A top-level IntegerElem that is not a
// number throws ValueConversionException, and a composite whose enclosure path
// does not resolve in the object store throws that lookup's exception.
#pragma once

#include <memory>

#include <libxml/tree.h>

class CompositeElem;
class Element;
class ListElem;
class MapElem;

class XMLEncoding {
 public:
  // The element of one element tag, or null for a tag it does not decode
  // (BinaryElem included).
  static std::unique_ptr<Element> deSerializeElement(xmlNodePtr node);
  // The containers, from their tags' child nodes; null for a null node.
  static std::unique_ptr<MapElem> parseMapElem(xmlNodePtr node);
  static std::unique_ptr<ListElem> parseListElem(xmlNodePtr node);
  // The enclosure is the element at the node's first attribute value, a dotted
  // path from the store's root; an empty value gives no enclosure.
  static std::unique_ptr<CompositeElem> parseCompositeElem(xmlNodePtr node);

  // Argument lookups over the sibling list that starts at node. An argument is
  // matched by its first attribute's value; the walk stops with null at a node
  // without a usable attribute.
  // The text of the match (a pointer into the document), or null.
  static const char* parseStringArg(xmlNodePtr node, const char* argName);
  // The value inside the match, or null.
  static std::unique_ptr<Element> parseElemArg(xmlNodePtr node, const char* argName);
  // The list inside the match; an empty list when no node matches; null when
  // the walk stops early or the match holds nothing.
  static std::unique_ptr<ListElem> parseListElemArg(xmlNodePtr node, const char* argName);
};
