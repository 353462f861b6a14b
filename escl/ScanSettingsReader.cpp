#include "escl/ScanSettingsReader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "host/Log.h"
#include "platform/system/Parse.h"

namespace tarvell::escl {
namespace {

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

bool Named(const xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST name);
}

// The first child element of `parent` called `name`, or null.
const xmlNode* Child(const xmlNode* parent, const char* name) {
  for (const xmlNode* node = parent ? parent->children : nullptr; node; node = node->next)
    if (Named(node, name)) return node;
  return nullptr;
}

// The element's own text: its text and CDATA children, trimmed. False when it is longer than
// kMaxTextBytes or holds anything but text.
bool Text(const xmlNode* node, std::string* text, std::string* why) {
  text->clear();
  if (!node) return true;
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_COMMENT_NODE || child->type == XML_PI_NODE) continue;
    if (child->type != XML_TEXT_NODE && child->type != XML_CDATA_SECTION_NODE) {
      *why = std::string(reinterpret_cast<const char*>(node->name)) + " holds more than text";
      return false;
    }
    const char* content = reinterpret_cast<const char*>(child->content);
    text->append(content ? content : "");
    if (text->size() > kMaxTextBytes) {
      *why = std::string(reinterpret_cast<const char*>(node->name)) + " holds more than " +
             std::to_string(kMaxTextBytes) + " bytes";
      return false;
    }
  }
  const size_t first = text->find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return text->clear(), true;
  *text = text->substr(first, text->find_last_not_of(" \t\r\n") - first + 1);
  return true;
}

// The text of `parent`'s child `name` into *out ("" when there is none).
bool ChildText(const xmlNode* parent, const char* name, std::string* out, std::string* why) {
  return Text(Child(parent, name), out, why);
}

// Why `bytes` cannot be read safely, or "": markup declarations (a DTD and with it every entity
// declaration) and references to entities other than XML's five and character references are
// refused as bytes, before the parser sees them, so nothing is ever expanded or fetched. A NUL
// byte is refused too: the bytes are read as UTF-8, whatever the document says.
std::string Unsafe(const char* bytes, size_t size) {
  const std::string_view text(bytes, size);
  if (text.find('\0') != std::string_view::npos) return "a NUL byte (the document is read as UTF-8)";
  for (size_t at = text.find("<!"); at != std::string_view::npos; at = text.find("<!", at + 2)) {
    const std::string_view rest = text.substr(at);
    if (rest.compare(0, 4, "<!--") != 0 && rest.compare(0, 9, "<![CDATA[") != 0) return "a markup declaration (DTD)";
  }
  for (size_t at = text.find('&'); at != std::string_view::npos; at = text.find('&', at + 1)) {
    const std::string_view rest = text.substr(at + 1, 12);
    const size_t end = rest.find(';');
    const std::string_view name = rest.substr(0, end);
    const bool predefined = name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos";
    const bool character =
        name.size() > 1 && name[0] == '#' &&
        (name[1] == 'x' ? name.size() > 2 && name.find_first_not_of("0123456789abcdefABCDEF", 2) == name.npos
                        : name.find_first_not_of("0123456789", 1) == name.npos);
    if (end == std::string_view::npos || !(predefined || character)) return "an entity reference";
  }
  return "";
}

// The number in `parent`'s child `name` into *out, when there is one. False with *why when it is
// there but not a plain unsigned decimal.
bool Number(const xmlNode* parent, const char* name, UInt32* out, std::string* why) {
  const xmlNode* node = Child(parent, name);
  if (!node) return true;
  std::string text;
  if (!Text(node, &text, why)) return false;
  unsigned long long value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      !tarvell::ParseUnsigned(text, INT32_MAX, &value, 10)) {
    *why = std::string(name) + " " + tarvell::host::Quoted(text) + " is not a whole number";
    return false;
  }
  *out = UInt32(value);
  return true;
}

}  // namespace

bool ReadScanSettings(const char* bytes, size_t size, ScanRequest* out, std::string* why) {
  if (size > kMaxScanSettingsBytes) {
    *why = "the document is larger than " + std::to_string(kMaxScanSettingsBytes) + " bytes";
    return false;
  }
  *why = Unsafe(bytes, size);
  if (!why->empty()) {
    *why = "the document holds " + *why;
    return false;
  }
  // UTF-8 whatever the document declares (the bytes checked above are the bytes parsed); no
  // network, no entity substitution, no noise on standard error.
  Document doc(xmlReadMemory(bytes, int(size), "ScanSettings.xml", "UTF-8",
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                                 XML_PARSE_IGNORE_ENC),
               xmlFreeDoc);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || doc->intSubset || doc->extSubset) {
    *why = "not well-formed XML";
    return false;
  }
  if (!Named(root, "ScanSettings")) {
    *why =
        "the document is a " + tarvell::host::Quoted(reinterpret_cast<const char*>(root->name)) + ", not ScanSettings";
    return false;
  }
  ScanRequest request;
  if (const xmlNode* region = Child(Child(root, "ScanRegions"), "ScanRegion")) {
    request.hasRegion = true;
    if (!Number(region, "XOffset", &request.xOffset, why) || !Number(region, "YOffset", &request.yOffset, why) ||
        !Number(region, "Width", &request.width, why) || !Number(region, "Height", &request.height, why))
      return false;
  }
  if (!Number(root, "XResolution", &request.xResolution, why) ||
      !Number(root, "YResolution", &request.yResolution, why))
    return false;
  std::string formatExt;
  if (!ChildText(root, "ColorMode", &request.colorMode, why) ||
      !ChildText(root, "DocumentFormat", &request.format, why) ||
      !ChildText(root, "DocumentFormatExt", &formatExt, why) ||
      !ChildText(root, "InputSource", &request.inputSource, why) || !ChildText(root, "Intent", &request.intent, why))
    return false;
  if (request.format.empty()) request.format = formatExt;
  *out = request;
  return true;
}

}  // namespace tarvell::escl
