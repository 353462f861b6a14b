// The server's parts that need no scanner: its settings, the ScanSettings reader, the
// announcement's TXT record and the tray of kept pages.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "escl/Documents.h"
#include "escl/PageTray.h"
#include "escl/ScanSettingsReader.h"
#include "escl/ServerConfig.h"

namespace tarvell::escl {
namespace {

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

  std::vector<AllowRule> rules(2);
  ASSERT_TRUE(ParseAllow("192.168.1.0/24", &rules[0], &why));
  ASSERT_TRUE(ParseAllow("fd00::/8", &rules[1], &why));
  for (const char* bad : {"192.168.1.0/33", "fd00::/129", "nowhere", "10.0.0.1/"})
    EXPECT_FALSE(ParseAllow(bad, &rules[0], &why)) << bad;
  const struct {
    const char* peer;
    bool allowed;
  } cases[] = {{"192.168.1.77", true}, {"192.168.2.1", false}, {"::ffff:192.168.1.5", true},
               {"fdab::1", true},      {"fe80::1", false},     {"10.0.0.1", false}};
  for (const auto& c : cases) {
    const sockaddr_storage peer = Peer(c.peer);
    EXPECT_EQ(Allowed(rules, reinterpret_cast<const sockaddr*>(&peer)), c.allowed) << c.peer;
  }
  const sockaddr_storage anyone = Peer("203.0.113.9");
  EXPECT_TRUE(Allowed({}, reinterpret_cast<const sockaddr*>(&anyone)));
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

  const char* argv[] = {"tarvell-escl", "--listen",    "[::1]:0",         "--listen=127.0.0.2:0",
                        "--simulate",   "--sim-fault", "short-image-by=9"};
  std::string error;
  ASSERT_EQ(ParseCommandLine(7, const_cast<char**>(argv), &config, &error), Invocation::kRun) << error;
  ASSERT_EQ(config.listen.size(), 2u);
  EXPECT_EQ(config.listen[1].text, "127.0.0.2:0");
  EXPECT_EQ(config.allow.size(), 1u);
  EXPECT_TRUE(config.simulate);
  EXPECT_EQ(config.simulated.misbehave.shortImageBy, 9u);
  for (const char* bad : {"--listen", "--frobnicate", "--no-announce=yes", "--device=0"}) {
    const char* args[] = {"tarvell-escl", bad};
    EXPECT_EQ(ParseCommandLine(2, const_cast<char**>(args), &config, &error), Invocation::kUsageError) << bad;
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
  for (const std::string& bad :
       {std::string("<ScanSettings>"), std::string("<ScanJob/>"), std::string(""), big,
        std::string("<ScanSettings><XResolution>-1</XResolution></ScanSettings>"),
        std::string(
            "<ScanSettings><ScanRegions><ScanRegion><Width>1e3</Width></ScanRegion></ScanRegions></ScanSettings>")}) {
    ScanRequest request;
    EXPECT_FALSE(ReadScanSettings(bad.data(), bad.size(), &request, &why)) << bad.substr(0, 80);
  }
  // An entity from outside is never read in.
  const std::string entity =
      "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><ScanSettings><ColorMode>&e;</ColorMode></ScanSettings>";
  ScanRequest request;
  ReadScanSettings(entity.data(), entity.size(), &request, &why);
  EXPECT_EQ(request.colorMode.find("root"), std::string::npos);
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
  DeliveredPage page{id, {}, dpi, ImageFormat::kPng, {}};
  page.frame.kind = tarvell::host::PageFormat::kGray;
  page.frame.width = width, page.frame.height = height, page.frame.bytesPerLine = width;
  auto encoder = ImageEncoder::Make(ImageFormat::kPng, page.frame, dpi, &page.bytes);
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

  const Reply pdf = tray.Export("192.168.1.5", "b2,a1", ImageFormat::kPdf);
  EXPECT_EQ(pdf.contentType, "application/pdf");
  EXPECT_EQ(pdf.body.compare(0, 5, "%PDF-"), 0);
  const Reply jpeg = tray.Export("192.168.1.5", "a1", ImageFormat::kJpeg);
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
  EXPECT_EQ(tray.Export("192.168.1.5", "a1,b2", ImageFormat::kJpeg).status, 400);
  for (const auto& c : kCases) {
    const Reply reply = tray.Export(c.client, c.ids, ImageFormat::kPdf);
    EXPECT_EQ(reply.status, c.status) << c.client << " " << c.ids;
    EXPECT_EQ(reply.body.find(c.says), 0u) << reply.body;
  }
}

}  // namespace
}  // namespace tarvell::escl
