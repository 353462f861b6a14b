// The backend's C edge, loaded from the built shared library as the SANE dll loader loads it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <stdlib.h>
#include <unistd.h>

#include "element/Exception.h"
#include "sane/SaneGuard.h"
#include "tests/sane/SaneApi.h"
#include "tests/support/Program.h"

namespace tarvell::sane {
namespace {

class SaneBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(api_.Load(TARVELL_SANE_BACKEND, &error)) << error;
    char dir[] = "/tmp/tarvell-sane-backend-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("SANE_CONFIG_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (api_.exit) api_.exit();
    api_.Unload();
    std::remove((dir_ + "/tarvell.conf").c_str());
    rmdir(dir_.c_str());
    unsetenv("SANE_CONFIG_DIR");
  }
  void Configure(const std::string& text) { std::ofstream(dir_ + "/tarvell.conf") << text; }
  SANE_Handle OpenFirst() {
    SANE_Handle h = nullptr;
    EXPECT_EQ(api_.open("", &h), SANE_STATUS_GOOD);
    return h;
  }

  testing::SaneApi api_;
  std::string dir_;
};

TEST_F(SaneBackend, OnlyTheEntryPointsLeaveTheLibrary) {
  // The driver inside (C++ and C names alike) is not visible to the frontend.
  for (const char* hidden :
       {"_ICD_ScannerStart", "_Z24RegisterScannerCallbacksv", "gICDScannerCallbackFunctions", "ICD_ScannerMain"})
    EXPECT_EQ(dlsym(api_.library, hidden), nullptr) << hidden;
}

// One version, CMake's project(), everywhere it shows: the package, the program and the backend
// (the standard's major, then the project's major and minor).
TEST_F(SaneBackend, OneVersionEverywhere) {
  const std::string changelog = tarvell::testing::ReadFile(TARVELL_SOURCE_DIR "/debian/changelog");
  EXPECT_EQ(changelog.rfind("tarvell (" TARVELL_VERSION ") ", 0), 0u) << changelog.substr(0, 40);
  EXPECT_EQ(tarvell::testing::RunProgram({TARVELL_SCANNER_MODULE, "--version"}).out,
            "scanner-module " TARVELL_VERSION "\n");
  Configure("simulate\n");
  SANE_Int code = 0;
  ASSERT_EQ(api_.init(&code, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(SANE_VERSION_MAJOR(code), SANE_CURRENT_MAJOR);
  EXPECT_EQ(std::to_string(SANE_VERSION_MINOR(code)) + "." + std::to_string(SANE_VERSION_BUILD(code)), TARVELL_VERSION);
}

TEST_F(SaneBackend, NothingWorksBeforeInitAndBadHandlesAreRefused) {
  const SANE_Device** devices = nullptr;
  EXPECT_EQ(api_.get_devices(&devices, SANE_FALSE), SANE_STATUS_INVAL);
  SANE_Handle h = nullptr;
  EXPECT_EQ(api_.open("", &h), SANE_STATUS_INVAL);

  Configure("simulate\n");
  SANE_Int version = 0;
  ASSERT_EQ(api_.init(&version, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(SANE_VERSION_MAJOR(version), 1);
  EXPECT_EQ(api_.get_devices(nullptr, SANE_FALSE), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.open("", nullptr), SANE_STATUS_INVAL);

  int bogus = 0;
  SANE_Handle bad = &bogus;
  SANE_Word value = 0;
  SANE_Parameters p;
  SANE_Int n = 0;
  SANE_Byte byte;
  EXPECT_EQ(api_.get_option_descriptor(bad, 0), nullptr);
  EXPECT_EQ(api_.control_option(bad, 0, SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.get_parameters(bad, &p), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.start(bad), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.read(bad, &byte, 1, &n), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.set_io_mode(bad, SANE_FALSE), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.get_select_fd(bad, &n), SANE_STATUS_INVAL);
  api_.close(bad);
  api_.close(nullptr);
  api_.cancel(nullptr);

  // A handle is no handle any more once closed.
  h = OpenFirst();
  ASSERT_NE(h, nullptr);
  api_.close(h);
  EXPECT_EQ(api_.start(h), SANE_STATUS_INVAL);
}

TEST_F(SaneBackend, ListsOpensAndDescribesTheSimulatedScanner) {
  Configure("# a private configuration\nsimulate\n");
  ASSERT_EQ(api_.init(nullptr, nullptr), SANE_STATUS_GOOD);
  const SANE_Device** devices = nullptr;
  ASSERT_EQ(api_.get_devices(&devices, SANE_TRUE), SANE_STATUS_GOOD);
  ASSERT_NE(devices[0], nullptr);
  EXPECT_EQ(devices[1], nullptr);
  EXPECT_STREQ(devices[0]->name, "sim:0x01100000");
  EXPECT_STREQ(devices[0]->vendor, "Tarvell");
  EXPECT_STREQ(devices[0]->model, "K310 (USB), simulated");
  EXPECT_STREQ(devices[0]->type, "multi-function peripheral");

  SANE_Handle h = nullptr;
  ASSERT_EQ(api_.open(devices[0]->name, &h), SANE_STATUS_GOOD);
  SANE_Word count = 0;
  ASSERT_EQ(api_.control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(count, 10);
  EXPECT_STREQ(api_.get_option_descriptor(h, 2)->name, "mode");
  EXPECT_EQ(api_.get_option_descriptor(h, count), nullptr);
  char mode[16] = "Sepia";
  EXPECT_EQ(api_.control_option(h, 2, SANE_ACTION_SET_VALUE, mode, nullptr), SANE_STATUS_INVAL);

  SANE_Parameters p{};
  ASSERT_EQ(api_.get_parameters(h, &p), SANE_STATUS_GOOD);
  EXPECT_EQ(p.format, SANE_FRAME_RGB);  // colour, 150 dpi, the whole bed by default
  EXPECT_EQ(p.pixels_per_line, 1275);
  EXPECT_EQ(p.lines, 1753);

  // The same device twice is busy; the frontend must close it first.
  SANE_Handle second = nullptr;
  EXPECT_EQ(api_.open(devices[0]->name, &second), SANE_STATUS_DEVICE_BUSY);
  api_.close(h);
  EXPECT_EQ(api_.open(devices[0]->name, &second), SANE_STATUS_GOOD);
  api_.close(second);

  // sane_init again starts afresh.
  ASSERT_EQ(api_.init(nullptr, nullptr), SANE_STATUS_GOOD);
  ASSERT_EQ(api_.get_devices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
  EXPECT_NE(devices[0], nullptr);
}

TEST_F(SaneBackend, AVanishingDeviceGivesIOErrorsAndNoCrash) {
  Configure("simulate gone-after-bytes=20000\n");
  ASSERT_EQ(api_.init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle h = OpenFirst();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(api_.start(h), SANE_STATUS_GOOD);  // the header came before it went
  SANE_Int n = 0;
  SANE_Byte bytes[4096];
  SANE_Status status;
  while ((status = api_.read(h, bytes, sizeof bytes, &n)) == SANE_STATUS_GOOD) {
  }
  EXPECT_EQ(status, SANE_STATUS_IO_ERROR);
  EXPECT_EQ(api_.start(h), SANE_STATUS_IO_ERROR);
  EXPECT_NE(api_.read(h, bytes, 1, &n), SANE_STATUS_GOOD);
  api_.cancel(h);
  api_.close(h);
  const SANE_Device** devices = nullptr;
  ASSERT_EQ(api_.get_devices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
  EXPECT_EQ(devices[0], nullptr);
}

TEST_F(SaneBackend, CancelFromAnotherThreadWhileTheHandleClosesTouchesNothingFreed) {
  Configure("simulate\n");
  ASSERT_EQ(api_.init(nullptr, nullptr), SANE_STATUS_GOOD);
  for (int round = 0; round < 10; ++round) {
    SANE_Handle h = OpenFirst();
    ASSERT_EQ(api_.start(h), SANE_STATUS_GOOD);
    std::atomic<bool> closed{false};
    std::thread canceller([&] {
      do api_.cancel(h);  // until after the close: a closed handle is not touched
      while (!closed.load());
    });
    api_.close(h);
    closed = true;
    canceller.join();
  }
}

TEST_F(SaneBackend, OnUsbWithoutTheScannerNothingIsListedOrOpened) {
  // Whatever this machine has on its USB bus, it is not a K310; a foreign identity is not used.
  Configure("usb 0x2b7e 0x0c5a\nusb 0x1234 0x5678\nusb 0x0f100000\n");
  ASSERT_EQ(api_.init(nullptr, nullptr), SANE_STATUS_GOOD);
  const SANE_Device** devices = nullptr;
  ASSERT_EQ(api_.get_devices(&devices, SANE_FALSE), SANE_STATUS_GOOD);
  EXPECT_EQ(devices[0], nullptr);
  SANE_Handle h = nullptr;
  EXPECT_EQ(api_.open("", &h), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.open("usb:0x0f100000", &h), SANE_STATUS_INVAL);
  EXPECT_EQ(api_.open("sim:0x01100000", &h), SANE_STATUS_INVAL);
  EXPECT_EQ(h, nullptr);
}

TEST(SaneGuard, EveryExceptionBecomesAStatus) {
  EXPECT_EQ(Guarded("t", [] { return SANE_STATUS_EOF; }), SANE_STATUS_EOF);
  EXPECT_EQ(Guarded("t", []() -> SANE_Status { throw std::bad_alloc(); }), SANE_STATUS_NO_MEM);
  EXPECT_EQ(Guarded("t", []() -> SANE_Status { throw std::runtime_error("x"); }), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(Guarded("t", []() -> SANE_Status { throw ::Exception("Element already added"); }), SANE_STATUS_IO_ERROR);
  EXPECT_EQ(Guarded("t", []() -> SANE_Status { throw 42; }), SANE_STATUS_IO_ERROR);
}

}  // namespace
}  // namespace tarvell::sane
