#include "sim/DeviceRules.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "element/Elements.h"
#include "usb/DeviceFacts.h"

namespace tarvell::sim {

using tarvell::device::GlassPixels;

namespace {

// Edges of the small originals (4 × 6 inches), in 1/600 inch.
constexpr int64_t kSmallMediaWidth = 2400, kSmallMediaHeight = 3600;
constexpr int kSmallMedia = 12, kLargeMedia = 2;

// The kind a parsed element has; container kinds are told apart from kinds derived from them.
bool IsKind(Element* e, const char* kind) {
  if (e == nullptr || !e->instanceOf(kind)) return false;
  if (std::string(kind) == "MapElem") return !e->instanceOf("CompositeElem");
  return true;
}

std::vector<std::string> KeysOf(Element* map) {
  std::vector<std::string> keys;
  std::unique_ptr<ElementIterator> it(map->iterator(false));
  while (it && it->hasNext()) {
    keys.push_back(it->nextName());
    it->next();
  }
  return keys;
}

// Walks one map of the tree, checking its keys and reading its entries. The first fault wins.
class MapReader {
 public:
  MapReader(Element* map, std::string path, std::string* fault) : map_(map), path_(std::move(path)), fault_(fault) {}

  // The map holds exactly `keys`.
  void Keys(std::initializer_list<const char*> keys) {
    if (!fault_->empty()) return;
    const std::vector<std::string> present = KeysOf(map_);
    for (const char* k : keys)
      if (std::find(present.begin(), present.end(), k) == present.end()) return Fail(Name(k) + " is missing");
    for (const std::string& k : present)
      if (std::find_if(keys.begin(), keys.end(), [&](const char* e) { return k == e; }) == keys.end())
        return Fail(Name(k) + " is not an entry of " + (path_.empty() ? "the parameter map" : path_));
  }
  Element* Map(const char* key) {
    Element* e = Entry(key);
    if (e && !IsKind(e, "MapElem")) Fail(Name(key) + " is not a map");
    return fault_->empty() ? e : nullptr;
  }
  int Int(const char* key) {
    Element* e = Entry(key);
    if (e && !IsKind(e, "IntegerElem")) Fail(Name(key) + " is not an integer");
    return fault_->empty() ? e->intValue() : 0;
  }
  // An integer that must be one of `allowed`.
  template <typename List>
  int OneOf(const char* key, const List& allowed) {
    const int v = Int(key);
    if (!fault_->empty()) return v;
    if (std::find(allowed.begin(), allowed.end(), std::decay_t<decltype(*allowed.begin())>(v)) != allowed.end())
      return v;
    std::string list;
    for (auto a : allowed) list += (list.empty() ? "" : ", ") + std::to_string(a);
    Fail(Name(key) + " " + std::to_string(v) + (allowed.size() == 1 ? " is not " : " is not one of ") + list);
    return v;
  }
  int OneOf(const char* key, std::initializer_list<int> allowed) {
    return OneOf<std::initializer_list<int>>(key, allowed);
  }
  std::string Name(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }
  void Fail(const std::string& text) {
    if (fault_->empty()) *fault_ = text;
  }

 private:
  Element* Entry(const char* key) {
    if (!fault_->empty()) return nullptr;
    Element* e = map_->hasChild(key) ? map_->getChildRaw(key) : nullptr;
    if (!e) Fail(Name(key) + " is missing");
    return e;
  }
  Element* map_;
  std::string path_;
  std::string* fault_;
};

}  // namespace

std::string ParameterMapFault(Element* map, CheckedParameters* out) {
  std::string fault;
  if (!IsKind(map, "MapElem")) return "the parameter map is not a map";
  MapReader top(map, "", &fault);
  top.Keys({"documentParameters", "scanParameters", "usbParameters"});
  Element* document = top.Map("documentParameters");
  Element* scan = top.Map("scanParameters");
  Element* usb = top.Map("usbParameters");
  if (!fault.empty()) return fault;

  MapReader doc(document, "documentParameters", &fault);
  doc.Keys({"compression", "fileFormat"});
  doc.OneOf("compression", {4});
  doc.OneOf("fileFormat", {4});
  MapReader(usb, "usbParameters", &fault).Keys({});

  MapReader s(scan, "scanParameters", &fault);
  s.Keys({"orientation", "darkness", "contrast", "originalMediaSize", "contentType", "bitdepth", "resolution", "source",
          "scanWindow"});
  s.OneOf("orientation", {0});
  s.OneOf("darkness", {5});
  s.OneOf("contrast", {5});
  s.OneOf("source", {2});
  const int media = s.OneOf("originalMediaSize", {kLargeMedia, kSmallMedia});
  const int content = s.OneOf("contentType", {kContentLineArt, kContentGrey, kContentColour});
  const int depth = s.OneOf("bitdepth", {8, 24});
  const int resolution = s.OneOf("resolution", device::kResolutions);
  Element* window = s.Map("scanWindow");
  if (!fault.empty()) return fault;
  if ((content == kContentColour) != (depth == 24))
    return "scanParameters.bitdepth " + std::to_string(depth) + " does not go with contentType " +
           std::to_string(content) + " (24 for colour, 8 otherwise)";
  if (content == kContentColour && UInt32(resolution) > device::kColourMaxResolution)
    return "scanParameters.resolution " + std::to_string(resolution) + " is above " +
           std::to_string(device::kColourMaxResolution) + " for colour";

  MapReader w(window, "scanParameters.scanWindow", &fault);
  w.Keys({"topLeft", "bottomRight"});
  Element* tl = w.Map("topLeft");
  Element* br = w.Map("bottomRight");
  if (!fault.empty()) return fault;
  MapReader topLeft(tl, "scanParameters.scanWindow.topLeft", &fault);
  MapReader bottomRight(br, "scanParameters.scanWindow.bottomRight", &fault);
  topLeft.Keys({"x", "y"});
  bottomRight.Keys({"x", "y"});
  const ScanWindow win{topLeft.Int("x"), topLeft.Int("y"), bottomRight.Int("x"), bottomRight.Int("y")};
  if (!fault.empty()) return fault;
  const std::string where = " (" + std::to_string(win.left) + ", " + std::to_string(win.top) + ")-(" +
                            std::to_string(win.right) + ", " + std::to_string(win.bottom) + ")";
  if (win.left < 0 || win.top < 0 || win.right <= win.left || win.bottom <= win.top)
    return "scanParameters.scanWindow" + where + " is empty";
  if (win.right > GlassPixels(device::kGlassWidth, UInt32(resolution)) ||
      win.bottom > GlassPixels(device::kGlassHeight, UInt32(resolution)))
    return "scanParameters.scanWindow" + where + " reaches past the glass at " + std::to_string(resolution) + " dpi (" +
           std::to_string(GlassPixels(device::kGlassWidth, UInt32(resolution))) + " x " +
           std::to_string(GlassPixels(device::kGlassHeight, UInt32(resolution))) + ")";
  // The host measures the original from its own settings and the window loses fractions of a
  // pixel on the way, so only a window clearly inside or clearly outside 4 × 6 inches is judged.
  const int64_t ppi = kChartUnitsPerInch;
  const bool surelySmall = (win.right + 1) * ppi <= kSmallMediaWidth * resolution &&
                           (win.bottom + 1) * ppi <= kSmallMediaHeight * resolution;
  const bool surelyLarge =
      win.right * ppi >= kSmallMediaWidth * resolution || win.bottom * ppi >= kSmallMediaHeight * resolution;
  if ((surelySmall && media != kSmallMedia) || (surelyLarge && media != kLargeMedia))
    return "scanParameters.originalMediaSize " + std::to_string(media) + " does not go with scanWindow" + where +
           " at " + std::to_string(resolution) + " dpi (12 within 4 x 6 inches, 2 beyond)";

  if (out) {
    out->request.contentType = content;
    out->request.resolution = resolution;
    out->request.window = win;
    out->originalMediaSize = media;
    out->canonical = std::to_string(media) + ";" + std::to_string(content) + ";" + std::to_string(depth) + ";" +
                     std::to_string(resolution) + ";" + where;
  }
  return {};
}

std::string ArgumentsFault(const std::string& method, Element* params, CheckedParameters* out) {
  const unsigned n = params && IsKind(params, "ListElem") ? params->getNumChildren() : 0;
  if (params && !IsKind(params, "ListElem")) return method + ": the arguments are not a list";
  if (method == "enterHostUSBSendMode") {
    if (n != 1) return method + " takes one argument, the parameter map (got " + std::to_string(n) + ")";
    const std::string fault = ParameterMapFault(params->getChildRaw(0u), out);
    return fault.empty() ? fault : "bad scan parameters: " + fault;
  }
  if (method == "create") {
    if (n == 0) return "create without scan parameters";
    Element* first = params->getChildRaw(0u);
    if (!IsKind(first, "StringElem") || first->stringValue() != "HostSendJob")
      return "create: the first argument is not the text HostSendJob";
    if (n != 2) return "create takes HostSendJob and the parameter map (got " + std::to_string(n) + " arguments)";
    const std::string fault = ParameterMapFault(params->getChildRaw(1u), out);
    return fault.empty() ? fault : "bad scan parameters: " + fault;
  }
  if (n != 0) return method + " takes no arguments (got " + std::to_string(n) + ")";
  return {};
}

}  // namespace tarvell::sim
