// print-dialog: the stand-in print dialog. Loads the Finishing bundle, opens a printer's PPD (a
// file, or a CUPS queue's with the user's saved options as the starting settings), shows the
// panel, applies --set choices as clicks and prints the resulting settings as lp options; for a
// queue it can also save them as the user's defaults and print a file with them.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pde/dialog/Cups.h"
#include "pde/dialog/DialogHost.h"

using tarvell::dialog::PanelControl;
using tarvell::dialog::PanelSession;
using tarvell::dialog::PlugInHost;

namespace {

const char kUsage[] =
    "usage: print-dialog --list\n"
    "       print-dialog --ppd FILE [--bundle DIR] [--lang LANG] [--set OPTION=CHOICE]... [--json]\n"
    "       print-dialog --printer NAME [--bundle DIR] [--lang LANG] [--set OPTION=CHOICE]... [--json]\n"
    "                    [--save] [--print FILE [--title TEXT] [--copies N]]\n";

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

int Fail(const std::string& message, int code = 2) {
  std::fprintf(stderr, "print-dialog: %s\n", message.c_str());
  return code;
}

// A word that is not an option, or an option without its value: one line and where help is.
int BadArgument(const std::string& arg) {
  bool valued = false;
  for (const char* name : {"--ppd", "--printer", "--bundle", "--lang", "--set", "--print", "--title", "--copies"})
    valued |= arg == name;
  Fail(valued ? "option '" + arg + "' needs a value" : "unknown option '" + arg + "'");
  std::fputs("Try 'print-dialog --help'.\n", stderr);
  return 2;
}

void PrintText(const std::string& title, const std::vector<PanelControl>& controls, const std::string& note,
               const std::vector<std::pair<std::string, std::string>>& summary,
               const std::map<std::string, std::string>& settings) {
  std::printf("Panel \"%s\"\n", title.c_str());
  if (controls.empty()) std::printf("  (no finishing option of this printer is on the panel)\n");
  for (const PanelControl& c : controls) {
    if (c.popup) {
      std::printf("  %s: pop-up \"%s\", value %d\n", c.keyword.c_str(), c.title.c_str(), c.value);
      for (size_t i = 0; i < c.items.size(); ++i) {
        std::printf("    %c %zu %-24s \"%s\"%s\n", int(i + 1) == c.value ? '*' : ' ', i + 1, c.items[i].choice.c_str(),
                    c.items[i].text.c_str(), c.items[i].enabled ? "" : "  (disabled)");
        if (!c.items[i].reason.empty()) std::printf("        %s\n", c.items[i].reason.c_str());
      }
    } else {
      std::printf("  %s: checkbox [%c] \"%s\", value %d\n", c.keyword.c_str(), c.value ? 'x' : ' ', c.title.c_str(),
                  c.value);
    }
  }
  if (!note.empty()) std::printf("Note: %s\n", note.c_str());
  std::printf("Summary\n");
  for (const auto& line : summary) std::printf("  %s: %s\n", line.first.c_str(), line.second.c_str());
  std::printf("Settings\n ");
  for (const auto& kv : settings) std::printf(" -o %s=%s", kv.first.c_str(), kv.second.c_str());
  std::printf("%s\n", settings.empty() ? " (none)" : "");
}

void PrintJson(const std::vector<PanelControl>& controls,
               const std::vector<std::pair<std::string, std::string>>& summary,
               const std::map<std::string, std::string>& settings) {
  std::string out = "{\"controls\": [";
  for (size_t i = 0; i < controls.size(); ++i) {
    const PanelControl& c = controls[i];
    out += std::string(i ? ", " : "") + "{\"keyword\": " + Json(c.keyword) +
           ", \"kind\": " + (c.popup ? "\"popup\"" : "\"checkbox\"") + ", \"value\": " + std::to_string(c.value);
    if (c.popup) {
      out += ", \"items\": [";
      for (size_t k = 0; k < c.items.size(); ++k) {
        const auto& item = c.items[k];
        out += std::string(k ? ", " : "") + "{\"choice\": " + Json(item.choice) + ", \"text\": " + Json(item.text) +
               ", \"enabled\": " + (item.enabled ? "true" : "false");
        if (!item.enabled) {
          out += ", \"reason\": " + Json(item.reason) + ", \"blocked_by\": [";
          for (size_t b = 0; b < item.blockedBy.size(); ++b) {
            const auto& by = item.blockedBy[b];
            out += std::string(b ? ", " : "") + "{\"option\": " + Json(by.option) + ", \"choice\": " + Json(by.choice) +
                   ", \"option_text\": " + Json(by.optionText) + ", \"choice_text\": " + Json(by.choiceText) +
                   ", \"installable\": " + (by.installable ? "true" : "false") + "}";
          }
          out += "]";
        }
        out += "}";
      }
      out += "]";
    }
    out += "}";
  }
  out += "], \"summary\": [";
  for (size_t i = 0; i < summary.size(); ++i)
    out += std::string(i ? ", " : "") + "{\"title\": " + Json(summary[i].first) +
           ", \"text\": " + Json(summary[i].second) + "}";
  out += "], \"settings\": {";
  bool first = true;
  for (const auto& kv : settings) {
    out += std::string(first ? "" : ", ") + Json(kv.first) + ": " + Json(kv.second);
    first = false;
  }
  out += "}}\n";
  std::fputs(out.c_str(), stdout);
}

}  // namespace

// libcups' PPD cache, made by cupsMarkOptions for the conflict test, keeps a few of its blocks
// after ppdClose; that is the library's, not ours. libcups has no frame pointers, so the
// suppression needs the slow unwinder to see its frames.
extern "C" const char* __lsan_default_suppressions() { return "leak:_ppdCacheCreateWithPPD\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

int ListPrinters() {
  std::vector<tarvell::dialog::CupsQueue> queues;
  std::string error;
  if (!tarvell::dialog::ListQueues(&queues, &error)) return Fail(error);
  if (queues.empty()) std::printf("(no printer with a PPD)\n");
  for (const auto& q : queues)
    std::printf("%c %-24s %s\n", q.isDefault ? '*' : ' ', q.name.c_str(), q.makeAndModel.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  namespace dialog = tarvell::dialog;
  dialog::DialogArguments args;
  args.bundle = dialog::DefaultBundle();
  std::string printFile, title, error;
  bool json = false, list = false, save = false;
  int copies = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (int read = dialog::ReadDialogArgument(argc, argv, &i, &args, &error)) {
      if (read < 0) return Fail(error);
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--save") {
      save = true;
    } else if (arg == "--print" && hasValue) {
      printFile = argv[++i];
    } else if (arg == "--title" && hasValue) {
      title = argv[++i];
    } else if (arg == "--copies" && hasValue) {
      std::string n = argv[++i];
      char* end = nullptr;
      long value = std::strtol(n.c_str(), &end, 10);
      if (n.empty() || *end || value < 1 || value > 9999)
        return Fail("--copies needs a number from 1 to 9999, got \"" + n + "\"");
      copies = int(value);
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::printf("LANG is one of %s.\n", tarvell::dialog::PanelLanguageList().c_str());
      return 0;
    } else {
      return BadArgument(arg);
    }
  }
  if (list) return ListPrinters();
  if (args.ppd.empty() == args.printer.empty()) {
    Fail("give one of --ppd, --printer or --list");
    std::fputs("Try 'print-dialog --help'.\n", stderr);
    return 2;
  }
  if ((save || !printFile.empty()) && args.printer.empty()) return Fail("--save and --print need --printer");
  if (printFile.empty() && (!title.empty() || copies != 1)) return Fail("--title and --copies go with --print");
  if (!printFile.empty()) {
    // Checked before anything is shown or saved.
    int fd = open(printFile.c_str(), O_RDONLY);
    struct stat st {};
    bool regular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
    if (fd >= 0) close(fd);
    if (!regular) return Fail("cannot read " + printFile + ": " + why);
  }
  if (!args.language.empty()) PMBundleSetPreferredLanguages({args.language});

  dialog::FetchedPPD fetched;
  dialog::CupsOptions saved;
  if (!args.printer.empty()) {
    if (!dialog::FetchPPD(args.printer, &fetched, &error) || !dialog::SavedOptions(args.printer, &saved, &error))
      return Fail(error);
    args.ppd = fetched.path();
  }
  ppd_file_t* ppd = dialog::OpenPPD(args.ppd, &error);
  if (!ppd) return Fail(args.printer.empty() ? error : "printer " + args.printer + ": " + error);
  int exitCode = 0;
  {
    std::unique_ptr<PlugInHost> host = PlugInHost::Load(args.bundle, &error);
    if (!host) {
      ppdClose(ppd);
      return Fail("cannot load the plug-in bundle: " + error);
    }
    PanelSession panel(*host, ppd);
    OSStatus status = panel.Prologue();
    if (status != noErr) {
      exitCode = Fail("the panel's Prologue failed (" + std::to_string(status) + ")");
    } else {
      dialog::ApplySavedOptions(panel, ppd, saved);
      status = panel.Initialize();
      bool shown = status == noErr;
      if (status != noErr && status != kPMInvalidPDEContext)
        exitCode = Fail("the panel's Initialize failed (" + std::to_string(status) + ")");
      if (shown) panel.Open();
      for (const auto& choice : args.choices) {
        if (exitCode) break;
        if (!shown || !panel.Choose(choice.first, choice.second, &error)) {
          exitCode = Fail(shown ? error : "option " + choice.first + " is not on the Finishing panel", 3);
        }
      }
      std::vector<std::pair<std::string, std::string>> summary;
      if (shown) {
        panel.GetSummary(&summary);
        panel.Sync(false);
      }
      // The panel's own options, the only ones --save changes.
      dialog::CupsOptions panelSettings;
      std::vector<PanelControl> controls = panel.Controls();
      std::map<std::string, std::string> settings = panel.Settings();
      for (const PanelControl& c : controls)
        if (settings.count(c.keyword)) panelSettings[c.keyword] = settings[c.keyword];
      dialog::CupsOptions jobOptions = dialog::MergeOptions(saved, settings);
      if (!exitCode && (save || !printFile.empty()) && !dialog::CheckConflicts(ppd, jobOptions, &error))
        exitCode = Fail("the settings conflict (" + error + "); nothing saved or printed", 3);
      // The job first, as the server may still refuse it; the panel is shown only when all went well.
      std::string done;
      if (!exitCode && !printFile.empty()) {
        int job = 0;
        if (dialog::SubmitJob({args.printer, printFile, title, copies, jobOptions}, &job, &error))
          done += "request id is " + args.printer + "-" + std::to_string(job) + " (1 file(s))\n";
        else
          exitCode = Fail(error);
      }
      if (!exitCode && save) {
        if (dialog::SaveDefaults(args.printer, panelSettings, &error))
          done += "saved as the defaults for " + args.printer + "\n";
        else
          exitCode = Fail(error);
      }
      if (!exitCode) {
        if (json)
          PrintJson(controls, summary, settings);
        else
          PrintText(panel.title(), controls, dialog::HardwareNote(host->bundle(), controls, args.printer), summary,
                    settings);
        std::fputs(done.c_str(), stdout);
      }
      panel.Close();
      panel.Terminate();
    }
  }
  ppdClose(ppd);
  return exitCode;
}
