// PPD text, as libcups reads it from a file, through the Finishing panel: Initialize, clicks on
// every control, Sync both ways and the summary.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pde/FinishingPlugin.h"
#include "pde/dialog/DialogHost.h"

namespace {

std::unique_ptr<tarvell::dialog::PlugInHost> gHost;

ppd_file_t* OpenFromMemory(const uint8_t* data, size_t size) {
  int fd = memfd_create("ppd", 0);
  if (fd < 0) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  lseek(fd, 0, SEEK_SET);
  cups_file_t* file = cupsFileOpenFd(fd, "r");
  if (!file) {
    close(fd);
    return nullptr;
  }
  ppd_file_t* ppd = ppdOpen2(file);
  cupsFileClose(file);  // closes fd
  return ppd;
}

}  // namespace

// libcups's reader leaks the earlier value of a header keyword that a PPD repeats (for example
// two *PCFileName lines); that is the library's, not the panel's.
extern "C" const char* __lsan_default_suppressions() { return "leak:_ppdOpen\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The bundle gives the panel its keyword list and texts; its code is linked in here.
  PMBundleRef bundle = PMBundleCreate(FINISHING_BUNDLE);
  if (!bundle) std::abort();
  PMUUIDRef type = PMUUIDCreateFromString(nullptr, kPDEPlugInTypeUUIDString);
  auto instance = static_cast<IUnknownVTbl**>(FinishingPluginFactory(nullptr, type));
  PMRelease(type);
  if (!instance) std::abort();
  gHost = tarvell::dialog::PlugInHost::Adopt(bundle, instance);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ppd_file_t* ppd = OpenFromMemory(data, size);
  if (!ppd) return 0;
  {
    tarvell::dialog::PanelSession panel(*gHost, ppd);
    if (panel.Prologue() == noErr) {
      if (panel.Initialize() == noErr) {
        panel.Open();
        for (const auto& control : panel.Controls()) {
          // A click on the last item (or the checkbox), whether the menu allows it or not.
          ClickControl(control.control, MenuItemIndex(control.items.size()));
        }
        panel.Sync(false);
        panel.Sync(true);
        std::vector<std::pair<std::string, std::string>> summary;
        panel.GetSummary(&summary);
        panel.Settings();
      }
      panel.Close();
      panel.Terminate();
    }
  }
  ppdClose(ppd);
  return 0;
}
