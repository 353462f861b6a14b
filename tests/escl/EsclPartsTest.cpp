// The server's parts that need no scanner: its settings, who may use it and by which names, its
// routes, the ScanSettings reader, the announcement's TXT record and the tray of kept pages.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "escl/Documents.h"
#include "escl/HttpAccess.h"
#include "escl/HttpRoutes.h"
#include "escl/PageTray.h"
#include "escl/ScanService.h"
#include "escl/ScanSettingsReader.h"
#include "escl/ServerConfig.h"

namespace tarvell::escl {
namespace {

using tarvell::imaging::ImageFormat;

sockaddr_storage Peer(const char* text) {
  sockaddr_storage peer{};
  if (std::string(text).find(':') != std::string::npos) {
    peer.ss_family = AF_INET6;
    inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr);
  } else {
    peer.ss_family = AF_INET;
    inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr);
  }
  return peer;
}

TEST(EsclConfig, ListenAndAllowAcceptBothFamiliesAndRefuseTheRest) {
  ListenAddress listen;
  std::string why;
  ASSERT_TRUE(ParseListen("[::1]:8091", &listen, &why)) << why;
  EXPECT_EQ(listen.address.ss_family, AF_INET6);
  EXPECT_EQ(listen.port, 8091);
  ASSERT_TRUE(ParseListen("127.0.0.2:0", &listen, &why)) << why;
  EXPECT_EQ(listen.address.ss_family, AF_INET);
  ASSERT_TRUE(ParseListen("*:8090", &listen, &why));
  EXPECT_TRUE(listen.any);
  for (const char* bad : {"127.0.0.1", "127.0.0.1:65536", "host.example:80", "[::1]:x", "::1:80:"})
    EXPECT_FALSE(ParseListen(bad, &listen, &why)) << bad;

  std::vector<AllowRule> rules;
  ASSERT_TRUE(ParseAllow("192.168.1.0/24", &rules, &why));
  ASSERT_TRUE(ParseAllow("fd00::/8", &rules, &why));
  ASSERT_TRUE(ParseAllow("::ffff:10.9.0.0/112", &rules, &why));  // an IPv4 rule, as IPv6 writes it
  std::vector<AllowRule> bad;
  for (const char* text : {"192.168.1.0/33", "fd00::/129", "nowhere", "10.0.0.1/", "10.0.0.1/x", "any/8"})
    EXPECT_FALSE(ParseAllow(text, &bad, &why)) << text;
  // inet_aton's old forms name addresses people do not mean: 10.1 is 10.0.0.1, 010 is octal.
  for (const char* text : {"10.1", "010.0.0.1", "167772161", "0x7f.1", "127.1/8", "10.0.0"}) {
    EXPECT_FALSE(ParseAllow(text, &bad, &why)) << text;
    EXPECT_NE(why.find("written in full"), std::string::npos) << why;
  }
  EXPECT_TRUE(bad.empty());
  const struct {
    const char* peer;
    bool allowed;
  } cases[] = {{"192.168.1.77", true}, {"192.168.2.1", false},    {"::ffff:192.168.1.5", true},
               {"fdab::1", true},      {"fe80::1", false},        {"10.0.0.1", false},
               {"10.9.3.4", true},     {"::ffff:10.9.3.4", true}, {"10.8.3.4", false}};
  for (const auto& c : cases) {
    const sockaddr_storage peer = Peer(c.peer);
    EXPECT_EQ(Allowed(rules, reinterpret_cast<const sockaddr*>(&peer)), c.allowed) << c.peer;
  }
}

// Without allow rules: this machine, the private IPv4 ranges and IPv6's link-local and
// unique-local addresses, nothing else; `allow any` is everyone.
TEST(EsclConfig, TheDefaultAccessListIsThisMachineAndThePrivateRanges) {
  std::vector<AllowRule> any;
  std::string why;
  ASSERT_TRUE(ParseAllow("any", &any, &why));
  const struct {
    const char* peer;
    bool byDefault;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.45.6.7", true},
      {"::1", true},
      {"10.0.0.1", true},
      {"10.255.255.255", true},
      {"172.16.0.1", true},
      {"172.31.255.254", true},
      {"172.32.0.1", false},
      {"172.15.255.255", false},
      {"192.168.0.1", true},
      {"192.169.0.1", false},
      {"11.0.0.1", false},
      {"8.8.8.8", false},
      {"100.64.0.1", false},
      {"169.254.1.1", false},
      {"fe80::1", true},
      {"febf::1", true},
      {"fec0::1", false},
      {"fc00::1", true},
      {"fd12:3456::1", true},
      {"fe00::1", false},
      {"2001:db8::1", false},
      {"::", false},
      {"::ffff:10.1.2.3", true},
      {"::ffff:127.0.0.1", true},
      {"::ffff:8.8.8.8", false},
      {"64:ff9b::a01:203", false},
  };
  for (const auto& c : cases) {
    const sockaddr_storage peer = Peer(c.peer);
    const auto* address = reinterpret_cast<const sockaddr*>(&peer);
    EXPECT_EQ(Allowed({}, address), c.byDefault) << c.peer;
    EXPECT_TRUE(Allowed(any, address)) << c.peer;
  }
  EXPECT_FALSE(Allowed({}, nullptr));
}

TEST(EsclConfig, ServerNamesAndLimitsAreReadAndAnUnreadableAllowLineStopsTheStart) {
  ServerConfig config;
  std::istringstream file(
      "server-name Scan.Example.\nserver-name bad_name!\nlimits per-client=3,stalled-seconds=20\n"
      "limits per-client=0\nallow 192.168.1.0/24\nallow 192.168.01.0/24\nallow any\n");
  ParseConfigFile(file, "f.conf", &config);
  EXPECT_EQ(config.serverNames, std::vector<std::string>{"scan.example"});
  EXPECT_EQ(config.limits.perClient, 3u);
  EXPECT_EQ(config.limits.stalled, std::chrono::seconds(20));
  EXPECT_EQ(config.limits.request, std::chrono::seconds(10));
  EXPECT_EQ(config.warnings.size(), 2u);
  ASSERT_EQ(config.errors.size(), 1u);
  EXPECT_EQ(config.errors[0].rfind("f.conf:6: ", 0), 0u) << config.errors[0];
  EXPECT_EQ(config.allow.size(), 3u);  // the /24 and `any`'s two

  const char* argv[] = {"tarvell-escl", "--server-name",
                        "a.example",    "--server-name=B.example",
                        "--limits",     "connections=50,request-seconds=4"};
  std::string error;
  ASSERT_EQ(ParseCommandLine(6, const_cast<char**>(argv), &config, &error), Invocation::kRun) << error;
  EXPECT_EQ(config.serverNames, (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_EQ(config.limits.connections, 50u);
  EXPECT_EQ(config.limits.request, std::chrono::seconds(4));
  for (const char* bad : {"--allow=10.1", "--server-name=a..b", "--limits=stalled=3", "--limits=per-client=x"}) {
    const char* args[] = {"tarvell-escl", bad};
    EXPECT_EQ(ParseCommandLine(2, const_cast<char**>(args), &config, &error), Invocation::kUsageError) << bad;
  }
}

TEST(EsclConfig, TheCommandLineReplacesTheFilesSettingsAndBadLinesAreSkipped) {
  ServerConfig config;
  std::istringstream file(
      "# settings\nlisten 127.0.0.1:9000\nallow 10.0.0.0/8\ndevice 0x01400000\nno-announce\n"
      "simulate seed=3 packet-size=512\nlisten nowhere\nsimulate gone-after-bytes=x\nfly away\n");
  ParseConfigFile(file, "f.conf", &config);
  ASSERT_EQ(config.warnings.size(), 3u);
  EXPECT_EQ(config.warnings[0].rfind("f.conf:7: ", 0), 0u) << config.warnings[0];
  EXPECT_TRUE(config.simulate);
  EXPECT_EQ(config.simulated.imagePacketSize, 512u);
  EXPECT_FALSE(config.announce);
  EXPECT_EQ(config.device.value_or(0), 0x01400000u);

  const char* argv[] = {"tarvell-escl", "--listen",         "[::1]:0",  "--listen=127.0.0.2:0", "--simulate",
                        "--sim-fault",  "short-image-by=9", "--listen", "127.0.0.2:0"};
  std::string error;
  ASSERT_EQ(ParseCommandLine(9, const_cast<char**>(argv), &config, &error), Invocation::kRun) << error;
  ASSERT_EQ(config.listen.size(), 2u);  // the same address given twice is one
  EXPECT_EQ(config.listen[1].text, "127.0.0.2:0");
  EXPECT_EQ(config.allow.size(), 1u);
  EXPECT_TRUE(config.simulate);
  EXPECT_EQ(config.simulated.misbehave.shortImageBy, 9u);
  const struct {
    const char* word;
    std::string error;
  } wrong[] = {
      {"--listen", "option '--listen' needs a value"},
      {"--frobnicate", "unknown option '--frobnicate'"},
      {"--no-announce=yes", "option '--no-announce' takes no value"},
      {"--device=0", "bad --device '0': give a USB location such as 0x01400000"},
      {"--listen=127.0.0.1:99999",
       "bad --listen '127.0.0.1:99999': port 99999 is out of range: give a port from 1 to 65535"},
      {"--sim-fault=bogus=1",
       "bad --sim-fault 'bogus=1': unknown item 'bogus'; the items are " + tarvell::sim::SimulatedScannerItemList()},
  };
  for (const auto& c : wrong) {
    const char* args[] = {"tarvell-escl", c.word};
    EXPECT_EQ(ParseCommandLine(2, const_cast<char**>(args), &config, &error), Invocation::kUsageError) << c.word;
    EXPECT_EQ(error, c.error);
  }
}

// A web page elsewhere reaches the server only through a name of its own (DNS rebinding): the
// Host must be one of the server's names or addresses, an Origin the server's own.
TEST(EsclHttpAccess, OnlyTheServersOwnNamesAndOrigin) {
  ServerNames names({"scan.example"}, "ScanHost.lan");
  names.Add("scanhost-2.local.");
  const sockaddr_storage local = Peer("192.0.2.7");
  using Verdict = ServerNames::Verdict;
  const struct {
    const char* host;
    Verdict verdict;
  } cases[] = {
      {"scanhost", Verdict::kOwn},
      {"SCANHOST.local", Verdict::kOwn},
      {"scanhost.local.:8090", Verdict::kOwn},
      {"scanhost.lan", Verdict::kOwn},
      {"scanhost-2.local", Verdict::kOwn},
      {"localhost:8090", Verdict::kOwn},
      {"scan.example", Verdict::kOwn},
      {"127.0.0.1:8090", Verdict::kOwn},
      {"127.0.0.5", Verdict::kOwn},
      {"[::1]:8090", Verdict::kOwn},
      {"192.0.2.7:8090", Verdict::kOwn},  // the address the client reached
      {"[::ffff:192.0.2.7]", Verdict::kOwn},
      {"192.0.2.8", Verdict::kForeign},
      {"evil.example", Verdict::kForeign},
      {"scanhost.evil.example:8090", Verdict::kForeign},
      {"scan.example.evil", Verdict::kForeign},
      {"127.1", Verdict::kForeign},
      {"", Verdict::kMalformed},
      {"a b", Verdict::kMalformed},
      {"scanhost:", Verdict::kMalformed},
      {"scanhost:99999", Verdict::kMalformed},
      {"scanhost:80:80", Verdict::kMalformed},
      {"[::1", Verdict::kMalformed},
      {"[::1]x", Verdict::kMalformed},
      {"[fe80::1%25eth0]:8090", Verdict::kForeign},
      {"[fe80::1%25<eth0>]", Verdict::kMalformed},
      {"[scanhost]", Verdict::kMalformed},
      {"::1", Verdict::kMalformed},
      {"scan\nhost", Verdict::kMalformed},
  };
  for (const auto& c : cases)
    EXPECT_EQ(names.Check(c.host, reinterpret_cast<const sockaddr*>(&local)), c.verdict) << c.host;
  EXPECT_EQ(names.Check(nullptr, nullptr), Verdict::kMissing);

  const struct {
    const char* origin;
    const char* host;
    bool same;
  } origins[] = {
      {"http://127.0.0.1:8090", "127.0.0.1:8090", true},
      {"HTTP://ScanHost.local:8090", "scanhost.local:8090", true},
      {"http://127.0.0.1", "127.0.0.1:80", true},
      {"http://[::1]:8090", "[::1]:8090", true},
      {"http://127.0.0.1:8091", "127.0.0.1:8090", false},
      {"https://127.0.0.1:8090", "127.0.0.1:8090", false},
      {"http://evil.example", "127.0.0.1", false},
      {"http://evil.example:8090", "evil.example:8090", true},  // the Host check refuses this one
      {"null", "127.0.0.1", false},
      {"http://127.0.0.1:8090/", "127.0.0.1:8090", false},
      {"http://", "127.0.0.1", false},
      {"", "127.0.0.1", false},
  };
  for (const auto& c : origins) EXPECT_EQ(SameOrigin(c.origin, c.host), c.same) << c.origin << " for " << c.host;

  // Connections are counted per IPv4 address, and per /64 for IPv6.
  const sockaddr_storage a = Peer("2001:db8:1:2::1"), b = Peer("2001:db8:1:2::ffff"), c = Peer("2001:db8:1:3::1"),
                         d = Peer("::ffff:10.0.0.1"), e = Peer("10.0.0.1");
  const auto key = [](const sockaddr_storage& peer) { return ClientKey(reinterpret_cast<const sockaddr*>(&peer)); };
  EXPECT_EQ(key(a), key(b));
  EXPECT_NE(key(a), key(c));
  EXPECT_EQ(key(d), key(e));
  EXPECT_EQ(AddressText(reinterpret_cast<const sockaddr*>(&d)), "10.0.0.1");
}

TEST(EsclHttpRoutes, PathsMatchSegmentBySegment) {
  struct Route {
    const char* method;
    const char* pattern;
  };
  const Route table[] = {{"GET", "/eSCL/ScannerStatus"},
                         {"POST", "/eSCL/ScanJobs"},
                         {"GET", "/eSCL/ScanJobs/{}/NextDocument"},
                         {"DELETE", "/eSCL/ScanJobs/{}"},
                         {"GET", "/eSCL/ScanJobs/{}/ScanImageInfo"}};
  const struct {
    const char* method;
    const char* path;
    RouteFound::Result result;
    size_t index;
    const char* param;
    const char* allow;
  } cases[] = {
      {"GET", "/eSCL/ScannerStatus", RouteFound::kFound, 0, "", ""},
      {"POST", "/eSCL/ScannerStatus", RouteFound::kOtherMethod, 0, "", "GET"},
      {"GET", "/eSCL/ScanJobs/abc/NextDocument", RouteFound::kFound, 2, "abc", ""},
      {"DELETE", "/eSCL/ScanJobs/abc", RouteFound::kFound, 3, "abc", ""},
      {"GET", "/eSCL/ScanJobs/abc", RouteFound::kOtherMethod, 0, "", "DELETE"},
      {"GET", "/eSCL/ScanJobs", RouteFound::kOtherMethod, 0, "", "POST"},
      {"GET", "/eSCL/ScanJobs//NextDocument", RouteFound::kNone, 0, "", ""},
      {"GET", "/eSCL/ScanJobs/a/b/NextDocument", RouteFound::kNone, 0, "", ""},
      {"GET", "/eSCL/ScannerStatus/", RouteFound::kNone, 0, "", ""},
      {"GET", "/eSCL/ScannerStatusX", RouteFound::kNone, 0, "", ""},
      {"GET", "eSCL/ScannerStatus", RouteFound::kNone, 0, "", ""},
      {"GET", "", RouteFound::kNone, 0, "", ""},
      {"get", "/eSCL/ScannerStatus", RouteFound::kOtherMethod, 0, "", "GET"},
  };
  for (const auto& c : cases) {
    const RouteFound found = FindRoute(table, c.method, c.path);
    EXPECT_EQ(found.result, c.result) << c.method << " " << c.path;
    if (found.result == RouteFound::kFound) {
      EXPECT_EQ(found.index, c.index) << c.path;
      EXPECT_EQ(found.param, c.param) << c.path;
    }
    EXPECT_EQ(found.allow, c.allow) << c.method << " " << c.path;
  }
}

TEST(EsclScanSettings, ReadsEachClientsLayoutAndRefusesWhatIsNotADocument) {
  // One client's: prefixed, one line, both format elements.
  const std::string lineForm =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><scan:ScanSettings "
      "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\" "
      "xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\"><pwg:Version>2.0</pwg:Version><pwg:ScanRegions>"
      "<pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits><pwg:XOffset>10"
      "</pwg:XOffset><pwg:YOffset>20</pwg:YOffset><pwg:Width>591</pwg:Width><pwg:Height>300</pwg:Height>"
      "</pwg:ScanRegion></pwg:ScanRegions><pwg:InputSource>Platen</pwg:InputSource><scan:ColorMode>Grayscale8"
      "</scan:ColorMode><pwg:DocumentFormat>image/png</pwg:DocumentFormat><scan:DocumentFormatExt>image/png"
      "</scan:DocumentFormatExt><scan:XResolution>150</scan:XResolution><scan:YResolution>150</scan:YResolution>"
      "</scan:ScanSettings>";
  // Another's: indented, other order, only DocumentFormatExt, other prefixes.
  const std::string indented =
      "<s:ScanSettings xmlns:s=\"http://schemas.hp.com/imaging/escl/2011/05/03\" xmlns:p=\"http://www.pwg.org/"
      "schemas/2010/12/sm\">\n  <p:ScanRegions>\n    <p:ScanRegion>\n      <p:Height> 300 </p:Height>\n      "
      "<p:Width>591</p:Width>\n      <p:XOffset>10</p:XOffset>\n      <p:YOffset>20</p:YOffset>\n    </p:ScanRegion>\n"
      "  </p:ScanRegions>\n  <s:DocumentFormatExt>image/png</s:DocumentFormatExt>\n  <s:ColorMode>Grayscale8"
      "</s:ColorMode>\n  <s:XResolution>150</s:XResolution>\n  <s:YResolution>150</s:YResolution>\n  <p:InputSource>"
      "Platen</p:InputSource>\n</s:ScanSettings>\n";
  for (const std::string& text : {lineForm, indented}) {
    ScanRequest request;
    std::string why;
    ASSERT_TRUE(ReadScanSettings(text.data(), text.size(), &request, &why)) << why;
    EXPECT_TRUE(request.hasRegion);
    EXPECT_EQ(request.xOffset, 10u);
    EXPECT_EQ(request.yOffset, 20u);
    EXPECT_EQ(request.width, 591u);
    EXPECT_EQ(request.height, 300u);
    EXPECT_EQ(request.colorMode, "Grayscale8");
    EXPECT_EQ(request.format, "image/png");
    EXPECT_EQ(request.xResolution, 150u);
    EXPECT_EQ(request.inputSource, "Platen");
  }
  ScanRequest minimal;
  std::string why;
  ASSERT_TRUE(ReadScanSettings("<ScanSettings/>", 15, &minimal, &why));
  EXPECT_FALSE(minimal.hasRegion);
  EXPECT_EQ(minimal.xResolution, 0u);
  const std::string big(kMaxScanSettingsBytes + 1, ' ');
  // Refused before anything is expanded or fetched: DTDs, entities, text past its bound.
  for (const std::string& bad :
       {std::string("<ScanSettings>"), std::string("<ScanJob/>"), std::string(""), big,
        std::string("<ScanSettings><XResolution>-1</XResolution></ScanSettings>"),
        std::string(
            "<ScanSettings><ScanRegions><ScanRegion><Width>1e3</Width></ScanRegion></ScanRegions></ScanSettings>"),
        std::string("<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><ScanSettings><ColorMode>&e;</ColorMode>"
                    "</ScanSettings>"),
        std::string("<!DOCTYPE ScanSettings><ScanSettings/>"), std::string("<ScanSettings>&e;</ScanSettings>"),
        std::string("<ScanSettings><ColorMode>&#x41</ColorMode></ScanSettings>"),
        std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\0<\0S\0/\0>", 47),
        "<ScanSettings><ColorMode>" + std::string(kMaxTextBytes + 1, 'R') + "</ColorMode></ScanSettings>"}) {
    ScanRequest request;
    EXPECT_FALSE(ReadScanSettings(bad.data(), bad.size(), &request, &why)) << bad.substr(0, 80);
  }
  const std::string escaped =
      "<ScanSettings><ColorMode>&#82;GB&#x32;4</ColorMode><Intent>&lt;&amp;</Intent></ScanSettings>";
  ASSERT_TRUE(ReadScanSettings(escaped.data(), escaped.size(), &minimal, &why)) << why;
  EXPECT_EQ(minimal.colorMode + minimal.intent, "RGB24<&");
}

ScanRequest Ask(std::string mode, UInt32 dpi, std::string format = "", std::string intent = "",
                std::string source = "") {
  ScanRequest request;
  request.colorMode = std::move(mode);
  request.xResolution = request.yResolution = dpi;
  request.format = std::move(format);
  request.intent = std::move(intent);
  request.inputSource = std::move(source);
  return request;
}

TEST(EsclScanPlan, WhatARequestLeavesOutIsFilledInAndColourAboveItsMaximumIsScaled) {
  ScannerDescription scanner;
  scanner.width = 2550;
  scanner.height = 3508;
  scanner.resolutions = {75, 150, 300, 600};
  scanner.colourMaximum = 300;
  using Mode = tarvell::ica::ScanArea::Mode;
  const struct {
    const char* what;
    ScanRequest request;
    Mode mode;
    UInt32 scanned, delivered;
    imaging::ImageFormat format;
  } cases[] = {
      {"nothing at all", Ask("", 0), Mode::kColor, 300, 300, imaging::ImageFormat::kPdf},
      {"a photo", Ask("", 0, "", "Photo"), Mode::kColor, 300, 300, imaging::ImageFormat::kJpeg},
      {"grey at 600", Ask("Grayscale8", 600, "image/png"), Mode::kGray, 600, 600, imaging::ImageFormat::kPng},
      {"colour at 600", Ask("RGB24", 600, "image/jpeg"), Mode::kColor, 300, 600, imaging::ImageFormat::kJpeg},
      {"line art at 75", Ask("BlackAndWhite1", 75, "", "", "Platen"), Mode::kLineart, 75, 75,
       imaging::ImageFormat::kPdf},
  };
  for (const auto& c : cases) {
    ScanPlan plan;
    std::string why;
    ASSERT_TRUE(PlanScan(c.request, scanner, &plan, &why)) << c.what << ": " << why;
    EXPECT_EQ(plan.area.mode, c.mode) << c.what;
    EXPECT_EQ(plan.area.resolution, c.scanned) << c.what;
    EXPECT_EQ(plan.resolution, c.delivered) << c.what;
    EXPECT_EQ(plan.format, c.format) << c.what;
    EXPECT_NEAR(plan.area.width, 215.9, 0.01) << c.what << ": the whole glass";
  }
}

TEST(EsclAnnouncement, TheTxtRecordCarriesWhatClientsRead) {
  ScannerDescription scanner;
  scanner.makeAndModel = "Tarvell K310 (USB)";
  scanner.uuid = "f4ffbe82-c599-5798-af5e-a182960ac05e";
  scanner.iconUrl = "http://host.local:8090/icon.png";
  scanner.adminUrl = "http://host.local:8090/";
  const std::vector<std::string> text = AnnouncementText(scanner);
  for (const char* entry :
       {"txtvers=1", "vers=2.0", "ty=Tarvell K310 (USB)", "pdl=application/pdf,image/png,image/jpeg",
        "cs=color,grayscale,binary", "is=platen", "rs=eSCL", "uuid=f4ffbe82-c599-5798-af5e-a182960ac05e",
        "representation=http://host.local:8090/icon.png", "adminurl=http://host.local:8090/"})
    EXPECT_NE(std::find(text.begin(), text.end(), entry), text.end()) << entry;
}

// A grey PNG page of `width` × `height` at `dpi` that hardly compresses, as delivered to its reader.
DeliveredPage GreyPage(const std::string& id, UInt32 width, UInt32 height, UInt32 dpi) {
  DeliveredPage page{id, {}, dpi, imaging::ImageFormat::kPng, {}};
  page.frame.kind = tarvell::host::PageFormat::kGray;
  page.frame.width = width, page.frame.height = height, page.frame.bytesPerLine = width;
  auto encoder = imaging::ImageEncoder::Make(imaging::ImageFormat::kPng, page.frame, dpi, &page.bytes);
  std::vector<UInt8> rows(size_t(width) * height);
  std::mt19937 noise(7);
  for (UInt8& pixel : rows) pixel = UInt8(noise());
  EXPECT_TRUE(encoder->Feed(rows.data(), rows.size()) && encoder->Finish());
  return page;
}

TEST(EsclPageTray, KeepsAClientsPagesWithinItsLimitAndRefusesTheRestPlainly) {
  PageTray::Limits limits;
  limits.perClient = 64 * 1024;
  PageTray tray(limits);
  for (const char* id : {"a1", "b2", "c3"}) tray.Expect(id, "192.168.1.5");
  tray.Keep(GreyPage("a1", 100, 150, 150));
  tray.Keep(GreyPage("b2", 50, 50, 75));
  tray.Keep(GreyPage("c3", 300, 300, 300));  // past the client's 64 KiB
  tray.Keep(GreyPage("d4", 10, 10, 75));     // nobody asked to keep it

  const Reply pdf = tray.Export("192.168.1.5", "b2,a1", imaging::ImageFormat::kPdf);
  EXPECT_EQ(pdf.contentType, "application/pdf");
  EXPECT_EQ(pdf.body.compare(0, 5, "%PDF-"), 0);
  const Reply jpeg = tray.Export("192.168.1.5", "a1", imaging::ImageFormat::kJpeg);
  EXPECT_EQ(jpeg.contentType, "image/jpeg");
  EXPECT_EQ(jpeg.body.compare(0, 3, "\xFF\xD8\xFF"), 0);
  const struct {
    const char* client;
    const char* ids;
    int status;
    const char* says;
  } kCases[] = {{"192.168.1.5", "a1,c3", 507, "page c3 was not kept"},
                {"192.168.1.6", "a1", 404, "page a1 is not kept"},
                {"192.168.1.5", "d4", 404, "page d4 is not kept"},
                {"192.168.1.5", "", 400, "ids:"},
                {"192.168.1.5", "a1,,b2", 400, "ids:"},
                {"192.168.1.5", "a1;rm", 400, "ids:"}};
  // One page at most as a JPEG.
  EXPECT_EQ(tray.Export("192.168.1.5", "a1,b2", imaging::ImageFormat::kJpeg).status, 400);
  for (const auto& c : kCases) {
    const Reply reply = tray.Export(c.client, c.ids, imaging::ImageFormat::kPdf);
    EXPECT_EQ(reply.status, c.status) << c.client << " " << c.ids;
    EXPECT_EQ(reply.body.find(c.says), 0u) << reply.body;
  }
}

}  // namespace
}  // namespace tarvell::escl
