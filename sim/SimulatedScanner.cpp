#include "sim/SimulatedScanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "element/Elements.h"
#include "platform/system/Log.h"
#include "usb/USBScanProtocol.h"
#include "xml/XMLSAXParser.h"
#include "platform/system/Parse.h"
#include "xml/XMLVisitor.h"

namespace tarvell::sim {
namespace {

using tarvell::usb::SimReadAnswer;

constexpr UInt8 kUnknownPacketType = 0x42;

void AppendPacket(std::vector<UInt8>& out, UInt8 type, const UInt8* payload, size_t length) {
  const UInt32 n = UInt32(length);
  const UInt8 header[8] = {type, 0, 0, 0, UInt8(n >> 24), UInt8(n >> 16), UInt8(n >> 8), UInt8(n)};
  out.insert(out.end(), header, header + 8);
  if (length > 0) out.insert(out.end(), payload, payload + length);
}

void AppendUnknownPacket(std::vector<UInt8>& out) {
  static const UInt8 kJunk[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  AppendPacket(out, kUnknownPacketType, kJunk, sizeof kJunk);
}

// A child of a map read as an integer; throws the element family's exceptions when missing.
int IntAt(Element* map, const char* name) { return map->getChild(name)->intValue(); }

// The chart request carried by a parameter map of "enterHostUSBSendMode" or "create".
ChartRequest RequestFromParameterMap(Element* map) {
  Element* scan = map->getChild("scanParameters");
  Element* window = scan->getChild("scanWindow");
  Element* topLeft = window->getChild("topLeft");
  Element* bottomRight = window->getChild("bottomRight");
  ChartRequest r;
  r.resolution = IntAt(scan, "resolution");
  r.contentType = IntAt(scan, "contentType");
  r.window = {IntAt(topLeft, "x"), IntAt(topLeft, "y"), IntAt(bottomRight, "x"), IntAt(bottomRight, "y")};
  return r;
}

// The first map in an argument list, or null.
Element* FindParameterMap(Element* params) {
  if (params == nullptr) return nullptr;
  if (params->instanceOf("MapElem")) return params;
  if (!params->instanceOf("ListElem")) return nullptr;
  const unsigned n = params->getNumChildren();
  for (unsigned i = 0; i < n; ++i) {
    Element* e = params->getChildRaw(i);
    if (e != nullptr && e->instanceOf("MapElem")) return e;
  }
  return nullptr;
}

std::string TextOf(Element* message, const char* name) {
  return message->hasChild(name) ? message->getChild(name)->stringValue() : std::string();
}

// Serialises a reply with the project's writer.
std::string Dump(XMLVisitor& visitor) {
  char* text = nullptr;
  unsigned int length = 0;
  if (visitor.createMemoryDump(&text, &length) != 0 || text == nullptr) return {};
  std::string out(text, length);
  std::free(text);
  return out;
}

}  // namespace

SimulatedScanner::SimulatedScanner(const SimulatedScannerOptions& options)
    : options_(options), random_(options.seed ? options.seed : 1) {
  if (options_.imagePacketSize == 0) options_.imagePacketSize = 16 * 1024;
  ScanProtocolCallbacks callbacks{};
  callbacks.info = this;
  callbacks.controlData = &SimulatedScanner::OnControlData;
  requestFramer_ = USBScanProtocol::initWithCallbacks(callbacks);
}

SimulatedScanner::~SimulatedScanner() = default;

std::vector<std::string> SimulatedScanner::jobs() const {
  std::vector<std::string> names;
  for (const auto& entry : jobs_) names.push_back(entry.first);
  return names;
}

bool SimulatedScanner::Listed(const std::vector<std::string>& list, const std::string& method) const {
  return std::find(list.begin(), list.end(), method) != list.end();
}

void SimulatedScanner::GoAway() {
  gone_ = true;
  if (auto device = device_.lock()) device->Unplug();
}

IOReturn SimulatedScanner::BulkWrite(UInt8 endpoint, const std::vector<UInt8>& data) {
  if (gone_) return kIOReturnNoDevice;
  if (endpoint != kRequestEndpoint) return kIOUSBPipeStalled;
  requestFramer_->receiveData(data);
  return kIOReturnSuccess;
}

UInt32 SimulatedScanner::NextCut(UInt32 capacity, size_t available) {
  // A small linear congruential generator: the same seed gives the same cuts.
  random_ = random_ * 1103515245u + 12345u;
  const UInt32 r = (random_ >> 8) & 0xFFFF;
  UInt32 n = capacity;
  if (r % 3 != 0 && capacity > 1) n = 1 + UInt32((uint64_t(r) * capacity) >> 16);
  return UInt32(std::min<size_t>(n, available));
}

SimReadAnswer SimulatedScanner::BulkRead(UInt8 endpoint, UInt32 capacity) {
  SimReadAnswer answer;
  if (gone_) {
    answer.status = kIOReturnNoDevice;
    return answer;
  }
  if (endpoint == kReplyEndpoint) {
    if (replyReads_.empty() || capacity == 0) {
      answer.status = kIOReturnTimeout;
      return answer;
    }
    std::vector<UInt8>& front = replyReads_.front();
    if (front.size() <= capacity) {
      answer.data = std::move(front);
      replyReads_.pop_front();
    } else {
      // The rest waits for the next read, as a device's bulk pipe would keep it.
      answer.data.assign(front.begin(), front.begin() + capacity);
      front.erase(front.begin(), front.begin() + capacity);
    }
    return answer;
  }
  if (endpoint != kImageEndpoint) {
    answer.status = kIOReturnTimeout;
    return answer;
  }
  if (streamPos_ >= stream_.size() || capacity == 0) {
    answer.status = kIOReturnTimeout;
    return answer;
  }
  if (timeoutsLeft_ > 0) {
    --timeoutsLeft_;
    answer.status = kIOReturnTimeout;
    return answer;
  }
  const int64_t goneAfter = options_.misbehave.goneAfterBytes;
  if (goneAfter >= 0 && streamedBytes_ >= goneAfter) {
    GoAway();
    answer.status = kIOReturnNoDevice;
    return answer;
  }
  size_t available = stream_.size() - streamPos_;
  if (goneAfter >= 0) available = std::min<size_t>(available, size_t(goneAfter - streamedBytes_));
  const UInt32 n = NextCut(capacity, available);
  answer.data.assign(stream_.begin() + streamPos_, stream_.begin() + streamPos_ + n);
  streamPos_ += n;
  streamedBytes_ += n;
  if (streamPos_ >= stream_.size()) {
    // Everything is read: later reads time out, and the buffer is given back.
    stream_.clear();
    stream_.shrink_to_fit();
    streamPos_ = 0;
  }
  return answer;
}

IOReturn SimulatedScanner::ControlRequest(tarvell::usb::DeviceRequest* request) {
  if (gone_) return kIOReturnNoDevice;
  if (request != nullptr) request->wLenDone = 0;
  return kIOReturnSuccess;
}

IOReturn SimulatedScanner::ClearHalt(UInt8) { return gone_ ? kIOReturnNoDevice : kIOReturnSuccess; }

void SimulatedScanner::OnControlData(const UInt8* bytes, SInt32 length, void* info) {
  auto* self = static_cast<SimulatedScanner*>(info);
  self->HandleMessage(std::string(reinterpret_cast<const char*>(bytes), size_t(length > 0 ? length : 0)));
}

void SimulatedScanner::QueueReplyText(const std::string& method, const std::string& xml) {
  if (Listed(options_.misbehave.noReplyFor, method)) return;
  std::vector<UInt8> packets;
  if (options_.misbehave.unknownPackets) AppendUnknownPacket(packets);
  AppendPacket(packets, kPacketControlData, reinterpret_cast<const UInt8*>(xml.data()), xml.size());
  if (Listed(options_.misbehave.splitReplyFor, method) && packets.size() > 1) {
    const size_t half = packets.size() / 2;
    replyReads_.emplace_back(packets.begin(), packets.begin() + half);
    replyReads_.emplace_back(packets.begin() + half, packets.end());
  } else {
    replyReads_.push_back(std::move(packets));
  }
}

void SimulatedScanner::QueueResponse(const std::string& method, int requestID, const std::string& result,
                                     bool integerResult) {
  XMLVisitor visitor(MessageKind::response, requestID);
  if (integerResult) {
    IntegerElem value(0);
    value.accept(&visitor);
  } else {
    StringElem value(result);
    value.accept(&visitor);
  }
  QueueReplyText(method, Dump(visitor));
}

void SimulatedScanner::QueueException(const std::string& method, int requestID, const std::string& message) {
  XMLVisitor visitor(MessageKind::exception, requestID);
  ObjectStoreException body(message);
  body.accept(&visitor);
  QueueReplyText(method, Dump(visitor));
  if (!calls_.empty()) calls_.back().answeredWithException = true;
}

void SimulatedScanner::HandleMessage(const std::string& text) {
  ReceivedCall call;
  Element* params = nullptr;
  std::unique_ptr<Element> message;
  {
    XMLSAXParser parser;
    if (parser.parseMessage(text.data(), int(text.size())) == 0) message = parser.takeResult();
  }
  try {
    if (!message || TextOf(message.get(), "messageType") != "method" ||
        TextOf(message.get(), "systemRule") != "callMethod") {
      calls_.push_back(call);
      QueueException("", 0, "malformed request");
      return;
    }
    call.requestID = std::atoi(TextOf(message.get(), "requestID").c_str());
    call.objName = TextOf(message.get(), "objName");
    call.method = TextOf(message.get(), "method");
    if (message->hasChild("params")) params = message->getChild("params");
  } catch (const Exception& e) {
    calls_.push_back(call);
    QueueException("", call.requestID, "malformed request: " + e.getMessage());
    return;
  }
  calls_.push_back(call);
  const std::string& obj = call.objName;
  const std::string& method = call.method;
  const int id = call.requestID;

  if (Listed(options_.misbehave.exceptionFor, method)) {
    QueueException(method, id, "simulated failure of " + method);
    return;
  }
  try {
    if (obj == "system" && method == "enterHostUSBSendMode") {
      hostSendMode_ = true;
      hostModeRequestValid_ = false;
      if (Element* map = FindParameterMap(params)) {
        hostModeRequest_ = RequestFromParameterMap(map);
        hostModeRequestValid_ = true;
      }
      QueueResponse(method, id, {}, true);
    } else if (obj == "system" && method == "exitHostUSBSendMode") {
      hostSendMode_ = false;
      QueueResponse(method, id, {}, true);
    } else if (obj == "jobFactory" && method == "create") {
      if (!hostSendMode_) {
        QueueException(method, id, "not in host send mode");
        return;
      }
      Job job;
      if (Element* map = FindParameterMap(params)) {
        job.request = RequestFromParameterMap(map);
      } else if (hostModeRequestValid_) {
        job.request = hostModeRequest_;
      } else {
        QueueException(method, id, "no scan parameters");
        return;
      }
      job.problem = ChartRequestProblem(job.request);
      const std::string name = "Job" + std::to_string(++jobCounter_);
      jobs_[name] = job;
      QueueResponse(method, id, name, false);
    } else if (method == "start" && jobs_.count(obj)) {
      const Job& job = jobs_[obj];
      if (!job.problem.empty()) {
        QueueException(method, id, job.problem);
        return;
      }
      QueueResponse(method, id, {}, true);
      StartStreaming(job);
    } else if (method == "done" && obj.size() > 8 && obj.compare(obj.size() - 8, 8, ".scanJob") == 0 &&
               jobs_.count(obj.substr(0, obj.size() - 8))) {
      jobs_.erase(obj.substr(0, obj.size() - 8));
      // What the host did not read of the image is dropped with the job.
      stream_.clear();
      streamPos_ = 0;
      QueueResponse(method, id, {}, true);
    } else {
      QueueException(method, id, "no method " + method + " on object " + obj);
    }
  } catch (const Exception& e) {
    QueueException(method, id, "bad scan parameters: " + e.getMessage());
  }
}

void SimulatedScanner::StartStreaming(const Job& job) {
  const ScannerMisbehaviour& m = options_.misbehave;
  lastRequest_ = job.request;
  std::vector<uint8_t> pnm = RenderChart(job.request);
  const ChartGeometry g = ComputeChartGeometry(job.request);
  if (m.corruptHeader) std::replace(pnm.begin(), pnm.begin() + g.header.size(), uint8_t('\n'), uint8_t(' '));
  if (m.shortImageBy > 0) pnm.resize(pnm.size() - std::min(m.shortImageBy, g.dataSize()));

  const size_t packet = options_.imagePacketSize;
  const size_t packets = (pnm.size() + packet - 1) / packet;
  stream_.clear();
  stream_.reserve(pnm.size() + (packets + 6) * 8 + 16);
  AppendPacket(stream_, kPacketBeginImageJob, nullptr, 0);
  if (m.unknownPackets) AppendUnknownPacket(stream_);
  AppendPacket(stream_, kPacketBeginImagePage, nullptr, 0);
  for (size_t offset = 0, i = 0; offset < pnm.size(); offset += packet, ++i) {
    AppendPacket(stream_, kPacketImageData, pnm.data() + offset, std::min(packet, pnm.size() - offset));
    if (m.unknownPackets && i == 0) AppendUnknownPacket(stream_);
  }
  AppendPacket(stream_, kPacketEndImagePage, nullptr, 0);
  AppendPacket(stream_, kPacketEndImageJob, nullptr, 0);
  streamPos_ = 0;
  streamedBytes_ = 0;
  timeoutsLeft_ = m.timeoutsBeforeData;
  lastImage_ = std::move(pnm);
}

namespace {

// Applies one "simulate" option ("name" or "name=value"); false with *why when it is not one.
bool ApplySimulateOption(const std::string& word, SimulatedScannerOptions* options,
                         std::vector<std::string>** lastList, std::string* why) {
  *lastList = nullptr;
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const bool hasValue = equals != std::string::npos;
  const std::string value = hasValue ? word.substr(equals + 1) : "";
  ScannerMisbehaviour& m = options->misbehave;
  unsigned long long number = 0;
  auto needNumber = [&](unsigned long long max) {
    if (hasValue && tarvell::ParseUnsigned(value, max, &number)) return true;
    *why = "'" + name + "' needs a number" + (max < 0xFFFFFFFFull ? " up to " + std::to_string(max) : "");
    return false;
  };
  auto needList = [&](std::vector<std::string>* list) {
    *lastList = list;
    if (!value.empty()) {
      list->push_back(value);
      return true;
    }
    *why = "'" + name + "' needs a list of methods, e.g. " + name + "=create,start";
    return false;
  };
  auto flag = [&](bool* target) {
    if (hasValue) {
      *why = "'" + name + "' takes no value";
      return false;
    }
    *target = true;
    return true;
  };

  if (name == "location") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    if (number == 0) {
      *why = "location 0 is no location";
      return false;
    }
    options->locationID = UInt32(number);
    return true;
  }
  if (name == "layout") {
    if (value == "default") options->layout = tarvell::usb::K310Layout::kDefault;
    else if (value == "alt-setting") options->layout = tarvell::usb::K310Layout::kAltSetting1;
    else if (value == "no-image-pipe") options->layout = tarvell::usb::K310Layout::kNoImagePipe;
    else {
      *why = "'layout' is one of default, alt-setting, no-image-pipe";
      return false;
    }
    return true;
  }
  if (name == "timeouts-before-data") {
    if (!needNumber(1000000)) return false;
    m.timeoutsBeforeData = int(number);
    return true;
  }
  if (name == "gone-after-bytes") {
    if (!needNumber(0x7FFFFFFFFFFFFFFFull)) return false;
    m.goneAfterBytes = int64_t(number);
    return true;
  }
  if (name == "short-image-by") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    m.shortImageBy = size_t(number);
    return true;
  }
  if (name == "packet-size") {
    if (!needNumber(16 * 1024 * 1024)) return false;
    if (number == 0) {
      *why = "'packet-size' must be at least 1";
      return false;
    }
    options->imagePacketSize = size_t(number);
    return true;
  }
  if (name == "seed") {
    if (!needNumber(0xFFFFFFFFull)) return false;
    options->seed = uint32_t(number);
    return true;
  }
  if (name == "exception-for") return needList(&m.exceptionFor);
  if (name == "split-reply-for") return needList(&m.splitReplyFor);
  if (name == "no-reply-for") return needList(&m.noReplyFor);
  if (name == "unknown-packets") return flag(&m.unknownPackets);
  if (name == "corrupt-header") return flag(&m.corruptHeader);
  *why = "unknown simulate option '" + name + "'";
  return false;
}

}  // namespace

bool ParseSimulatedScannerOptions(const std::string& text, SimulatedScannerOptions* out, std::string* badItem,
                                  std::string* why) {
  SimulatedScannerOptions options = *out;
  // A method list ("exception-for=create,start") goes on through bare words after it.
  std::vector<std::string>* list = nullptr;
  std::string item;
  std::string problem;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != ',' && c != '\t') {
      item += c;
      continue;
    }
    if (item.empty()) continue;
    if (list && item.find('=') == std::string::npos && item != "unknown-packets" && item != "corrupt-header") {
      list->push_back(item);
    } else if (!ApplySimulateOption(item, &options, &list, &problem)) {
      if (badItem) *badItem = item;
      if (why) *why = problem;
      return false;
    }
    item.clear();
  }
  *out = options;
  return true;
}

std::shared_ptr<SimulatedScanner> InstallSimulatedScanner(tarvell::usb::SimBus& bus,
                                                          const SimulatedScannerOptions& options) {
  auto scanner = std::make_shared<SimulatedScanner>(options);
  std::shared_ptr<tarvell::usb::SimDevice> device =
      bus.AddDevice(tarvell::usb::MakeK310(options.locationID, options.layout));
  device->SetModel(scanner);
  scanner->AttachTo(device);
  return scanner;
}

}  // namespace tarvell::sim
