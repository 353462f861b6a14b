#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "tests/pde/PanelFixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvell {
namespace testing {

std::string DataPath(const std::string& name) { return std::string(TARVELL_SOURCE_DIR) + "/tests/pde/data/" + name; }

CustomBundle::CustomBundle(const std::vector<std::string>& keys, bool withResources) {
  std::string from = FINISHING_BUNDLE;
  std::string to = path();
  std::string cmd = "mkdir -p '" + to + "/Contents' && ln -s '" + from + "/Contents/finishing-pde.so' '" + to +
                    "/Contents/finishing-pde.so'";
  if (withResources) cmd += " && cp -r '" + from + "/Contents/Resources' '" + to + "/Contents/'";
  EXPECT_EQ(0, std::system(cmd.c_str()));
  std::ifstream in(from + "/Contents/Info.plist");
  std::stringstream s;
  s << in.rdbuf();
  std::string plist = s.str();
  size_t start = plist.find("<array>", plist.find("PMPPDKeysSupported"));
  size_t end = plist.find("</array>", start);
  std::string list = "<array>";
  for (const std::string& k : keys) list += "<string>" + k + "</string>";
  plist.replace(start, end - start, list);
  std::ofstream(to + "/Contents/Info.plist") << plist;
}

Dialog::Dialog(const std::string& ppdPath, const std::string& bundlePath) {
  std::string error;
  ppd = dialog::OpenPPD(ppdPath, &error);
  EXPECT_TRUE(ppd) << error;
  host = dialog::PlugInHost::Load(bundlePath, &error);
  EXPECT_TRUE(host) << error;
  if (host) panel.reset(new dialog::PanelSession(*host, ppd));
}

Dialog::~Dialog() {
  panel.reset();
  host.reset();
  if (ppd) ppdClose(ppd);
}

OSStatus Dialog::Show() {
  OSStatus status = panel->Prologue();
  if (status != noErr) return status;
  status = panel->Initialize();
  if (status == noErr) panel->Open();
  return status;
}

dialog::PanelControl Dialog::Control(const std::string& keyword) const {
  for (const auto& c : panel->Controls())
    if (c.keyword == keyword) return c;
  ADD_FAILURE() << "no control for " << keyword;
  return dialog::PanelControl{keyword, false, nullptr, 0, "", {}};
}

bool Dialog::Enabled(const std::string& keyword, const std::string& choice) const {
  return Item(keyword, choice).enabled;
}

dialog::PanelItem Dialog::Item(const std::string& keyword, const std::string& choice) const {
  for (const auto& item : Control(keyword).items)
    if (item.choice == choice) return item;
  ADD_FAILURE() << keyword << " has no item " << choice;
  return dialog::PanelItem{choice, "", false, "", {}};
}

}  // namespace testing
}  // namespace tarvell
