// Feeds arbitrary bytes to the reply parser. Whatever it builds must serialise back into a
// document that Expat accepts and that the parser reads again. The raw bytes, used as a text
// and as a child name, must serialise into a well-formed document too.
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

#include "element/Element.h"
#include "element/MapElem.h"
#include "element/StringElem.h"

#include <expat.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

void requireWellFormed(const char* text, unsigned int length) {
  XML_Parser expat = XML_ParserCreate(nullptr);
  if (XML_Parse(expat, text, static_cast<int>(length), XML_TRUE) != XML_STATUS_OK)
    abort();  // the serialiser wrote something that is not well-formed
  XML_ParserFree(expat);
}

void serialiseRawBytes(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  MapElem map;
  map.addChild(raw, new StringElem(raw, raw));
  XMLVisitor visitor(MessageKind::callMethod, 1, raw, raw, "");
  map.accept(&visitor);
  char* text = nullptr;
  unsigned int length = 0;
  if (visitor.createMemoryDump(&text, &length) != 0) return;
  requireWellFormed(text, length);
  std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  serialiseRawBytes(data, size);

  std::unique_ptr<Element> result;
  {
    XMLSAXParser parser;
    parser.parseMessage(reinterpret_cast<const char*>(data), static_cast<int>(size));
    result = parser.takeResult();
  }
  if (!result) return 0;

  XMLVisitor visitor(MessageKind::response, 1);
  result->accept(&visitor);
  char* text = nullptr;
  unsigned int length = 0;
  if (visitor.createMemoryDump(&text, &length) != 0) return 0;

  requireWellFormed(text, length);

  XMLSAXParser again;
  if (again.parseMessage(text, static_cast<int>(length)) != 0 || !again.takeResult()) abort();
  std::free(text);
  return 0;
}
