#ifndef TARVELL_XML_XMLVISITOR_H
#define TARVELL_XML_XMLVISITOR_H

#include "element/ElementVisitor.h"

#include <string>
#include <utility>

// The kinds of message the visitor writes; the codes are part of the wire format.
enum class MessageKind : int {
  response = 1,
  exception = 2,
  getAttribute = 3,
  setAttribute = 4,
  callMethod = 5,
  callRule = 6,
  addObserver = 7,
  removeObserver = 8,
  instantiate = 9,
  event = 10,
  callVoidMethod = 11
};

// Writes one XML message: the constructor writes the prolog, the envelope and the fixed
// arguments, the value element's accept() appends its tree, createMemoryDump() closes the
// envelope and hands the text out.
//
// Text content is escaped (& and <, and > after "]]") and attribute values too (&, < and ");
// bytes that XML 1.0 cannot carry are replaced: a byte that is not part of valid UTF-8 is
// written as the character of the same code (&#xHH;), a control character or U+FFFE/U+FFFF
// as U+FFFD. A document that needed none of this is written unchanged.
class XMLVisitor : public ElementVisitor {
 public:
  // A method message, kinds 3 to 11. Texts a kind does not use are ignored.
  XMLVisitor(int kind, int requestID, std::string text1, std::string text2, std::string text3);
  XMLVisitor(MessageKind kind, int requestID, std::string text1, std::string text2, std::string text3)
      : XMLVisitor(static_cast<int>(kind), requestID, std::move(text1), std::move(text2), std::move(text3)) {}
  // A response (1) or exception (2) envelope; other kinds give a method envelope with
  // empty argument texts.
  XMLVisitor(int kind, int requestID);
  XMLVisitor(MessageKind kind, int requestID) : XMLVisitor(static_cast<int>(kind), requestID) {}
  // A plain document: the prolog and <rootTag>; createMemoryDump closes it with </rootTag>.
  explicit XMLVisitor(std::string rootTag);
  ~XMLVisitor() override;

  void visitorAtPersistentElem(PersistentElem* element) override;
  void visitorAtCompositeElem(CompositeElem* element) override;
  void visitorAtMapElem(MapElem* element) override;
  void visitorAtListElem(ListElem* element) override;
  void visitorAtIntegerElem(IntegerElem* element) override;
  void visitorAtBooleanElem(BooleanElem* element) override;
  void visitorAtDoubleElem(DoubleElem* element) override;
  void visitorAtStringElem(StringElem* element) override;
  void visitorAtBinaryElem(BinaryElem* element) override;
  void visitorAtNullElem(NullElem* element) override;
  void visitorAtObjectStoreException(ObjectStoreException* exception) override;

  // Closes the envelope and stores in *buffer a malloc'd copy of the whole document
  // (zero-terminated; the terminator is not counted in *length). The caller frees it with
  // free(). Returns 0, or -1 with *buffer null and *length 0 when memory runs out.
  // Called once, after the value element has been visited.
  int createMemoryDump(char** buffer, unsigned int* length);

  // Appends a tag, on a new line indented two blanks per level of depth when asked.
  void writeElementTag(const char* tag, bool newLine);
  // Appends text as it is (no escaping: callers pass markup or already escaped text).
  void writeElementText(const char* text);

  // The escaping used for text content and for attribute values.
  static std::string escapeText(const std::string& text);
  static std::string escapeAttribute(const std::string& value);

 private:
  void openMethod(int requestID, const std::string& text1, const std::string& text2, const std::string& text3);
  void writeTag(const std::string& tag, bool newLine);
  void writeChildren(MapElem* element);
  void writeLeaf(const char* open, const std::string& escapedText, const char* close);

  std::string _document;
  int _kind;
  int _depth;
  bool _plain;  // made by the root-tag constructor
  std::string _rootTag;
};

#endif
