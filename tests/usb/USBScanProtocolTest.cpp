#include "usb/USBScanProtocol.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/system/Log.h"
#include "tests/support/Packets.h"

namespace {

using tarvell::testing::Bytes;
using tarvell::testing::Concat;
using tarvell::testing::Packet;

Bytes Header(UInt8 type, UInt32 length) {
  return {type, 0, 0, 0, UInt8(length >> 24), UInt8(length >> 16), UInt8(length >> 8), UInt8(length)};
}

// Records every callback as one event text, and checks that `info` comes back unchanged.
struct Recorder {
  std::vector<std::string> events;
  int badInfo = 0;

  static Recorder* From(void* info) { return static_cast<Recorder*>(info); }
  void note(void* info, std::string event) {
    if (info != this) ++badInfo;
    events.push_back(std::move(event));
  }
  static void Job(void* info) { From(info)->note(info, "job"); }
  static void Page(void* info) { From(info)->note(info, "page"); }
  static void EndPage(void* info) { From(info)->note(info, "endpage"); }
  static void EndJob(void* info) { From(info)->note(info, "endjob"); }
  static void Control(const UInt8* bytes, SInt32 length, void* info) {
    From(info)->note(info, "ctl:" + std::string(reinterpret_cast<const char*>(bytes), size_t(length)));
  }
  static void Image(const UInt8* bytes, SInt32 length, void* info) {
    From(info)->note(info, "img:" + std::string(reinterpret_cast<const char*>(bytes), size_t(length)));
  }

  ScanProtocolCallbacks callbacks() { return {this, Job, Page, Control, Image, EndPage, EndJob}; }
};

// A job's worth of packets: begin/end markers (one with a meaningless payload), replies and
// image data, an unknown packet and empty payloads.
Bytes SampleStream() {
  return Concat({Packet(0xAA, ""), Packet(0xCC, "<reply/>"), Packet(0xBB, "xy"), Packet(0xDD, "P6\n#\n1 1\n255\n"),
                 Packet(0xDD, ""), Packet(0x42, "zz"), Packet(0xDD, std::string(300, 'q')), Packet(0xEE, ""),
                 Packet(0xFF, ""), Packet(0xCC, "<done/>")});
}

std::vector<std::string> SampleEvents() {
  return {"job",     "ctl:<reply/>", "page",       "img:P6\n#\n1 1\n255\n", "img:", "img:" + std::string(300, 'q'),
          "endpage", "endjob",       "ctl:<done/>"};
}

std::vector<std::string> FeedInPieces(const Bytes& stream, const std::vector<size_t>& cuts) {
  Recorder rec;
  USBScanProtocol framer(rec.callbacks());
  size_t from = 0;
  for (size_t cut : cuts) {
    framer.receiveData(stream.data() + from, cut - from);
    from = cut;
  }
  framer.receiveData(stream.data() + from, stream.size() - from);
  EXPECT_EQ(rec.badInfo, 0);
  EXPECT_EQ(framer.pendingPacketBytes(), 0u);
  return rec.events;
}

TEST(USBScanProtocolBuild, ControlPacketHasHeaderAndPayload) {
  Bytes hello = USBScanProtocol::prepControlDataToSend("hello");
  EXPECT_EQ(hello, (Bytes{0xCC, 0, 0, 0, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(USBScanProtocol::prepControlDataToSend(""), (Bytes{0xCC, 0, 0, 0, 0, 0, 0, 0}));

  // The length is big-endian over all four bytes, and the bridge frames the same way.
  std::string big(0x010203, 'x');
  Bytes framed = prepControlDataToSend(nullptr, big.data(), big.size());
  ASSERT_EQ(framed.size(), 8 + big.size());
  EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 8), (Bytes{0xCC, 0, 0, 0, 0x00, 0x01, 0x02, 0x03}));
  EXPECT_EQ(std::string(framed.begin() + 8, framed.end()), big);
}

TEST(USBScanProtocolReceive, OneByteAtATimeDispatchesOnTheLastByte) {
  Recorder rec;
  USBScanProtocol framer(rec.callbacks());
  Bytes hello = USBScanProtocol::prepControlDataToSend("hello");
  for (size_t i = 0; i < hello.size(); ++i) {
    EXPECT_TRUE(rec.events.empty()) << "dispatched early, before byte " << i + 1;
    framer.receiveData(&hello[i], 1);
  }
  EXPECT_EQ(rec.events, std::vector<std::string>{"ctl:hello"});
  EXPECT_EQ(framer.pendingPacketBytes(), 0u);
}

TEST(USBScanProtocolReceive, PacketsInOneReadComeInOrderWithInfo) {
  Recorder rec;
  USBScanProtocol framer(rec.callbacks());
  Bytes both = Concat({Packet(0xAA, ""), Packet(0xDD, "abc")});
  framer.receiveData(both);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"job", "img:abc"}));
  EXPECT_EQ(rec.badInfo, 0);
  EXPECT_EQ(framer.pendingPacketBytes(), 0u);
}

TEST(USBScanProtocolReceive, EverySplitGivesTheSameEvents) {
  Bytes stream = SampleStream();
  const std::vector<std::string> expected = SampleEvents();
  EXPECT_EQ(FeedInPieces(stream, {}), expected);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_EQ(FeedInPieces(stream, {cut}), expected) << "split at " << cut;
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  EXPECT_EQ(FeedInPieces(stream, everyByte), expected);

  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
      at += 1 + rng() % 40;
      if (at >= stream.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(FeedInPieces(stream, cuts), expected) << "round " << round;
  }
}

TEST(USBScanProtocolReceive, IncompleteHeaderOrPayloadWaits) {
  Recorder rec;
  USBScanProtocol framer(rec.callbacks());
  Bytes end = Packet(0xFF, "");
  framer.receiveData(end.data(), 7);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(framer.pendingPacketBytes(), 7u);
  framer.receiveData(end.data() + 7, 1);
  EXPECT_EQ(rec.events, std::vector<std::string>{"endjob"});

  // A lone header of a known type with length 0 is dispatched at once.
  rec.events.clear();
  framer.receiveData(Packet(0xBB, ""));
  EXPECT_EQ(rec.events, std::vector<std::string>{"page"});

  // A begin/end packet with payload bytes is signalled only once they have all arrived.
  rec.events.clear();
  Bytes marked = Packet(0xEE, "12345");
  framer.receiveData(marked.data(), 10);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(framer.pendingPacketBytes(), 10u);
  framer.receiveData(marked.data() + 10, marked.size() - 10);
  EXPECT_EQ(rec.events, std::vector<std::string>{"endpage"});
}

TEST(USBScanProtocolReceive, HugeLengthNeitherWrapsNorReadsPastTheData) {
  Recorder rec;
  USBScanProtocol framer(rec.callbacks());
  // Under AddressSanitizer any read past these bytes would be reported.
  Bytes forged = Concat({Header(0xDD, 0xFFFFFFF9u), Bytes{1, 2, 3}});
  auto* exact = new UInt8[forged.size()];
  std::copy(forged.begin(), forged.end(), exact);
  framer.receiveData(exact, forged.size());
  delete[] exact;
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(framer.pendingPacketBytes(), 11u);

  // A control packet of 2^31 bytes or more cannot be handed out with a signed length: it is
  // logged and counted off without being kept.
  tarvell::LogCapture log;
  USBScanProtocol second(rec.callbacks());
  second.receiveData(Header(0xCC, 0x80000000u));
  EXPECT_TRUE(log.contains(" > ERROR: packetType: cc, length 2147483648 too large, packet skipped"));
  Bytes filler(1 << 16, 0xCC);
  second.receiveData(filler);
  EXPECT_EQ(second.pendingPacketBytes(), 8u + filler.size());
  EXPECT_TRUE(rec.events.empty());
}

TEST(USBScanProtocolReceive, UnknownTypeIsLoggedAndSkippedByLength) {
  for (bool split : {false, true}) {
    Recorder rec;
    USBScanProtocol framer(rec.callbacks());
    tarvell::LogCapture log;
    Bytes stream = Concat({Packet(0x42, "\xCC\xDD", 0x07), Packet(0xCC, "ok")});
    if (split) {
      framer.receiveData(stream.data(), 9);
      framer.receiveData(stream.data() + 9, stream.size() - 9);
    } else {
      framer.receiveData(stream);
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Uh oh.  Got a packet of an unknown type.",
                                                     "packetType: 42,\tversion: 7,\tlength: 2"}))
        << "split " << split;
    EXPECT_EQ(rec.events, std::vector<std::string>{"ctl:ok"});
  }
}

TEST(USBScanProtocolReceive, NullCallbacksConsumeTheirPackets) {
  ScanProtocolCallbacks none = {};
  Recorder rec;
  none.info = &rec;
  none.imageData = Recorder::Image;  // only image data is wanted
  USBScanProtocol framer(none);
  Bytes stream = SampleStream();
  framer.receiveData(stream.data(), 20);
  framer.receiveData(stream.data() + 20, stream.size() - 20);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"img:P6\n#\n1 1\n255\n", "img:", "img:" + std::string(300, 'q')}));
  EXPECT_EQ(framer.pendingPacketBytes(), 0u);
}

TEST(USBScanProtocolBridge, HandleFeedsAndReleases) {
  EXPECT_EQ(initUSBScanProtocol(nullptr), nullptr);
  Recorder rec;
  ScanProtocolCallbacks callbacks = rec.callbacks();
  USBScanProtocolHandle framer(initUSBScanProtocol(&callbacks));
  ASSERT_NE(framer, nullptr);
  callbacks.controlData = nullptr;  // the framer holds its own copy
  Bytes reply = prepControlDataToSend(framer.get(), "<a/>", 4);
  receiveData(framer.get(), reply.data(), 5);
  receiveData(framer.get(), reply.data() + 5, reply.size() - 5);
  receiveData(nullptr, reply.data(), reply.size());
  EXPECT_EQ(rec.events, std::vector<std::string>{"ctl:<a/>"});
  releaseUSBScanProtocol(nullptr);
}

class DumpDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/framer-dump-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    for (const std::string& name : Entries()) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

TEST_F(DumpDataTest, ReplacesTheTargetWithoutFollowingALink) {
  std::string target = dir_ + "/dump";
  std::string victim = dir_ + "/victim";
  { std::ofstream(victim) << "keep"; }
  ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);

  Bytes data = {'P', '6', 0, 0xFF, '\n'};
  ASSERT_TRUE(tarvell::DumpDataToPath(data, target));
  EXPECT_EQ(Read(target), std::string("P6\0\xFF\n", 5));
  EXPECT_EQ(Read(victim), "keep");
  struct stat st;
  ASSERT_EQ(lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0077, 0u) << "the dump is private to its owner";
  EXPECT_EQ(Entries().size(), 2u) << "no temporary file is left behind";
}

TEST_F(DumpDataTest, FailureLeavesNothingBehind) {
  EXPECT_FALSE(tarvell::DumpDataToPath({1, 2, 3}, dir_ + "/missing/dump"));
  // Renaming onto a directory fails after the temporary file was written.
  ASSERT_EQ(mkdir((dir_ + "/busy").c_str(), 0700), 0);
  EXPECT_FALSE(tarvell::DumpDataToPath({1, 2, 3}, dir_ + "/busy"));
  EXPECT_EQ(Entries(), std::vector<std::string>{"busy"});
  rmdir((dir_ + "/busy").c_str());
}

}  // namespace
