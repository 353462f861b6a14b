// A print dialog over one PPD for the panel's tests, and bundles and PPDs made for one test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pde/dialog/DialogHost.h"
#include "tests/support/Program.h"

namespace tarvell {
namespace testing {

std::string DataPath(const std::string& name);

// A copy of the Finishing bundle with its own "PMPPDKeysSupported" list (and, optionally,
// without its Resources folder); the executable is the one built.
class CustomBundle {
 public:
  explicit CustomBundle(const std::vector<std::string>& keys, bool withResources = true);
  std::string path() const { return dir_.path() + "/Finishing.plugin"; }

 private:
  TempDir dir_;
};

// The whole dialog: the PPD (opened with libcups), the loaded bundle and one panel session.
struct Dialog {
  explicit Dialog(const std::string& ppdPath, const std::string& bundlePath = FINISHING_BUNDLE);
  ~Dialog();
  // Prologue, Initialize and Open; the status of Initialize.
  OSStatus Show();
  dialog::PanelControl Control(const std::string& keyword) const;
  bool Enabled(const std::string& keyword, const std::string& choice) const;
  dialog::PanelItem Item(const std::string& keyword, const std::string& choice) const;

  ppd_file_t* ppd = nullptr;
  std::unique_ptr<dialog::PlugInHost> host;
  std::unique_ptr<dialog::PanelSession> panel;
};

}  // namespace testing
}  // namespace tarvell
