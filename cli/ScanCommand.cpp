#include "cli/ScanCommand.h"

#include <iostream>
#include <memory>
#include <vector>

#include "cli/OutputFile.h"
#include "cli/Progress.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/ica/ICAHost.h"
#include "platform/system/SystemInfo.h"
#include "platform/usb/USB.h"

namespace tarvell {
namespace ica {
namespace {

std::string StartFailure(ICAError err) {
  const std::string status = " (status " + std::to_string(err) + ")";
  switch (err) {
    case kICACommunicationErr: return "the scanner sent no image: it stopped answering or refused the job" + status;
    case kICADeviceNotFoundErr: return "the scanner went away during the scan" + status;
    case kICAFileCorruptedErr: return "the image the scanner sent is damaged or incomplete" + status;
    case paramErr: return "the driver refused the scan settings" + status;
    case memFullErr: return "out of memory while scanning" + status;
    default: return "the scan failed" + status;
  }
}

// The settings dictionary of `plan`, once what differs from the request has been said.
plist::DictionaryRef SettingsFor(const HostOptions& options, const host::ScanPlan& plan, SInt32 systemVersion) {
  if (!plan.notice.empty()) Complain(options, plan.notice);
  return MakeScanSettings(plan.scan, systemVersion);
}

}  // namespace

int RunScan(const HostOptions& options) {
  if (!options.operands.empty()) {
    Complain(options, "scan takes no operands (the output file goes with -o FILE)");
    return kExitUsage;
  }
  ScanRequest request;
  std::string error;
  if (!ParseScanRequest(options, &request, &error)) {
    Complain(options, error);
    return kExitUsage;
  }
  const SInt32 systemVersion = HostSystemVersion();

  // The driver's main registered its callbacks (a test, its stand-in's).
  const host::DriverSetUp setUp(request.endAtJobEnd, host::DriverSetUp::kAsRegistered);
  // With --progress the host watches the image bytes on their way to the module.
  std::unique_ptr<ProgressMeter> meter;
  std::shared_ptr<usb::Bus> plainBus = usb::ActiveBus();
  if (request.progress) {
    meter = std::make_unique<ProgressMeter>();
    usb::SetActiveBus(MeteredBus(plainBus, meter.get()));
  }
  struct BusRestore {
    std::shared_ptr<usb::Bus> bus;
    ~BusRestore() { usb::SetActiveBus(bus); }
  } restore{plainBus};

  ScannerObjectInfo* device = nullptr;
  ICAError err = OpenOneDevice(options, &device);
  if (err != noErr) {
    ReportOpenFailure(options, err);
    return kExitFailure;
  }

  int status = kExitFailure;
  std::string written;
  UInt32 width = 0, height = 0, size = 0;
  if ((err = OpenSession(device)) != noErr) {
    Complain(options, "opening a session failed (status " + std::to_string(err) + ")");
  } else {
    plist::DictionaryRef caps, settings;
    host::ScanSpace space;
    host::ScanPlan plan;
    if ((err = GetParameters(device, &caps)) != noErr) {
      Complain(options, "reading the capabilities failed (status " + std::to_string(err) + ")");
    } else if (!host::ScanSpaceOf(device, caps, &space)) {
      Complain(options, "the driver reported no glass size");
    } else if (!PlanRequest(request, space, &plan, &error)) {
      Complain(options, error);
      status = kExitUsage;
    } else if (!(settings = SettingsFor(options, plan, systemVersion))) {
      Complain(options, "out of memory");
    } else if ((err = SetParameters(device, settings)) != noErr) {
      Complain(options, "the driver refused the scan settings (status " + std::to_string(err) + ")");
    } else {
      ScannerObjectInfo* file = nullptr;
      err = Start(device, &file);
      if (meter) meter->Finish();
      if (err != noErr) {
        Complain(options, StartFailure(err));
      } else if (!file) {
        Complain(options, "the scan produced no file (the area holds no pixels)");
      } else {
        const std::string target = request.output.empty() ? std::string(file->name) : request.output;
        OutputFile out;
        const auto write = [&](const UInt8* bytes, UInt32 count) { return out.Write(bytes, count, &error); };
        if (!out.Open(target, &error)) {
          Complain(options, error);
        } else if ((err = ReadWholeFile(file, write)) != noErr) {
          out.Discard();
          Complain(options, err == kFileSinkFailed
                                ? error
                                : "reading the scanned file failed (status " + std::to_string(err) + ")");
        } else if (!out.Commit(&error)) {
          out.Discard();
          Complain(options, error);
        } else {
          status = kExitSuccess;
          written = target;
          width = file->dataWidth;
          height = file->dataHeight;
          size = file->dataSize;
        }
      }
      // The host is done with the file either way.
      if (file) DeleteFile(file);
    }
    CloseSession(device);
  }
  CloseDevice(device);
  if (status == kExitSuccess)
    std::cout << "Wrote " << written << " (" << width << " x " << height << " pixels, " << size << " bytes)\n";
  return status;
}

}  // namespace ica
}  // namespace tarvell
