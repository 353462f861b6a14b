#include "usb/ScanJob.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "element/Elements.h"
#include "platform/system/Log.h"
#include "platform/system/Memory.h"
#include "usb/DeviceFacts.h"
#include "usb/USBScanProtocol.h"
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

std::string glJobName;
SInt32 endJobPage = 0;

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// One of the five calls: the object, the method, and the lines the job logs around it.
struct CallSpec {
  const char* objName;  // null: the job name (and suffix)
  const char* suffix;
  const char* method;
  const char* failureLine;
  bool detailPrefix;  // the request text is logged as " > %s" (else "%s")
};

const CallSpec kEnter = {"system", "", "enterHostUSBSendMode", " > enterHostUSBSendMode Control Read fail error: %x\n",
                         true};
const CallSpec kCreate = {"jobFactory", "", "create", " > Job Name Control Read fail error: %x\n", true};
const CallSpec kStart = {nullptr, "", "start", " > StartScanJob Control Read fail error: %x\n", true};
const CallSpec kDone = {nullptr, ".scanJob", "done", " > FinishScanJob Control Read fail error: %x\n", true};
const CallSpec kExit = {"system", "", "exitHostUSBSendMode", " > exitHostSendMode Response Read fail error: %x\n",
                        false};

// A float product truncated toward zero into the range an IntegerElem can hold.
int TruncateToInt(float value) {
  if (!(value > 0.0f)) return 0;  // also NaN
  if (value >= 2147483648.0f) return INT_MAX;
  return static_cast<int>(value);
}

MapElem* NewPoint(int x, int y) {
  auto* point = new MapElem();
  point->addChild("x", new IntegerElem(x));
  point->addChild("y", new IntegerElem(y));
  return point;
}

// Appends `element` to `list`, which owns it from then on (also when add refuses it).
void Append(ListElem& list, Element* element) {
  std::unique_ptr<Element> owned(element);
  list.add(owned.get());
  owned.release();
}

// The job's state while MyScanToBuffer runs: the scanner, the request identifier and the
// framers (replies and image data are framed separately, so that a reply cut between reads
// can never swallow image bytes read in the meantime).
struct Job {
  CSimpleScanner* scanner;
  int requestID;
  USBScanProtocolHandle replies;
  USBScanProtocolHandle images;
  std::string jobName;

  // Sends one call with `args` and feeds its reply to the framer. `jobNameCall` adds the
  // "create" call's log line of the reply byte count.
  void perform(const CallSpec& call, ListElem& args, bool jobNameCall = false) {
    const std::string objName = call.objName ? std::string(call.objName) : jobName + call.suffix;
    std::unique_ptr<char, FreeDeleter> text;
    unsigned int length = 0;
    {
      XMLVisitor visitor(MessageKind::callMethod, requestID, objName, call.method, "");
      args.accept(&visitor);
      char* dump = nullptr;
      if (visitor.createMemoryDump(&dump, &length) != 0 || dump == nullptr) {
        BridgeNSLog(" > ERROR: out of memory for the %s request\n", call.method);
        return;
      }
      text.reset(dump);
    }
    BridgeNSLog(call.detailPrefix ? " > %s" : "%s", text.get());

    const std::vector<UInt8> packet = prepControlDataToSend(replies.get(), text.get(), length);
    text.reset();
    scanner->WritePipeWithBuffer(packet.data(), UInt32(packet.size()));

    std::vector<UInt8> reply(tarvell::kScanJobReplyBufferSize, 0);
    UInt32 count = tarvell::kScanJobReplyBufferSize;
    const IOReturn status = scanner->ReadControlPipeToBuffer(reply.data(), &count);
    if (jobNameCall) BridgeNSLog(" > jobNameBufSize:\t%d\n", int(count));
    if (status == kIOReturnSuccess) {
      receiveData(replies.get(), reply.data(), count > reply.size() ? reply.size() : count);
    } else {
      BridgeNSLog(call.failureLine, unsigned(status));
    }
  }
};

}  // namespace

namespace tarvell {

DeviceWindow DeviceWindowFor(const ScanningParamBlock& p) {
  DeviceWindow w;
  // Colour is sent as 24 bits, and the device scans colour at a lower top resolution.
  w.resolution = int(tarvell::device::DeviceResolution(p.mainScanRes, p.colorMode != 0));
  const float resAdjust = static_cast<float>(w.resolution) / static_cast<float>(p.mainScanRes);
  w.left = TruncateToInt(static_cast<float>(p.offsetMainScan) * resAdjust);
  w.top = TruncateToInt(static_cast<float>(p.offsetSubScan) * resAdjust);
  w.right = TruncateToInt(static_cast<float>(p.offsetMainScan + p.mainScanLen) * resAdjust);
  w.bottom = TruncateToInt(static_cast<float>(p.offsetSubScan + p.subScanLen) * resAdjust);
  return w;
}

void DeliveredImageSize(const ScanningParamBlock& p, UInt32* width, UInt32* height) {
  *width = *height = 0;
  if (p.mainScanRes == 0) return;
  const DeviceWindow w = DeviceWindowFor(p);
  const int64_t right =
      std::min<int64_t>(w.right, tarvell::device::GlassPixels(tarvell::device::kGlassWidth, UInt32(w.resolution)));
  const int64_t bottom =
      std::min<int64_t>(w.bottom, tarvell::device::GlassPixels(tarvell::device::kGlassHeight, UInt32(w.resolution)));
  if (right <= w.left || bottom <= w.top) return;
  *width = UInt32(right - w.left);
  *height = UInt32(bottom - w.top);
}

std::unique_ptr<MapElem> BuildScanParameterMap(const ScanningParamBlock& p) {
  // Whether the window fits in 4 × 6 inches, measured in 1/600 inch.
  const double k = double(tarvell::device::kNativeResolution) / static_cast<double>(static_cast<float>(p.mainScanRes));
  const UInt32 right = p.offsetMainScan + p.mainScanLen;
  const UInt32 bottom = p.offsetSubScan + p.subScanLen;
  int originalMediaSize = 12;
  if (k * right >= 2400.0) {
    originalMediaSize = 2;
  } else if (k * bottom >= 3600.0) {
    originalMediaSize = 2;
  }

  int contentType = 2;
  int bitdepth = 24;
  if (p.colorMode == 0) {
    contentType = p.dataFormat == 1 ? 0 : 1;
    bitdepth = 8;
  }

  const DeviceWindow sent = DeviceWindowFor(p);
  const int resolution = sent.resolution;
  const float resAdjust = static_cast<float>(resolution) / static_cast<float>(p.mainScanRes);
  BridgeNSLog("  resolution: %d", resolution);
  BridgeNSLog(" mainScanRes: %d", int(p.mainScanRes));
  BridgeNSLog("   resAdjust: %f", double(resAdjust));

  auto map = std::make_unique<MapElem>();
  auto* document = new MapElem();
  map->addChild("documentParameters", document);
  document->addChild("compression", new IntegerElem(4));
  document->addChild("fileFormat", new IntegerElem(4));

  auto* scan = new MapElem();
  map->addChild("scanParameters", scan);
  scan->addChild("orientation", new IntegerElem(0));
  scan->addChild("darkness", new IntegerElem(5));
  scan->addChild("contrast", new IntegerElem(5));
  scan->addChild("originalMediaSize", new IntegerElem(originalMediaSize));
  scan->addChild("contentType", new IntegerElem(contentType));
  scan->addChild("bitdepth", new IntegerElem(bitdepth));
  scan->addChild("resolution", new IntegerElem(resolution));
  scan->addChild("source", new IntegerElem(2));
  auto* window = new MapElem();
  scan->addChild("scanWindow", window);
  window->addChild("topLeft", NewPoint(sent.left, sent.top));
  window->addChild("bottomRight", NewPoint(sent.right, sent.bottom));

  map->addChild("usbParameters", new MapElem());
  return map;
}

}  // namespace tarvell

IOReturn CSimpleScanner::MyScanToBuffer(std::unique_ptr<ScanData>* imageData) {
  BridgeNSLog("MyScanToBuffer()");
  Job job{this, std::rand() % 10000, nullptr, nullptr, {}};
  BridgeNSLog("requestID: %d", job.requestID);
  if (m_params.mainScanRes == 0) {
    // No resolution gives no scale for the window: nothing sensible can be asked of the device.
    BridgeNSLog(" > ERROR: MyScanToBuffer: mainScanRes is 0\n");
    if (imageData) imageData->reset();
    return kIOReturnSuccess;
  }
  const ScanProtocolCallbacks callbacks = {
      this,           &_MY_ImageBeginJob,   &_MY_ImageBeginJobPage, &_MY_ControlData,
      &_MY_ImageData, &_MY_ImageEndJobPage, &_MY_ImageEndJob};
  job.replies.reset(initUSBScanProtocol(&callbacks));
  job.images.reset(initUSBScanProtocol(&callbacks));

  try {
    BridgeNSLog(" - Enter PC Scan Mode");
    std::unique_ptr<MapElem> parameters = tarvell::BuildScanParameterMap(m_params);
    {
      ListElem args;
      // Each list owns what it holds, so call 1 gets a copy and call 2 the map itself.
      Append(args, parameters->clone());
      job.perform(kEnter, args);
    }

    BridgeNSLog(" - Get Job Name");
    {
      ListElem args;
      args.addChild("HostSendJob", new StringElem("HostSendJob"));
      Append(args, parameters.release());
      job.perform(kCreate, args, true);
    }
    job.jobName = glJobName;

    BridgeNSLog(" - Start Scan Job");
    {
      ListElem args;
      job.perform(kStart, args);
    }
  } catch (const Exception&) {
    BridgeNSLog(" > caught exception!\n");
  }

  // Image data phase: read until a read fails once image data has arrived (or, when asked,
  // until the end-of-job packet follows image data).
  endJobPage = 0;
  m_scanData.reset();
  int idleReads = 0;
  std::vector<UInt8> buffer(tarvell::kScanJobDataBufferSize, 0);
  while (endJobPage == 0) {
    UInt32 count = tarvell::kScanJobDataBufferSize;
    const IOReturn status = ReadDataPipeToBuffer(buffer.data(), &count);
    BridgeNSLog("endJobPage: %d", int(endJobPage));
    if (status == kIOReturnSuccess) {
      receiveData(job.images.get(), buffer.data(), count > buffer.size() ? buffer.size() : count);
    } else if (status == kIOReturnNoDevice) {
      m_opened = false;
      m_scanData.reset();
      return kIOReturnNoDevice;
    } else {
      BridgeNSLog(" > Data Read fail error: %x\tBuffer Size: %d\n", unsigned(status), int(count));
      if (HasScanData()) endJobPage = 1;
    }
    // A device that never sends the image (or sends nothing but empty transfers) would hold
    // the job for ever: a bounded number of idle reads in a row ends the phase.
    if (status == kIOReturnSuccess && count > 0) {
      idleReads = 0;
    } else if (endJobPage == 0 && ++idleReads >= tarvell::kScanJobIdleReadLimit) {
      if (!HasScanData()) {
        BridgeNSLog(" > ERROR: no image data after %d reads, giving up\n", idleReads);
      } else {
        BridgeNSLog(" > ERROR: %d empty reads, ending the image data\n", idleReads);
      }
      endJobPage = 1;
    }
  }

  try {
    BridgeNSLog(" - Finish Scan Job");
    {
      ListElem args;
      job.perform(kDone, args);
    }
    BridgeNSLog(" - Exit PC Scan Mode");
    {
      ListElem args;
      job.perform(kExit, args);
    }
  } catch (const Exception&) {
    BridgeNSLog(" > caught exception!\n");
  }

  if (imageData) *imageData = std::move(m_scanData);
  m_scanData.reset();
  return kIOReturnSuccess;
}

IOReturn CSimpleScanner::MyScanToSink(ScanDataSink* sink, bool* gotData) {
  m_scanDataSink = sink;
  m_sinkHadData = false;
  const IOReturn status = MyScanToBuffer(nullptr);
  if (gotData) *gotData = m_sinkHadData;
  m_scanDataSink = nullptr;
  m_sinkHadData = false;
  return status;
}

void _MY_ImageBeginJob(void*) { BridgeNSLog("_MY_ImageBeginJob()"); }

void _MY_ImageBeginJobPage(void*) { BridgeNSLog("_MY_ImageBeginJobPage()"); }

void _MY_ImageEndJobPage(void*) { BridgeNSLog("_MY_ImageEndJobPage()"); }

void _MY_ImageEndJob(void* info) {
  BridgeNSLog("_MY_ImageEndJob()");
  auto* scanner = static_cast<CSimpleScanner*>(info);
  if (tarvell::ScanJobEndsAtJobEnd() && scanner && scanner->HasScanData()) endJobPage = 1;
}

namespace tarvell {
namespace {
std::atomic<bool> gEndAtJobEnd{false};
}  // namespace
void SetScanJobEndsAtJobEnd(bool on) { gEndAtJobEnd.store(on); }
bool ScanJobEndsAtJobEnd() { return gEndAtJobEnd.load(); }
}  // namespace tarvell

namespace {

// The image buffer is reserved at most this large from what a stream's header announces (the
// whole glass in colour at 600 dpi is 107 MB); a bigger claim grows the buffer as the bytes
// arrive instead.
constexpr size_t kMaxImageReserve = size_t(128) << 20;

// Bytes of the whole stream (header and pixels) that the anymap header at the start of `bytes`
// announces; 0 when the bytes at hand do not hold a whole header or the size is out of reach.
size_t AnnouncedImageSize(const UInt8* bytes, size_t count) {
  PnmHeader header;
  if (ReadPnmHeader(bytes, count, &header) != PnmHeaderStatus::kComplete) return 0;
  if (header.headerBytes > kMaxImageReserve || header.pixelBytes > kMaxImageReserve - header.headerBytes) return 0;
  return header.headerBytes + header.pixelBytes;
}

}  // namespace

void _MY_ImageData(const UInt8* bytes, SInt32 length, void* info) {
  if (info == nullptr) return;
  auto* scanner = static_cast<CSimpleScanner*>(info);
  if (ScanDataSink* sink = scanner->m_scanDataSink) {
    scanner->m_sinkHadData = true;
    if (bytes != nullptr && length > 0) sink->Take(bytes, size_t(length));
    return;
  }
  // Sized once from the stream's header: growing the buffer would copy the image again and
  // again and touch fresh memory for every copy.
  if (!scanner->m_scanData && bytes != nullptr && length > 0) {
    scanner->m_scanData.reset(new ScanData());
    if (const size_t announced = AnnouncedImageSize(bytes, size_t(length))) {
      try {
        scanner->m_scanData->reserve(announced);
        tarvell::PreferHugePages(scanner->m_scanData->data(), announced);
      } catch (const std::bad_alloc&) {
        // The bytes still arrive; the buffer then grows as they do.
      }
    }
  }
  scanner->AddScanData(bytes, length);
}

void _MY_ControlData(const UInt8* bytes, SInt32 length, void*) {
  BridgeNSLog("_MY_ControlData()");
  const std::string text(reinterpret_cast<const char*>(bytes), size_t(length > 0 && bytes ? length : 0));
  BridgeNSLog(" > \n%s\n", text.c_str());
  try {
    std::unique_ptr<Element> reply;
    {
      XMLSAXParser parser;
      if (parser.parseMessage(text.data(), int(text.size())) != 0) return;
      reply = parser.takeResult();
    }
    if (!reply) return;
    const std::string messageType = reply->getChild("messageType")->stringValue();
    if (messageType == "response") {
      const std::string result = reply->getChild("result")->stringValue();
      BridgeNSLog(" > continued on\n");
      BridgeNSLog(" > %s", result.c_str());
      glJobName = result;
    } else {
      BridgeNSLog(" > %s", text.c_str());
    }
  } catch (const Exception&) {
    BridgeNSLog(" > caught exception!\n");
  } catch (const std::exception&) {
    BridgeNSLog(" > caught exception!\n");
  }
}
