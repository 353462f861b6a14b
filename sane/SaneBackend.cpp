// The backend's C entry points. Each runs its body inside Guarded, which turns every exception
// into a SANE status: nothing thrown by the driver or this host crosses into the frontend.
#include <sane/sane.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "host/ConfigSearch.h"
#include "platform/system/Log.h"
#include "sane/SaneGuard.h"
#include "sane/SaneHost.h"

#ifndef TARVELL_SANE_CONFIG_DIR
#define TARVELL_SANE_CONFIG_DIR "/etc/sane.d"
#endif

#define TARVELL_SANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using tarvell::sane::Backend;
using tarvell::sane::Debug;
using tarvell::sane::Device;
using tarvell::sane::Guarded;

// The loader checks only the major, which stays the standard's; the project's version
// (major.minor, from CMake's project()) is the minor and the build number.
constexpr SANE_Int kVersionCode = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, TARVELL_VERSION_MAJOR, TARVELL_VERSION_MINOR);

struct BackendState {
  std::unique_ptr<Backend> backend;
  tarvell::LogSink previousSink;
  bool sinkReplaced = false;
  // What sane_get_devices handed out last; valid until the next call or sane_exit.
  std::deque<std::string> strings;
  std::vector<SANE_Device> devices;
  std::vector<const SANE_Device*> list{nullptr};
};

// sane_init, sane_exit, sane_get_devices and sane_open hold this lock. The calls on a handle hold
// that device's own lock instead (Held), so that one handle never waits for another's device.
std::mutex gLock;

BackendState& State() {
  static BackendState state;
  return state;
}

// The backend the calls on a handle find devices in: set by sane_init, cleared by sane_exit.
std::atomic<Backend*> gBackend{nullptr};

// The handles sane_cancel may reach, read without a lock (it may run in a signal handler): a
// handle is entered by sane_open and removed before its device closes, and a device goes only
// once no cancel is looking at the table.
std::array<std::atomic<void*>, 64> gCancellable{};
std::atomic<int> gCancelsRunning{0};

bool EnterCancellable(void* handle) {
  for (auto& slot : gCancellable) {
    void* empty = nullptr;
    if (slot.compare_exchange_strong(empty, handle)) return true;
  }
  return false;
}

void LeaveCancellable(void* handle) {
  for (auto& slot : gCancellable) {
    void* expected = handle;
    slot.compare_exchange_strong(expected, nullptr);
  }
  while (gCancelsRunning.load() != 0) std::this_thread::yield();
}

// The device behind a handle this backend gave out and has not closed, kept alive and held for
// one call; empty for anything else.
struct Held {
  explicit Held(SANE_Handle handle) {
    Backend* backend = gBackend.load();
    std::shared_ptr<Device> found = backend ? backend->Find(handle) : nullptr;
    if (!found) return;
    std::unique_lock<std::mutex> calls(found->calls());
    if (found->closed()) return;  // unlocked before the device may go
    device = std::move(found);
    lock = std::move(calls);
  }
  Device* operator->() const { return device.get(); }
  explicit operator bool() const { return device != nullptr; }
  std::shared_ptr<Device> device;
  std::unique_lock<std::mutex> lock;  // released before the device
};

void ShutDown() {
  BackendState& state = State();
  gBackend.store(nullptr);
  for (auto& slot : gCancellable) slot.store(nullptr);
  while (gCancelsRunning.load() != 0) std::this_thread::yield();
  state.backend.reset();
  state.strings.clear();
  state.devices.clear();
  state.list.assign(1, nullptr);
  if (state.sinkReplaced) tarvell::SetLogSink(std::move(state.previousSink));
  state.sinkReplaced = false;
}

}  // namespace

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_init(SANE_Int* version_code, SANE_Auth_Callback) {
  std::lock_guard<std::mutex> lock(gLock);
  return Guarded("sane_init", [&] {
    if (version_code) *version_code = kVersionCode;
    ShutDown();
    BackendState& state = State();
    if (tarvell::sane::DebugLevel() >= 5) {
      state.previousSink = tarvell::SetLogSink([](const std::string& line) { Debug(5, "driver: %s", line.c_str()); });
      state.sinkReplaced = true;
    }
    const std::vector<std::string> path =
        tarvell::host::ConfigSearchPath(std::getenv("SANE_CONFIG_DIR"), {TARVELL_SANE_CONFIG_DIR, "/etc/sane.d"});
    state.backend = std::make_unique<Backend>(tarvell::sane::LoadConfig(path));
    gBackend.store(state.backend.get());
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT void sane_tarvell_exit(void) {
  std::lock_guard<std::mutex> lock(gLock);
  Guarded("sane_exit", [] {
    ShutDown();
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_get_devices(const SANE_Device*** device_list, SANE_Bool) {
  std::lock_guard<std::mutex> lock(gLock);
  return Guarded("sane_get_devices", [&] {
    if (!device_list) return SANE_STATUS_INVAL;
    BackendState& state = State();
    if (!state.backend) return SANE_STATUS_INVAL;
    std::vector<Backend::Found> found = state.backend->ListDevices();
    const bool simulated = state.backend->config().simulate();
    state.strings.clear();
    state.devices.clear();
    state.list.clear();
    auto keep = [&](std::string text) { return state.strings.emplace_back(std::move(text)).c_str(); };
    for (const Backend::Found& f : found) {
      // "Tarvell K310 (USB)": the maker first, the model after it.
      std::string model = f.model;
      const std::string maker = "Tarvell ";
      if (model.compare(0, maker.size(), maker) == 0) model.erase(0, maker.size());
      SANE_Device device;
      device.name = keep(f.name);
      device.vendor = keep("Tarvell");
      // The simulated scanner stands in for the real one, so it has the real one's type (frontends
      // skip virtual devices); the model says what it is.
      device.model = keep(simulated ? model + ", simulated" : model);
      device.type = keep("multi-function peripheral");
      state.devices.push_back(device);
    }
    for (const SANE_Device& device : state.devices) state.list.push_back(&device);
    state.list.push_back(nullptr);
    *device_list = state.list.data();
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_open(SANE_String_Const devicename, SANE_Handle* handle) {
  std::lock_guard<std::mutex> lock(gLock);
  return Guarded("sane_open", [&] {
    if (!handle) return SANE_STATUS_INVAL;
    *handle = nullptr;
    Backend* backend = State().backend.get();
    if (!backend) return SANE_STATUS_INVAL;
    Device* device = nullptr;
    SANE_Status status = backend->Open(devicename ? devicename : "", &device);
    if (status != SANE_STATUS_GOOD) return status;
    if (!EnterCancellable(device)) {
      backend->Close(device);
      return SANE_STATUS_NO_MEM;
    }
    *handle = device;
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT void sane_tarvell_close(SANE_Handle handle) {
  Guarded("sane_close", [&] {
    Backend* backend = gBackend.load();
    if (!backend || !backend->Find(handle)) return SANE_STATUS_GOOD;
    LeaveCancellable(handle);
    backend->Close(handle);
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT const SANE_Option_Descriptor* sane_tarvell_get_option_descriptor(SANE_Handle handle,
                                                                                     SANE_Int option) {
  const SANE_Option_Descriptor* descriptor = nullptr;
  Guarded("sane_get_option_descriptor", [&] {
    if (Held device{handle}) descriptor = device->options().Descriptor(option);
    return SANE_STATUS_GOOD;
  });
  return descriptor;
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action,
                                                            void* value, SANE_Int* info) {
  return Guarded("sane_control_option", [&] {
    if (info) *info = 0;
    Held device{handle};
    if (!device) return SANE_STATUS_INVAL;
    // The running scan was set up with the values as they are; they stay until it ends.
    if (action != SANE_ACTION_GET_VALUE && device->scanning() && device->options().Descriptor(option))
      return SANE_STATUS_DEVICE_BUSY;
    return device->options().Control(option, action, value, info);
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_get_parameters(SANE_Handle handle, SANE_Parameters* params) {
  return Guarded("sane_get_parameters", [&] {
    Held device{handle};
    if (!device || !params) return SANE_STATUS_INVAL;
    *params = device->Parameters();
    return SANE_STATUS_GOOD;
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_start(SANE_Handle handle) {
  return Guarded("sane_start", [&] {
    Held device{handle};
    if (!device) return SANE_STATUS_INVAL;
    return device->Start();
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_read(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length,
                                                  SANE_Int* length) {
  return Guarded("sane_read", [&] {
    if (length) *length = 0;
    Held device{handle};
    if (!device || !data || !length || max_length < 0) return SANE_STATUS_INVAL;
    return device->Read(data, max_length, length);
  });
}

// Frontends call this from signal handlers too, and from another thread while a read waits or
// the handle closes: it takes no lock, finds the handle in the table of open ones and only raises
// the device's flags.
TARVELL_SANE_EXPORT void sane_tarvell_cancel(SANE_Handle handle) {
  ++gCancelsRunning;
  for (auto& slot : gCancellable)
    if (handle && slot.load() == handle) {
      static_cast<Device*>(handle)->Cancel();
      break;
    }
  --gCancelsRunning;
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_set_io_mode(SANE_Handle handle, SANE_Bool non_blocking) {
  return Guarded("sane_set_io_mode", [&] {
    Held device{handle};
    if (!device || (non_blocking != SANE_TRUE && non_blocking != SANE_FALSE)) return SANE_STATUS_INVAL;
    return device->SetNonBlocking(non_blocking == SANE_TRUE);
  });
}

TARVELL_SANE_EXPORT SANE_Status sane_tarvell_get_select_fd(SANE_Handle handle, SANE_Int* fd) {
  return Guarded("sane_get_select_fd", [&] {
    Held device{handle};
    if (!device || !fd) return SANE_STATUS_INVAL;
    return device->SelectFd(fd);
  });
}
