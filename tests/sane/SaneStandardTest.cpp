// The rules of the SANE standard that frontends rely on, checked through Debian's libsane (its
// dll backend loads the built one) against the simulated scanner, one test per rule.
#include <gtest/gtest.h>
#include <sane/sane.h>
#include <sane/saneopts.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Program.h"

namespace {

using tarvell::testing::TempDir;

class SaneStandard : public ::testing::Test {
 protected:
  // libsane reads SANE_CONFIG_DIR once a process: one folder for all the tests.
  static void SetUpTestSuite() {
    static TempDir dir("tarvell-sane-standard");
    dir.Write("dll.conf", "tarvell\n");
    dir.Write("tarvell.conf", "simulate pace=20M silence=20\n");  // in real time, as on the device
    setenv("SANE_CONFIG_DIR", dir.path().c_str(), 1);
    setenv("LD_LIBRARY_PATH", TARVELL_SANE_BACKEND_DIR, 1);
  }
  void SetUp() override {
    ASSERT_EQ(sane_init(nullptr, nullptr), SANE_STATUS_GOOD);
    ASSERT_EQ(sane_open("", &h_), SANE_STATUS_GOOD);  // "" is the first device
  }
  void TearDown() override {
    if (h_) sane_close(h_);
    sane_exit();
  }
  SANE_Int Opt(const char* name) {
    for (SANE_Int i = 1; const SANE_Option_Descriptor* d = sane_get_option_descriptor(h_, i); ++i)
      if (d->name && std::strcmp(d->name, name) == 0) return i;
    ADD_FAILURE() << "no option " << name;
    return -1;
  }
  // Sets a word option; *value gets what the backend wrote back.
  SANE_Status Set(const char* name, SANE_Word* value, SANE_Int* info = nullptr) {
    return sane_control_option(h_, Opt(name), SANE_ACTION_SET_VALUE, value, info);
  }
  void SetAll(std::vector<std::pair<const char*, SANE_Word>> values) {
    for (auto& [name, value] : values) ASSERT_EQ(Set(name, &value), SANE_STATUS_GOOD) << name;
  }
  SANE_Status SetMode(const char* mode, SANE_Int* info = nullptr) {
    char value[16];
    std::snprintf(value, sizeof value, "%s", mode);
    const SANE_Status status = sane_control_option(h_, Opt("mode"), SANE_ACTION_SET_VALUE, value, info);
    mode_ = value;
    return status;
  }
  SANE_Parameters Params() {
    SANE_Parameters p{};
    EXPECT_EQ(sane_get_parameters(h_, &p), SANE_STATUS_GOOD);
    return p;
  }
  // Starts a scan and reads it to its end in pieces of `piece` bytes.
  std::string Scan(SANE_Int piece) {
    EXPECT_EQ(sane_start(h_), SANE_STATUS_GOOD);
    std::string bytes;
    std::vector<SANE_Byte> buffer{std::vector<SANE_Byte>(size_t(piece))};
    SANE_Int n = 0;
    SANE_Status status;
    while ((status = sane_read(h_, buffer.data(), piece, &n)) == SANE_STATUS_GOOD)
      bytes.append(buffer.begin(), buffer.begin() + n);
    EXPECT_EQ(status, SANE_STATUS_EOF);
    return bytes;
  }
  // The same with non-blocking reads, waiting on the select descriptor as GUI frontends do.
  std::string ScanWithoutBlocking(SANE_Int piece) {
    EXPECT_EQ(sane_start(h_), SANE_STATUS_GOOD);
    SANE_Int fd = -1;
    EXPECT_EQ(sane_set_io_mode(h_, SANE_TRUE), SANE_STATUS_GOOD);
    EXPECT_EQ(sane_get_select_fd(h_, &fd), SANE_STATUS_GOOD);
    std::string bytes;
    std::vector<SANE_Byte> buffer{std::vector<SANE_Byte>(size_t(piece))};
    SANE_Int n = 0;
    SANE_Status status;
    for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, -1) >= 0;) {
      while ((status = sane_read(h_, buffer.data(), piece, &n)) == SANE_STATUS_GOOD && n > 0)
        bytes.append(buffer.begin(), buffer.begin() + n);
      if (status != SANE_STATUS_GOOD) break;
    }
    EXPECT_EQ(status, SANE_STATUS_EOF);
    return bytes;
  }
  SANE_Handle h_ = nullptr;
  std::string mode_;  // as written back
};

TEST_F(SaneStandard, NumbersOutsideTheirConstraintAreSetToTheNearestAndWrittenBack) {
  const SANE_Fixed maxX = sane_get_option_descriptor(h_, Opt("br-x"))->constraint.range->max;
  const SANE_Fixed maxY = sane_get_option_descriptor(h_, Opt("br-y"))->constraint.range->max;
  struct Case {
    const char* name;
    SANE_Word asked, kept;
    bool inexact;
  } cases[] = {{"tl-x", SANE_FIX(-3), 0, true},
               {"tl-y", SANE_FIX(-0.01), 0, true},
               {"br-x", SANE_FIX(432), maxX, true},
               {"br-y", SANE_FIX(356), maxY, true},  // Legal, A3
               {"tl-x", SANE_FIX(12.5), SANE_FIX(12.5), false},
               {"br-y", maxY, maxY, false},
               {"resolution", 1200, 300, true},  // colour's highest
               {"resolution", 10, 75, true},
               {"resolution", 300, 300, false}};
  for (Case c : cases) {
    SANE_Word value = c.asked, got = -1;
    SANE_Int info = -1;
    EXPECT_EQ(Set(c.name, &value, &info), SANE_STATUS_GOOD) << c.name;
    sane_control_option(h_, Opt(c.name), SANE_ACTION_GET_VALUE, &got, nullptr);
    EXPECT_TRUE(value == c.kept && got == c.kept) << c.name << " " << c.asked;
    EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | (c.inexact ? SANE_INFO_INEXACT : 0)) << c.name;
  }
  SANE_Int info = 0;
  EXPECT_EQ(SetMode("gr", &info), SANE_STATUS_GOOD);  // a unique prefix in any case
  EXPECT_EQ(mode_, "Gray");
  // Grey lists more resolutions than colour: the frontend reloads the options.
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS | SANE_INFO_INEXACT);
}

TEST_F(SaneStandard, CrossedCornersAreAcceptedAndOrderedForTheScan) {
  SetAll({{"resolution", 75},
          {"tl-x", SANE_FIX(20)},
          {"br-x", SANE_FIX(60)},
          {"tl-y", SANE_FIX(10)},
          {"br-y", SANE_FIX(30)}});
  const SANE_Parameters ordered = Params();
  SANE_Word value = SANE_FIX(90);
  SANE_Int info = 0;
  ASSERT_EQ(Set("tl-x", &value, &info), SANE_STATUS_GOOD);  // right of br-x for a while
  EXPECT_EQ(info, SANE_INFO_RELOAD_PARAMS);
  SetAll({{"br-x", SANE_FIX(20)}, {"tl-x", SANE_FIX(60)}, {"tl-y", SANE_FIX(30)}, {"br-y", SANE_FIX(10)}});
  EXPECT_TRUE(Params().lines == ordered.lines && Params().bytes_per_line == ordered.bytes_per_line);
  EXPECT_EQ(Scan(4096).size(), size_t(ordered.bytes_per_line) * size_t(ordered.lines));
}

TEST_F(SaneStandard, InadmissibleValuesGroupsActionsAndNamesAreRefusedAndValuesKeepTheirSize) {
  SANE_Handle other = nullptr;
  EXPECT_EQ(sane_open("tarvell:sim:0x09900000", &other), SANE_STATUS_INVAL);
  SANE_Word word = 2;
  EXPECT_EQ(Set("preview", &word), SANE_STATUS_INVAL);  // neither SANE_TRUE nor SANE_FALSE
  EXPECT_EQ(SetMode("Sepia"), SANE_STATUS_INVAL);
  EXPECT_EQ(sane_control_option(h_, Opt("tl-x"), SANE_ACTION_SET_AUTO, &word, nullptr), SANE_STATUS_INVAL);
  for (SANE_Int i = 1; const SANE_Option_Descriptor* d = sane_get_option_descriptor(h_, i); ++i) {
    // Exactly the option's size, so the sanitizers see any write past it.
    std::unique_ptr<char[]> value(new char[size_t(std::max<SANE_Int>(d->size, 1))]);
    const SANE_Status expected =
        d->type == SANE_TYPE_GROUP || (d->cap & SANE_CAP_INACTIVE) ? SANE_STATUS_INVAL : SANE_STATUS_GOOD;
    EXPECT_EQ(sane_control_option(h_, i, SANE_ACTION_GET_VALUE, value.get(), nullptr), expected) << i;
    if (d->type == SANE_TYPE_GROUP) {
      EXPECT_EQ(sane_control_option(h_, i, SANE_ACTION_SET_VALUE, value.get(), nullptr), SANE_STATUS_INVAL) << i;
    }
  }
}

TEST_F(SaneStandard, PreviewScansAtTheLowestResolutionInTheChosenModeAndArea) {
  SetAll({{"resolution", 75}, {"br-x", SANE_FIX(50)}, {"br-y", SANE_FIX(40)}});
  ASSERT_EQ(SetMode("Gray"), SANE_STATUS_GOOD);
  const SANE_Parameters quick = Params();
  SetAll({{"resolution", 300}, {"preview", SANE_TRUE}});
  const SANE_Parameters preview = Params();
  EXPECT_TRUE(preview.format == SANE_FRAME_GRAY && preview.lines == quick.lines &&
              preview.bytes_per_line == quick.bytes_per_line);
  EXPECT_EQ(Scan(65536).size(), size_t(quick.bytes_per_line) * size_t(quick.lines));
  SetAll({{"preview", SANE_FALSE}});
  EXPECT_EQ(Params().lines, quick.lines * 4);
}

TEST_F(SaneStandard, ReadsFollowTheScanInPiecesOfAnySize) {
  SANE_Byte byte;
  SANE_Int n = 0, fd = -1;
  EXPECT_EQ(sane_read(h_, &byte, 1, &n), SANE_STATUS_INVAL);  // before sane_start
  EXPECT_EQ(sane_set_io_mode(h_, SANE_FALSE), SANE_STATUS_INVAL);
  EXPECT_EQ(sane_get_select_fd(h_, &fd), SANE_STATUS_INVAL);
  SetAll({{"resolution", 75}, {"br-x", SANE_FIX(6)}, {"br-y", SANE_FIX(5)}});
  const SANE_Parameters before = Params();
  const std::string reference = Scan(1);  // three scans in a row from here on
  EXPECT_EQ(reference.size(), size_t(before.bytes_per_line) * size_t(before.lines));
  for (SANE_Int piece : {2, 3, 7, before.bytes_per_line - 1, before.bytes_per_line, before.bytes_per_line + 1, 1 << 20})
    EXPECT_EQ(Scan(piece), reference) << piece;
  for (int again = 0; again < 3; ++again) EXPECT_EQ(sane_read(h_, &byte, 1, &n), SANE_STATUS_EOF);
  EXPECT_EQ(Params().lines, before.lines);  // after the scan

  ASSERT_EQ(sane_start(h_), SANE_STATUS_GOOD);
  EXPECT_EQ(Params().bytes_per_line, before.bytes_per_line);  // during it
  // Values are frozen while the scan runs; reading them is fine.
  SANE_Word value = SANE_FIX(1), asked = value;
  EXPECT_EQ(Set("br-x", &value), SANE_STATUS_DEVICE_BUSY);
  EXPECT_EQ(sane_control_option(h_, Opt("br-x"), SANE_ACTION_GET_VALUE, &value, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(value, SANE_FIX(6));
  EXPECT_EQ(sane_set_io_mode(h_, SANE_FALSE), SANE_STATUS_GOOD);
  EXPECT_EQ(sane_read(h_, &byte, 1, &n), SANE_STATUS_GOOD);
  sane_cancel(h_);
  EXPECT_EQ(Set("br-x", &asked), SANE_STATUS_GOOD);  // and free again once it is over
  SetAll({{"br-x", SANE_FIX(6)}});
  EXPECT_EQ(sane_read(h_, &byte, 1, &n), SANE_STATUS_CANCELLED);
  EXPECT_EQ(Scan(100), reference);
  EXPECT_EQ(ScanWithoutBlocking(7), reference);
}

}  // namespace
