#include "cli/ScanCommand.h"

#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "cli/OutputFile.h"
#include "cli/Progress.h"
#include "host/Scanners.h"
#include "imaging/ImageEncoder.h"
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

// The driver's TIFF as `format` into `out`, with what the page is in *page.
bool WritePage(const std::vector<UInt8>& tiff, const OutputFormat& format, OutputFile* out, imaging::TiffPage* page,
               std::string* error) {
  std::vector<UInt8> encoded;
  std::string why;
  bool ok = false;
  try {
    ok = format.driversTiff ? imaging::ReadTiffPage(tiff.data(), tiff.size(), page, &why)
                            : imaging::TranscodeTiff(tiff.data(), tiff.size(), format.encoding, &encoded, page, &why);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (!ok) {
    *error = std::string("the driver's image cannot be written as ") + format.label + ": " + why;
    return false;
  }
  const std::vector<UInt8>& bytes = format.driversTiff ? tiff : encoded;
  return out->Write(bytes.data(), bytes.size(), error);
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
  // The output first: a file that cannot be written costs no scan.
  OutputFile out;
  if (!out.Open(request.output, &error)) {
    Complain(options, error);
    return kExitFailure;
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
  imaging::TiffPage page;
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
      std::vector<UInt8> tiff;
      const auto keep = [&](const UInt8* bytes, UInt32 count) {
        try {
          tiff.insert(tiff.end(), bytes, bytes + count);
          return true;
        } catch (const std::bad_alloc&) {
          return false;
        }
      };
      if (err != noErr) {
        Complain(options, StartFailure(err));
      } else if (!file) {
        Complain(options, "the scan produced no file (the area holds no pixels)");
      } else if ((err = ReadWholeFile(file, keep)) != noErr) {
        Complain(options, err == kFileSinkFailed
                              ? "out of memory while reading the scanned file"
                              : "reading the scanned file failed (status " + std::to_string(err) + ")");
      } else {
        // The driver's name, with the extension of the format asked for.
        written = request.output;
        if (written.empty()) {
          written = file->name;
          if (!request.format->driversTiff)
            written = written.substr(0, written.rfind('.')) + request.format->extensions.front();
          out.Name(written);
        }
        if (WritePage(tiff, *request.format, &out, &page, &error) && out.Commit(&error)) {
          status = kExitSuccess;
        } else {
          Complain(options, error);
        }
      }
      // The host is done with the file either way.
      if (file) DeleteFile(file);
    }
    CloseSession(device);
  }
  CloseDevice(device);
  out.Discard();
  if (status == kExitSuccess) {
    const imaging::PageFormat& f = page.format;
    const char* kind = f.kind == f.kRGB ? "colour" : f.kind == f.kGray ? "grey" : "black-and-white";
    std::cout << "Wrote " << written << ": " << f.width << " x " << f.height << " pixels, " << page.dpi << " dpi, "
              << kind << " " << request.format->label << "\n";
  }
  return status;
}

}  // namespace ica
}  // namespace tarvell
