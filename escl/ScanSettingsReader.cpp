#include "escl/ScanSettingsReader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <memory>

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

std::string Text(const xmlNode* node) {
  if (!node) return "";
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The number in `parent`'s child `name` into *out, when there is one. False with *why when it is
// there but not a plain unsigned decimal.
bool Number(const xmlNode* parent, const char* name, UInt32* out, std::string* why) {
  const xmlNode* node = Child(parent, name);
  if (!node) return true;
  const std::string text = Text(node);
  unsigned long long value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      !tarvell::ParseUnsigned(text, INT32_MAX, &value, 10)) {
    *why = std::string(name) + " '" + text + "' is not a whole number";
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
  // No network, no entities from outside, no noise on standard error.
  Document doc(xmlReadMemory(bytes, int(size), "ScanSettings.xml", nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS),
               xmlFreeDoc);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root) {
    *why = "not well-formed XML";
    return false;
  }
  if (!Named(root, "ScanSettings")) {
    *why = "the document is a " + std::string(reinterpret_cast<const char*>(root->name)) + ", not ScanSettings";
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
  request.colorMode = Text(Child(root, "ColorMode"));
  request.format = Text(Child(root, "DocumentFormat"));
  if (request.format.empty()) request.format = Text(Child(root, "DocumentFormatExt"));
  request.inputSource = Text(Child(root, "InputSource"));
  request.intent = Text(Child(root, "Intent"));
  *out = request;
  return true;
}

}  // namespace tarvell::escl
