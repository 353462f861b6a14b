// A small frontend: loads the backend, then open, start, read, cancel and close three times, as a
// frontend scanning three pages does, and checks what comes back. Built with the sanitizers in
// the sanitizer build, so the whole backend run is checked for leaks and bad accesses.
//
//   tarvell-sane-frontend BACKEND.so [CONFIGURATION-LINE...]
//
// The lines (default: "simulate") go to a tarvell.conf in a fresh folder named by SANE_CONFIG_DIR.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/sane/SaneApi.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

SANE_Status SetWord(const tarvell::sane::testing::SaneApi& api, SANE_Handle h, const char* name, SANE_Word value) {
  SANE_Int count = 0;
  api.control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr);
  for (SANE_Int i = 1; i < count; ++i) {
    const SANE_Option_Descriptor* d = api.get_option_descriptor(h, i);
    if (d && d->name && std::strcmp(d->name, name) == 0)
      return api.control_option(h, i, SANE_ACTION_SET_VALUE, &value, nullptr);
  }
  return SANE_STATUS_UNSUPPORTED;
}

SANE_Status SetMode(const tarvell::sane::testing::SaneApi& api, SANE_Handle h, const char* mode) {
  char value[32] = {};
  std::snprintf(value, sizeof value, "%s", mode);
  SANE_Int count = 0;
  api.control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr);
  for (SANE_Int i = 1; i < count; ++i) {
    const SANE_Option_Descriptor* d = api.get_option_descriptor(h, i);
    if (d && d->name && std::strcmp(d->name, "mode") == 0)
      return api.control_option(h, i, SANE_ACTION_SET_VALUE, value, nullptr);
  }
  return SANE_STATUS_UNSUPPORTED;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BACKEND.so [CONFIGURATION-LINE...]\n", argv[0]);
    return 2;
  }
  char dir[] = "/tmp/tarvell-sane-frontend-XXXXXX";
  if (!mkdtemp(dir)) return 2;
  const std::string conf = std::string(dir) + "/tarvell.conf";
  {
    std::ofstream out(conf);
    if (argc == 2) out << "simulate\n";
    for (int i = 2; i < argc; ++i) out << argv[i] << "\n";
  }
  setenv("SANE_CONFIG_DIR", dir, 1);

  tarvell::sane::testing::SaneApi api;
  std::string error;
  if (!api.Load(argv[1], &error)) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], error.c_str());
    return 2;
  }
  SANE_Int version = 0;
  Check(api.init(&version, nullptr) == SANE_STATUS_GOOD, "sane_init");
  Check(SANE_VERSION_MAJOR(version) == 1, "version 1");
  const SANE_Device** devices = nullptr;
  Check(api.get_devices(&devices, SANE_FALSE) == SANE_STATUS_GOOD && devices && devices[0], "a device is listed");
  const std::string name = devices && devices[0] ? devices[0]->name : "";

  const char* modes[] = {"Color", "Gray", "Lineart"};
  for (int round = 0; round < 3; ++round) {
    SANE_Handle h = nullptr;
    Check(api.open(name.c_str(), &h) == SANE_STATUS_GOOD && h, "sane_open, round " + std::to_string(round));
    if (!h) break;
    Check(SetMode(api, h, modes[round]) == SANE_STATUS_GOOD, "mode");
    Check(SetWord(api, h, "resolution", 150) == SANE_STATUS_GOOD, "resolution");
    Check(SetWord(api, h, "br-x", SANE_FIX(60.0)) == SANE_STATUS_GOOD, "br-x");
    Check(SetWord(api, h, "br-y", SANE_FIX(40.0)) == SANE_STATUS_GOOD, "br-y");
    SANE_Parameters before{}, after{};
    Check(api.get_parameters(h, &before) == SANE_STATUS_GOOD, "parameters before start");
    Check(api.start(h) == SANE_STATUS_GOOD, std::string("sane_start, ") + modes[round]);
    Check(api.get_parameters(h, &after) == SANE_STATUS_GOOD, "parameters after start");
    Check(before.lines == after.lines && before.bytes_per_line == after.bytes_per_line, "parameters hold");
    std::vector<SANE_Byte> buffer(7777);
    long total = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    for (;;) {
      SANE_Int n = 0;
      status = api.read(h, buffer.data(), SANE_Int(buffer.size()), &n);
      if (status != SANE_STATUS_GOOD) break;
      total += n;
    }
    Check(status == SANE_STATUS_EOF, "reads end with EOF");
    Check(total == long(after.bytes_per_line) * after.lines, "a whole frame, " + std::to_string(total) + " bytes");
    api.cancel(h);

    // A scan abandoned half-way: cancel, then the device scans again.
    Check(api.start(h) == SANE_STATUS_GOOD, "second start");
    SANE_Int n = 0;
    Check(api.read(h, buffer.data(), 100, &n) == SANE_STATUS_GOOD && n == 100, "part of a frame");
    api.cancel(h);
    Check(api.read(h, buffer.data(), 100, &n) == SANE_STATUS_CANCELLED, "cancelled");
    api.close(h);
  }
  api.exit();
  api.Unload();
  std::remove(conf.c_str());
  rmdir(dir);
  if (failures) return 1;
  std::printf("three rounds of open, start, read, cancel and close: fine\n");
  return 0;
}
