#include "xml/XMLVisitor.h"

#include "element/BinaryElem.h"
#include "element/BooleanElem.h"
#include "element/CompositeElem.h"
#include "element/DoubleElem.h"
#include "element/Element.h"
#include "element/IntegerElem.h"
#include "element/ListElem.h"
#include "element/MapElem.h"
#include "element/NullElem.h"
#include "element/StringElem.h"
#include "element/TextConversion.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char kProlog[] = "<?xml version=\"1.0\"?>\r\n";
const char kReplacement[] = "&#xFFFD;";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
  char small[64];
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  std::string out;
  if (needed > 0 && static_cast<size_t>(needed) < sizeof small) {
    out.assign(small, static_cast<size_t>(needed));
  } else if (needed > 0) {
    out.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(&out[0], out.size(), fmt, again);
    out.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  return out;
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence starting at s[i] (a byte >= 0x80), or 0.
size_t utf8SequenceLength(const std::string& s, size_t i) {
  const auto at = [&](size_t k) -> unsigned char { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0; };
  const unsigned char c = at(i);
  const unsigned char c1 = at(i + 1);
  if (c >= 0xC2 && c <= 0xDF) return isContinuation(c1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // no UTF-16 surrogates
    return c1 >= lo && c1 <= hi && isContinuation(at(i + 2)) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    return c1 >= lo && c1 <= hi && isContinuation(at(i + 2)) && isContinuation(at(i + 3)) ? 4 : 0;
  }
  return 0;
}

// True for a byte that escape() may have to change.
bool needsCare(unsigned char c) { return c >= 0x80 || c < 0x20 || c == '&' || c == '<' || c == '"' || c == '>'; }

std::string escape(const std::string& s, bool attribute) {
  size_t first = 0;
  while (first < s.size() && !needsCare(static_cast<unsigned char>(s[first]))) ++first;
  if (first == s.size()) return s;
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  out.append(s, 0, first);
  for (size_t i = first; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t n = utf8SequenceLength(s, i);
      if (n == 0) {
        // A stray byte: keep its value readable as the character of that code.
        out += format("&#x%02X;", c);
        i += 1;
      } else if (n == 3 && c == 0xEF && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
                 static_cast<unsigned char>(s[i + 2]) >= 0xBE) {
        out += kReplacement;  // U+FFFE and U+FFFF are not XML characters
        i += n;
      } else {
        out.append(s, i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += attribute ? "&quot;" : "\""; break;
      case '>':
        // "]]>" may not appear in text content.
        out += (!attribute && i >= 2 && s[i - 1] == ']' && s[i - 2] == ']') ? "&gt;" : ">";
        break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += kReplacement;  // not representable in XML 1.0, not even as a reference
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

struct KindNames {
  const char* method;
  const char* args[4];
};

KindNames namesFor(int kind) {
  switch (kind) {
    case 3: return {"getAttribute", {"objName", "attribName", "", ""}};
    case 4: return {"setAttribute", {"objName", "attribName", "value", ""}};
    case 5: return {"callMethod", {"objName", "method", "params", ""}};
    case 6: return {"callRule", {"ruleName", "params", "", ""}};
    case 7: return {"addObserver", {"objName", "event", "observer", ""}};
    case 8: return {"removeObserver", {"objName", "event", "observer", ""}};
    case 9: return {"instantiate", {"className", "objName", "params", ""}};
    case 10: return {"event", {"observer", "objName", "event", "data"}};
    case 11: return {"callVoidMethod", {"objName", "method", "params", ""}};
    default: return {"", {"", "", "", ""}};
  }
}

bool leavesArgumentOpen(int kind) {
  return kind == 4 || kind == 5 || kind == 6 || kind == 9 || kind == 10 || kind == 11;
}

std::string argTag(const char* name) { return "<arg name=\"" + escape(name, true) + "\">"; }

}  // namespace

std::string XMLVisitor::escapeText(const std::string& text) { return escape(text, false); }

std::string XMLVisitor::escapeAttribute(const std::string& value) { return escape(value, true); }

XMLVisitor::XMLVisitor(int kind, int requestID, std::string text1, std::string text2, std::string text3)
    : _kind(kind), _depth(0), _plain(false) {
  openMethod(requestID, text1, text2, text3);
}

void XMLVisitor::openMethod(int requestID, const std::string& text1, const std::string& text2,
                            const std::string& text3) {
  const int kind = _kind;
  const KindNames names = namesFor(kind);
  _document = kProlog;
  if (kind == 10)
    writeTag("<method name=\"" + escape(names.method, true) + "\">", false);
  else
    writeTag(format("<method name=\"%s\" requestID=\"%d\">", escape(names.method, true).c_str(), requestID), false);
  _depth = 1;

  writeTag(argTag(names.args[0]), true);
  _document += escapeText(text1);
  _document += "</arg>";

  writeTag(argTag(names.args[1]), true);
  _document += escapeText(text2);
  if (kind != 6) _document += "</arg>";

  switch (kind) {
    case 4:
    case 5:
    case 9:
    case 11: writeTag(argTag(names.args[2]), true); break;
    case 7:
    case 8:
      writeTag(argTag(names.args[2]), true);
      _document += escapeText(text3);
      _document += "</arg>";
      break;
    case 10:
      writeTag(argTag(names.args[2]), true);
      _document += escapeText(text3);
      _document += "</arg>";
      writeTag(argTag(names.args[3]), true);
      _depth = 2;
      break;
    default: break;
  }
}

XMLVisitor::XMLVisitor(int kind, int requestID) : _kind(kind), _depth(0), _plain(false) {
  if (kind != 1 && kind != 2) {
    openMethod(requestID, "", "", "");
    return;
  }
  _document = kProlog;
  writeTag(format(kind == 1 ? "<response requestID=\"%d\">" : "<exception requestID=\"%d\">", requestID), false);
  _depth = 1;
}

XMLVisitor::XMLVisitor(std::string rootTag) : _kind(0), _depth(0), _plain(true), _rootTag(std::move(rootTag)) {
  _document = kProlog;
  _document += "<" + _rootTag + ">\r\n";
}

XMLVisitor::~XMLVisitor() = default;

void XMLVisitor::writeTag(const std::string& tag, bool newLine) {
  if (newLine) {
    _document += "\r\n";
    if (_depth > 0) _document.append(static_cast<size_t>(_depth) * 2, ' ');
  }
  _document += tag;
}

void XMLVisitor::writeElementTag(const char* tag, bool newLine) { writeTag(tag ? tag : "", newLine); }

void XMLVisitor::writeElementText(const char* text) {
  if (text) _document += text;
}

void XMLVisitor::writeLeaf(const char* open, const std::string& escapedText, const char* close) {
  writeTag(open, true);
  _document += escapedText;
  _document += close;
}

void XMLVisitor::writeChildren(MapElem* element) {
  std::unique_ptr<ElementIterator> it(element->iterator(false));
  while (it->hasNext()) {
    const std::string name = it->nextName();
    Element* child = it->next();
    if (!name.empty() && name[0] == '_') continue;  // private members never leave the process
    writeTag("<child name=\"" + escapeAttribute(name) + "\">", true);
    ++_depth;
    if (child) child->accept(this);
    --_depth;
    writeTag("</child>", true);
  }
}

void XMLVisitor::visitorAtPersistentElem(PersistentElem*) {}

void XMLVisitor::visitorAtCompositeElem(CompositeElem* element) {
  Element* enclosure = element->getEnclosure();
  const std::string className = enclosure ? enclosure->getFullName() : std::string();
  writeTag("<CompositeElem  enclosure=\"" + escapeAttribute(className) + "\">", true);
  ++_depth;
  writeChildren(element);
  --_depth;
  writeTag("</CompositeElem>", true);
}

void XMLVisitor::visitorAtMapElem(MapElem* element) {
  writeTag("<MapElem>", true);
  ++_depth;
  writeChildren(element);
  --_depth;
  writeTag("</MapElem>", true);
}

void XMLVisitor::visitorAtListElem(ListElem* element) {
  writeTag("<ListElem>", true);
  ++_depth;
  std::unique_ptr<ElementIterator> it(element->iterator(true));
  while (it->hasNext()) {
    Element* item = it->next();
    if (item) item->accept(this);
  }
  --_depth;
  writeTag("</ListElem>", true);
}

void XMLVisitor::visitorAtIntegerElem(IntegerElem* element) {
  writeLeaf("<IntegerElem>", format("%d", element->intValue()), "</IntegerElem>");
}

void XMLVisitor::visitorAtBooleanElem(BooleanElem* element) {
  writeLeaf("<BooleanElem>", element->booleanValue() ? "true" : "false", "</BooleanElem>");
}

void XMLVisitor::visitorAtDoubleElem(DoubleElem* element) {
  writeLeaf("<DoubleElem>", format("%f", element->doubleValue()), "</DoubleElem>");
}

void XMLVisitor::visitorAtStringElem(StringElem* element) {
  const std::string encoding = element->encodingValue();
  if (encoding.empty())
    writeTag("<StringElem>", true);
  else
    writeTag("<StringElem  encoding=\"" + escapeAttribute(encoding) + "\">", true);
  _document += escapeText(element->stringValue());
  _document += "</StringElem>";
}

void XMLVisitor::visitorAtBinaryElem(BinaryElem* element) {
  writeLeaf("<BinaryElem>", StrToBase64(element->binaryValue(), static_cast<int>(element->binaryLength())),
            "</BinaryElem>");
}

void XMLVisitor::visitorAtNullElem(NullElem*) { writeTag("<NullElem/>", true); }

void XMLVisitor::visitorAtObjectStoreException(ObjectStoreException* exception) {
  writeLeaf("<message>", escapeText(exception->getMessage()), "</message>");
}

int XMLVisitor::createMemoryDump(char** buffer, unsigned int* length) {
  --_depth;
  if (_plain) {
    writeTag("</" + _rootTag + ">\r\n", true);
  } else if (_kind == 1) {
    writeTag("</response>\r\n", true);
  } else if (_kind == 2) {
    writeTag("</exception>\r\n", true);
  } else if (leavesArgumentOpen(_kind)) {
    writeTag("</arg>", true);
    --_depth;
    writeTag("</method>\r\n", true);
  } else {
    writeTag("</method>\r\n", true);
  }

  char* block = static_cast<char*>(std::malloc(_document.size() + 1));
  if (!block) {
    *buffer = nullptr;
    *length = 0;
    return -1;
  }
  std::memcpy(block, _document.data(), _document.size());
  block[_document.size()] = '\0';
  *buffer = block;
  *length = static_cast<unsigned int>(_document.size());
  return 0;
}
