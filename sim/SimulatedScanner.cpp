#include "sim/SimulatedScanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "element/Elements.h"
#include "platform/system/Log.h"
#include "platform/system/Parse.h"
#include "sim/DeviceRules.h"
#include "usb/USBScanProtocol.h"
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

namespace tarvell::sim {
namespace {

using tarvell::usb::SimReadAnswer;

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

SimulatedScanner::SimulatedScanner(const SimulatedScannerOptions& options,
                                   std::shared_ptr<tarvell::usb::SimClock> clock)
    : options_(options),
      clock_(clock ? std::move(clock) : tarvell::usb::RealClock()),
      random_(options.seed ? options.seed : 1) {
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

SimReadAnswer SimulatedScanner::NoData() const {
  SimReadAnswer answer;
  answer.status = kIOReturnTimeout;
  if (options_.pace > 0 && options_.silenceMs >= 0)
    answer.silenceMs = UInt32(std::min<int64_t>(options_.silenceMs, UINT32_MAX));
  return answer;
}

uint64_t SimulatedScanner::TimeWhenCrossed(uint64_t bytes) const {
  return paceStartMicros_ + (bytes * 1000000 + options_.pace - 1) / options_.pace;
}

uint64_t SimulatedScanner::CrossedBy(uint64_t micros) const {
  // Past the stream's last byte the answer is its size; before it the product stays in range.
  if (micros >= TimeWhenCrossed(stream_.size())) return stream_.size();
  return micros <= paceStartMicros_ ? 0 : (micros - paceStartMicros_) * options_.pace / 1000000;
}

UInt32 SimulatedScanner::PacedShare(UInt32 cut) {
  if (!paceStarted_) {
    paceStarted_ = true;
    paceStartMicros_ = clock_->NowMicros();
  }
  // A read waits for about 10 ms worth (or its whole cut when smaller): it neither spins on a few
  // bytes nor holds back what has crossed for long.
  const uint64_t share = std::min<uint64_t>(cut, std::max<uint64_t>(options_.pace / 100, 1));
  if (CrossedBy(clock_->NowMicros()) < streamPos_ + share) clock_->SleepUntil(TimeWhenCrossed(streamPos_ + share));
  return UInt32(std::min<uint64_t>(cut, CrossedBy(clock_->NowMicros()) - streamPos_));
}

SimReadAnswer SimulatedScanner::BulkRead(UInt8 endpoint, UInt32 capacity) {
  SimReadAnswer answer;
  if (gone_) {
    answer.status = kIOReturnNoDevice;
    return answer;
  }
  if (endpoint == kReplyEndpoint) {
    if (replyReads_.empty() || capacity == 0) return NoData();
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
  if (endpoint != kImageEndpoint || streamPos_ >= stream_.size() || capacity == 0) return NoData();
  if (timeoutsLeft_ > 0) {
    --timeoutsLeft_;
    return NoData();
  }
  // While the stream is read, its position is the count of bytes delivered since "start".
  const int64_t goneAfter = options_.misbehave.goneAfterBytes;
  if (goneAfter >= 0 && int64_t(streamPos_) >= goneAfter) {
    GoAway();
    answer.status = kIOReturnNoDevice;
    return answer;
  }
  uint64_t available = stream_.size() - streamPos_;
  if (goneAfter >= 0) available = std::min<uint64_t>(available, uint64_t(goneAfter) - streamPos_);
  UInt32 n = NextCut(capacity, size_t(available));
  if (options_.pace > 0) n = PacedShare(n);
  answer.data.resize(n);
  stream_.Read(streamPos_, n, answer.data.data());
  streamPos_ += n;
  streamedBytes_.store(int64_t(streamPos_));
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
  USBScanProtocol::AppendPacket(packets, kPacketControlData, reinterpret_cast<const UInt8*>(xml.data()), xml.size());
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
  std::string idText;
  try {
    if (!message) {
      calls_.push_back(call);
      QueueException("", 0, "malformed request: not a message");
      return;
    }
    const std::string kind = TextOf(message.get(), "messageType");
    const std::string rule = TextOf(message.get(), "systemRule");
    if (kind != "method" || rule != "callMethod") {
      calls_.push_back(call);
      QueueException("", 0,
                     "malformed request: a " + kind + " message of rule \"" + rule +
                         "\" (the device takes method messages of rule callMethod)");
      return;
    }
    idText = TextOf(message.get(), "requestID");
    call.requestID = std::atoi(idText.c_str());
    call.objName = TextOf(message.get(), "objName");
    call.method = TextOf(message.get(), "method");
    if (message->hasChild("params")) params = message->getChild("params");
  } catch (const Exception& e) {
    calls_.push_back(call);
    QueueException("", call.requestID, "malformed request: " + e.getMessage());
    return;
  }
  calls_.push_back(call);
  if (call.method == "done") ++jobsDone_;
  const std::string& obj = call.objName;
  const std::string& method = call.method;
  const int id = call.requestID;

  if (Listed(options_.misbehave.exceptionFor, method)) {
    QueueException(method, id, "simulated failure of " + method);
    return;
  }
  auto refuse = [&](const std::string& why) { QueueException(method, id, why); };
  if (idText.empty() || idText.size() > 4 || idText.find_first_not_of("0123456789") != std::string::npos)
    return refuse("request identifier \"" + idText + "\" is not a number below 10000");
  // Every call after "enterHostUSBSendMode" belongs to its job and carries its identifier.
  if (phase_ != Phase::kIdle && method != "enterHostUSBSendMode" && id != conversationID_)
    return refuse("request identifier " + std::to_string(id) + " differs from the job's " +
                  std::to_string(conversationID_));
  const bool isJob = jobs_.count(obj) > 0;
  const std::string doneJob =
      obj.size() > 8 && obj.compare(obj.size() - 8, 8, ".scanJob") == 0 ? obj.substr(0, obj.size() - 8) : "";
  const bool known = (obj == "system" && (method == "enterHostUSBSendMode" || method == "exitHostUSBSendMode")) ||
                     (obj == "jobFactory" && method == "create") || (isJob && method == "start") ||
                     (method == "done" && jobs_.count(doneJob));
  if (!known) return refuse("no method " + method + " on object " + obj);
  CheckedParameters checked;
  std::string argumentsFault;
  try {
    argumentsFault = ArgumentsFault(method, params, &checked);
  } catch (const Exception& e) {
    argumentsFault = "malformed arguments: " + e.getMessage();
  }
  if (!argumentsFault.empty()) return refuse(argumentsFault);

  if (method == "enterHostUSBSendMode") {
    if (phase_ != Phase::kIdle) return refuse("enterHostUSBSendMode while in host send mode");
    phase_ = Phase::kHostMode;
    hostSendMode_ = true;
    conversationID_ = id;
    hostModeParameters_ = checked.canonical;
    QueueResponse(method, id, {}, true);
  } else if (method == "exitHostUSBSendMode") {
    if (phase_ == Phase::kIdle) return refuse("exitHostUSBSendMode while not in host send mode");
    if (phase_ == Phase::kJobCreated || phase_ == Phase::kJobStarted)
      return refuse("exitHostUSBSendMode before done of " + currentJob_);
    phase_ = Phase::kIdle;
    hostSendMode_ = false;
    QueueResponse(method, id, {}, true);
  } else if (method == "create") {
    if (phase_ == Phase::kIdle) return refuse("not in host send mode");
    if (phase_ != Phase::kHostMode) return refuse("create after create: one job per host send mode");
    if (checked.canonical != hostModeParameters_)
      return refuse("the scan parameters of create differ from those of enterHostUSBSendMode");
    Job job;
    job.request = checked.request;
    job.problem = ChartRequestProblem(job.request);
    const std::string name = "Job" + std::to_string(++jobCounter_);
    jobs_[name] = job;
    currentJob_ = name;
    phase_ = Phase::kJobCreated;
    QueueResponse(method, id, name, false);
  } else if (method == "start") {
    if (obj != currentJob_ || phase_ != Phase::kJobCreated) return refuse("start of " + obj + " out of order");
    const Job& job = jobs_[obj];
    if (!job.problem.empty()) return refuse(job.problem);
    phase_ = Phase::kJobStarted;
    QueueResponse(method, id, {}, true);
    StartStreaming(job);
  } else {  // done
    if (doneJob != currentJob_) return refuse("done of " + doneJob + " out of order");
    jobs_.erase(doneJob);
    phase_ = Phase::kJobDone;
    // What the host did not read of the image is dropped with the job.
    streamPos_ = stream_.size();
    QueueResponse(method, id, {}, true);
  }
}

void SimulatedScanner::StartStreaming(const Job& job) {
  const ScannerMisbehaviour& m = options_.misbehave;
  lastRequest_ = job.request;
  stream_ = FramedImage();  // the last page goes before the next is drawn: one image at a time
  std::vector<uint8_t> pnm = RenderChart(job.request);
  const ChartGeometry g = ComputeChartGeometry(job.request);
  if (m.corruptHeader) std::replace(pnm.begin(), pnm.begin() + g.header.size(), uint8_t('\n'), uint8_t(' '));
  if (m.shortImageBy > 0) pnm.resize(pnm.size() - std::min(m.shortImageBy, g.dataSize()));

  stream_ = FramedImage(std::move(pnm), options_.imagePacketSize, m.unknownPackets);
  streamPos_ = 0;
  streamedBytes_.store(0);
  streamSize_.store(int64_t(stream_.size()));
  timeoutsLeft_ = m.timeoutsBeforeData;
  // The device starts sending now, or once its time-outs before data are over.
  paceStarted_ = timeoutsLeft_ == 0;
  paceStartMicros_ = clock_->NowMicros();
}

namespace {

// Applies one "simulate" option ("name" or "name=value"); false with *why when it is not one.
bool ApplySimulateOption(const std::string& word, SimulatedScannerOptions* options, std::vector<std::string>** lastList,
                         std::string* why) {
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
    if (value == "default")
      options->layout = K310Layout::kDefault;
    else if (value == "alt-setting")
      options->layout = K310Layout::kAltSetting1;
    else if (value == "no-image-pipe")
      options->layout = K310Layout::kNoImagePipe;
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
  if (name == "pace") {
    // A whole number of bytes per second, with k (thousand) or M (million) after it.
    const char suffix = value.empty() ? '\0' : value.back();
    const unsigned long long unit = suffix == 'k' ? 1000 : suffix == 'M' ? 1000000 : 1;
    const std::string digits = unit == 1 ? value : value.substr(0, value.size() - 1);
    if (!hasValue || !tarvell::ParseUnsigned(digits, ~0ull, &number, 10)) {
      *why = "'pace' needs a rate in bytes per second, e.g. pace=2M";
      return false;
    }
    if (number == 0 || number > kMaxPace / unit) {
      *why = "'pace' is a rate from 1 to 10000M bytes per second";
      return false;
    }
    options->pace = number * unit;
    return true;
  }
  if (name == "silence") {
    if (!hasValue || !tarvell::ParseUnsigned(value, 3600000, &number, 10)) {
      *why = "'silence' needs a time in milliseconds up to 3600000, e.g. silence=50";
      return false;
    }
    options->silenceMs = int64_t(number);
    return true;
  }
  if (name == "exception-for") return needList(&m.exceptionFor);
  if (name == "split-reply-for") return needList(&m.splitReplyFor);
  if (name == "no-reply-for") return needList(&m.noReplyFor);
  if (name == "unknown-packets") return flag(&m.unknownPackets);
  if (name == "corrupt-header") return flag(&m.corruptHeader);
  *why = "unknown item '" + name + "'; the items are " + SimulatedScannerItemList();
  return false;
}

}  // namespace

const std::vector<SimulatedScannerItem>& SimulatedScannerItems() {
  static const std::vector<SimulatedScannerItem> items = {
      {"timeouts-before-data", "N", "image reads that time out before the data"},
      {"gone-after-bytes", "N", "unplugged after that many bytes of the image"},
      {"exception-for", "METHOD[,METHOD...]", "these calls get an exception reply (e.g. create, start)"},
      {"no-reply-for", "METHOD...", "these calls get no reply"},
      {"split-reply-for", "METHOD...", "the replies to these calls come in pieces"},
      {"short-image-by", "N", "the image lacks its last N bytes"},
      {"corrupt-header", nullptr, "the image's header is damaged"},
      {"unknown-packets", nullptr, "packets of unknown types among the image's"},
      {"pace", "RATE", "real time: the image at RATE bytes a second (e.g. 2M, 500k)"},
      {"silence", "MS", "with pace: a read that finds no data waits MS milliseconds"},
      {"location", "N", "the USB location the scanner sits at"},
      {"layout", "default|alt-setting|no-image-pipe", "the interface's endpoints"},
      {"packet-size", "N", "image bytes per packet"},
      {"seed", "N", "the seed of the cuts between reads"},
  };
  return items;
}

std::string SimulatedScannerItemList() {
  std::string list;
  for (const SimulatedScannerItem& item : SimulatedScannerItems())
    list += std::string(list.empty() ? "" : ", ") + item.name + (item.value ? std::string("=") + item.value : "");
  return list;
}

bool ParseSimulatedScannerOptions(const std::string& text, SimulatedScannerOptions* out, std::string* badItem,
                                  std::string* why) {
  SimulatedScannerOptions options = *out;
  // A method list ("exception-for=create,start") goes on through bare words after it.
  std::vector<std::string>* list = nullptr;
  std::string item;
  std::string problem;
  std::string silence;  // the item that set a silence, if one did
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
    } else if (item.rfind("silence=", 0) == 0) {
      silence = item;
    }
    item.clear();
  }
  // On virtual time no wait lasts, so a silence alone would be a setting that does nothing.
  if (!silence.empty() && options.pace == 0) {
    if (badItem) *badItem = silence;
    if (why) *why = "'silence' needs 'pace': without a pace the simulated scanner runs on virtual time";
    return false;
  }
  *out = options;
  return true;
}

tarvell::usb::SimDeviceSpec MakeK310(UInt32 locationID, K310Layout layout) {
  using namespace tarvell::usb;
  SimDeviceSpec desc;
  desc.vendorID = tarvell::device::kVendorID;
  desc.productID = tarvell::device::kProductID;
  desc.locationID = locationID;
  auto bulk = [](UInt8 direction, UInt8 number) {
    SimEndpoint e;
    e.direction = direction;
    e.number = number;
    e.transferType = kUSBBulk;
    e.maxPacketSize = 512;
    return e;
  };
  SimInterfaceSpec iface;
  switch (layout) {
    case K310Layout::kDefault:
      iface.settings = {{bulk(kUSBOut, kRequestEndpoint), bulk(kUSBIn, kReplyEndpoint), bulk(kUSBIn, kImageEndpoint)}};
      break;
    case K310Layout::kNoImagePipe:
      iface.settings = {{bulk(kUSBOut, kRequestEndpoint), bulk(kUSBIn, kReplyEndpoint)}};
      break;
    case K310Layout::kAltSetting1: {
      SimEndpoint irq{kUSBIn, 4, kUSBInterrupt, 16, 8};
      SimEndpoint irq2{kUSBIn, 12, kUSBInterrupt, 16, 8};
      iface.settings = {
          {},
          {bulk(kUSBOut, 1), bulk(kUSBIn, 1), bulk(kUSBOut, 2), bulk(kUSBIn, 3), irq, bulk(kUSBOut, 5), bulk(kUSBIn, 6),
           bulk(kUSBOut, 7), bulk(kUSBIn, 8), bulk(kUSBOut, 9), bulk(kUSBIn, 10), bulk(kUSBIn, 11), irq2}};
      break;
    }
  }
  desc.interfaces.push_back(iface);
  return desc;
}

std::shared_ptr<SimulatedScanner> InstallSimulatedScanner(tarvell::usb::SimBus& bus,
                                                          const SimulatedScannerOptions& options,
                                                          std::shared_ptr<tarvell::usb::SimClock> clock) {
  if (options.pace > 0) {
    if (!clock) clock = tarvell::usb::RealClock();
    bus.SetClock(clock);
  }
  auto scanner = std::make_shared<SimulatedScanner>(options, clock);
  std::shared_ptr<tarvell::usb::SimDevice> device = bus.AddDevice(MakeK310(options.locationID, options.layout));
  device->SetModel(scanner);
  scanner->AttachTo(device);
  return scanner;
}

}  // namespace tarvell::sim
