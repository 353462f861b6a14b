#ifndef TARVELL_XML_XMLSAXPARSER_H
#define TARVELL_XML_XMLSAXPARSER_H

#include <expat.h>

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>

class Element;

// The tag kinds of a message; a tag is classified by its first two characters only.
enum TagKind {
  kUnknownTag = 0,
  kMethodTag = 1,
  kResponseTag = 2,
  kExceptionTag = 3,
  kArgTag = 4,
  kChildTag = 5,
  kListTag = 6,
  kMapTag = 7,
  kIntegerTag = 8,
  kStringTag = 9,
  kBooleanTag = 10,
  kDoubleTag = 11,
  kCompositeTag = 12,
  kNullTag = 13,
  kBinaryTag = 14
};

// One open tag while a message is parsed.
struct ElementData {
  int kind = kUnknownTag;
  std::string text;                               // character data met while this tag was innermost
  std::unique_ptr<Element> element;               // the value built for this tag so far
  std::map<std::string, std::string> attributes;  // kept for kinds 1 to 5 only
};

// Reads one XML message (method call, response or exception) into a MapElem holding
// "messageType", "requestID" and the payload ("result", or one child per argument plus
// "systemRule").
class XMLSAXParser {
 public:
  XMLSAXParser();
  ~XMLSAXParser();
  XMLSAXParser(const XMLSAXParser&) = delete;
  XMLSAXParser& operator=(const XMLSAXParser&) = delete;

  // Parses the buffer as one chunk; the end of the document is not required. Returns 0, or -1
  // when the XML is malformed or a value cannot be read (an <IntegerElem> that is not a
  // number) or nests more than kMaxDepth elements; the reason goes to standard error as "<message> at line <n>".
  int parseMessage(const char* data, int length);

  // The last message element that closed, or null. Ownership passes to the caller with the
  // first call (later calls return the same pointer, still the caller's); a result nobody
  // asked for is destroyed with the parser.
  Element* getResult();
  // The same hand-over as a smart pointer; the parser forgets the result (null when
  // getResult() has already handed it over).
  std::unique_ptr<Element> takeResult();

  // Documents with more open tags than this at once are refused as malformed.
  static const size_t kMaxDepth;

  static int getElementType(const char* tagName);
  // Copies the Expat attribute list (name, value, ..., null) into the map; a later pair
  // overwrites an earlier one of the same name. Returns 0.
  static int addAttributes(std::map<std::string, std::string>& map, const char** attributes);

  // Expat callbacks; the user data is the XMLSAXParser. They never let an exception out.
  static void SAXstartElement(void* userData, const char* tagName, const char** attributes);
  static void SAXendElement(void* userData, const char* tagName);
  static void SAXcharData(void* userData, const char* characters, int length);

 private:
  void startElement(const char* tagName, const char** attributes);
  void endElement(const char* tagName);
  void setResult(std::unique_ptr<Element> result);
  void abortParse(const std::string& reason);

  Element* _result;  // owned by the parser until _resultTaken
  bool _resultTaken;
  std::deque<std::unique_ptr<ElementData>> _stack;
  XML_Parser _expat;  // the Expat parser while parseMessage runs
  bool _failed;       // a callback stopped the parse
};

#endif
