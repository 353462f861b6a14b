#include "escl/ScannerAccess.h"

#include <unistd.h>
#include <uuid/uuid.h>

#include <fstream>

#include "driver/ScannerCallbacks.h"
#include "host/ScanRules.h"
#include "host/Scanners.h"
#include "platform/ica/HostSteps.h"
#include "platform/system/Parse.h"
#include "platform/system/SystemInfo.h"

namespace tarvell::escl {
namespace {

// The machine's identity, so that two hosts with a scanner at the same place differ.
std::string MachineId() {
  std::string id;
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    if (std::getline(std::ifstream(path) >> std::ws, id) && !id.empty()) return id;
  }
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

}  // namespace

std::string ScannerUuid(UInt32 location) {
  // A namespace of this program's own.
  static const uuid_t kNamespace = {0x6b, 0x3e, 0x1f, 0x52, 0x8c, 0x0d, 0x4a, 0x77,
                                    0x9e, 0x21, 0x5d, 0xc4, 0x70, 0x13, 0xa8, 0x46};
  const std::string name = MachineId() + "/" +
                           tarvell::Hex32(tarvell::host::kVendorID << 16 | tarvell::host::kProductID) + "/" +
                           tarvell::Hex32(location);
  uuid_t uuid;
  uuid_generate_sha1(uuid, kNamespace, name.data(), name.size());
  char text[37];
  uuid_unparse_lower(uuid, text);
  return text;
}

ScannerAccess::ScannerAccess(const ServerConfig& config, std::vector<std::string>* problems) {
  tarvell::host::BusChoice choice;
  if (config.simulate) {
    choice.simulated = {config.simulated};
    location_ = config.simulated.locationID;
  }
  if (config.device) location_ = config.device;
  bus_ = tarvell::host::HostBus::Install(choice, problems);
  setUp_ = std::make_unique<tarvell::host::DriverSetUp>(config.endAtJobEnd);
}

ScannerAccess::~ScannerAccess() {
  driver_.Call([] {});  // every page ended and its scanner closed
  setUp_.reset();
  std::vector<std::string> problems;
  bus_->Finish(&problems);
}

bool ScannerAccess::OpenScanner(ScannerObjectInfo** record, UInt32* location, std::string* why) {
  tarvell::host::OpenProblem problem;
  if (tarvell::host::OpenScanner(location_.value_or(0), record, location, &problem)) return true;
  *why = problem.message;
  return false;
}

bool ScannerAccess::Describe(std::string* why) {
  if (described_.load()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (described_.load()) return true;
  struct Found {
    bool ok = false;
    std::string why;
    UInt32 location = 0;
    tarvell::host::ScannerFacts facts;
  };
  Found found;
  try {
    // The task owns what it makes: it may end after this wait has given up.
    found = driver_.CallFor(tarvell::host::kDeviceCallBound, [this] {
      Found f;
      ScannerObjectInfo* record = nullptr;
      if (!OpenScanner(&record, &f.location, &f.why)) return f;
      f.facts = tarvell::host::ReadScannerFacts(record);
      tarvell::ica::CloseDevice(record);
      f.ok = true;
      return f;
    });
  } catch (const tarvell::host::DriverThread::Timeout&) {
    *why = "the scanner does not answer";
    return false;
  }
  if (!found.ok) {
    *why = found.why;
    return false;
  }
  description_.makeAndModel = tarvell::host::kModelName;
  description_.serialNumber = tarvell::Hex32(found.location);
  description_.uuid = ScannerUuid(found.location);
  description_.width = found.facts.bedWidth / 2;  // 1/600 inch to 1/300
  description_.height = found.facts.bedHeight / 2;
  description_.resolutions = found.facts.resolutions;
  description_.colourMaximum = found.facts.colourMaximum;
  described_.store(true);
  return true;
}

std::shared_ptr<tarvell::host::PageStream> ScannerAccess::Start(const tarvell::ica::ScanArea& area, std::string* why) {
  plist::DictionaryRef settings = tarvell::ica::MakeScanSettings(area, HostSystemVersion());
  if (!settings) throw std::bad_alloc();
  std::lock_guard<std::mutex> lock(mutex_);
  struct Opened {
    ScannerObjectInfo* record = nullptr;
    UInt32 location = 0;
    std::string why;
  };
  auto opened = std::make_shared<Opened>();
  try {
    driver_.CallFor(tarvell::host::kDeviceCallBound,
                    [this, opened] { return OpenScanner(&opened->record, &opened->location, &opened->why); });
  } catch (const tarvell::host::DriverThread::Timeout&) {
    // Whatever the open still makes is closed after it, on the same thread.
    driver_.Post([opened] {
      if (opened->record) tarvell::ica::CloseDevice(opened->record);
    });
    *why = "the scanner does not answer";
    return nullptr;
  }
  ScannerObjectInfo* record = opened->record;
  if (!record) {
    *why = opened->why;
    return nullptr;
  }
  std::shared_ptr<tarvell::host::PageStream> stream;
  try {
    stream = tarvell::host::PageStream::Start(driver_, record, settings);
  } catch (...) {
    driver_.Call([record] { tarvell::ica::CloseDevice(record); });
    throw;
  }
  // After the page's job, the scanner is closed for others.
  driver_.Post([record] { tarvell::ica::CloseDevice(record); });
  return stream;
}

}  // namespace tarvell::escl
