// This file calls the libcups PPD interface (cupsGetPPD3, cupsMarkOptions, ppdConflicts),
// deprecated in CUPS 2.4 but the one the printing system hands the print dialog.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/dialog/Cups.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pde/dialog/DialogHost.h"

namespace tarvell {
namespace dialog {
namespace {

std::string LastError() {
  const char* text = cupsLastErrorString();
  return text && *text ? text : ippErrorString(cupsLastError());
}

// What to do when the scheduler does not answer.
constexpr char kStartCups[] = "; start CUPS (e.g. 'sudo systemctl start cups') or point CUPS_SERVER at a running one";

// Whether the server answers; else false and a message naming it, why and what to do.
bool Reachable(std::string* error) {
  std::string server = cupsServer();
  struct stat st {};
  if (server[0] == '/' && stat(server.c_str(), &st) != 0) {
    *error = "cannot reach the CUPS server at " + server + ": " + std::strerror(errno) + kStartCups;
    return false;
  }
  http_t* http = httpConnect2(server.c_str(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 10000, nullptr);
  if (http) {
    httpClose(http);
    return true;
  }
  if (server[0] != '/') server += ":" + std::to_string(ippPort());
  *error = "cannot reach the CUPS server at " + server + ": " + LastError() + kStartCups;
  return false;
}

std::string UnknownPrinter(const std::string& printer) {
  return "unknown printer " + printer + " on the CUPS server at " + cupsServer();
}

struct Dests {
  int count = 0;
  cups_dest_t* dests = nullptr;
  ~Dests() { cupsFreeDests(count, dests); }
};

struct OptionArray {
  int count = 0;
  cups_option_t* options = nullptr;
  explicit OptionArray(const CupsOptions& from) {
    for (const auto& kv : from) count = cupsAddOption(kv.first.c_str(), kv.second.c_str(), count, &options);
  }
  ~OptionArray() { cupsFreeOptions(count, options); }
};

// The destination `printer` with the user's saved options, or null and a message.
cups_dest_t* NamedDest(const std::string& printer, std::string* error) {
  cups_dest_t* dest = printer.empty() ? nullptr : cupsGetNamedDest(CUPS_HTTP_DEFAULT, printer.c_str(), nullptr);
  if (!dest && Reachable(error)) *error = UnknownPrinter(printer);
  return dest;
}

// Downloads the PPD of `printer`; its temporary path, or "" when the queue has none.
std::string Download(const char* printer, http_status_t* status) {
  char path[1024] = "";
  time_t modified = 0;
  *status = cupsGetPPD3(CUPS_HTTP_DEFAULT, printer, &modified, path, sizeof path);
  if (*status == HTTP_STATUS_OK) return path;
  if (path[0]) unlink(path);
  return "";
}

// "OPTION=CHOICE (Option text: Choice text)", in the PPD's words.
std::string Described(ppd_file_t* ppd, const char* keyword, const char* choice) {
  ppd_option_t* option = ppdFindOption(ppd, keyword);
  ppd_choice_t* c = option ? ppdFindChoice(option, choice) : nullptr;
  std::string pair = std::string(keyword) + "=" + choice;
  if (!option || !option->text[0] || !c || !c->text[0]) return pair;
  std::string text = std::string(option->text) + ": " + c->text;
  text.erase(text.find_last_not_of(' ') + 1);
  return pair + " (" + text + ")";
}

}  // namespace

bool ListQueues(std::vector<CupsQueue>* queues, std::string* error) {
  queues->clear();
  if (!Reachable(error)) return false;
  Dests all;
  all.count = cupsGetDests2(CUPS_HTTP_DEFAULT, &all.dests);
  // The user's default (LPDEST, PRINTER, lpoptions) or else the server's.
  const char* byDefault = cupsGetDefault2(CUPS_HTTP_DEFAULT);
  std::string defaultName = byDefault ? byDefault : "";
  for (int i = 0; i < all.count; ++i) {
    const cups_dest_t& d = all.dests[i];
    if (d.instance) continue;  // an lpoptions instance of a queue listed on its own
    http_status_t status;
    std::string ppd = Download(d.name, &status);
    if (ppd.empty()) continue;
    unlink(ppd.c_str());
    const char* model = cupsGetOption("printer-make-and-model", d.num_options, d.options);
    queues->push_back({d.name, model ? model : "", d.is_default != 0 || defaultName == d.name});
  }
  std::sort(queues->begin(), queues->end(), [](const CupsQueue& a, const CupsQueue& b) { return a.name < b.name; });
  return true;
}

FetchedPPD::~FetchedPPD() {
  if (!path_.empty()) unlink(path_.c_str());
}

FetchedPPD::FetchedPPD(FetchedPPD&& other) noexcept : path_(other.Release()) {}

FetchedPPD& FetchedPPD::operator=(FetchedPPD&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) unlink(path_.c_str());
    path_ = other.Release();
  }
  return *this;
}

std::string FetchedPPD::Release() {
  std::string path;
  path.swap(path_);
  return path;
}

bool FetchPPD(const std::string& printer, FetchedPPD* ppd, std::string* error) {
  cups_dest_t* dest = NamedDest(printer, error);
  if (!dest) return false;
  cupsFreeDests(1, dest);
  http_status_t status;
  std::string path = Download(printer.c_str(), &status);
  if (path.empty()) {
    if (Reachable(error))
      *error = status == HTTP_STATUS_NOT_FOUND ? "printer " + printer + " has no PPD (a raw or driverless queue)"
                                               : "cannot fetch the PPD of printer " + printer + ": " + LastError();
    return false;
  }
  *ppd = FetchedPPD();
  ppd->path_ = path;
  return true;
}

bool SavedOptions(const std::string& printer, CupsOptions* options, std::string* error) {
  cups_dest_t* dest = NamedDest(printer, error);
  if (!dest) return false;
  options->clear();
  for (int i = 0; i < dest->num_options; ++i) (*options)[dest->options[i].name] = dest->options[i].value;
  cupsFreeDests(1, dest);
  return true;
}

void ApplySavedOptions(PanelSession& panel, ppd_file_t* ppd, const CupsOptions& saved) {
  for (const auto& kv : saved)
    if (ppdFindOption(ppd, kv.first.c_str())) panel.SetSetting(kv.first, kv.second);
}

bool SaveDefaults(const std::string& printer, const CupsOptions& settings, std::string* error) {
  // All destinations: the file holds every printer's options and is written whole.
  if (!Reachable(error)) return false;
  Dests all;
  all.count = cupsGetDests2(CUPS_HTTP_DEFAULT, &all.dests);
  cups_dest_t* dest = printer.empty() ? nullptr : cupsGetDest(printer.c_str(), nullptr, all.count, all.dests);
  if (!dest) {
    *error = UnknownPrinter(printer);
    return false;
  }
  for (const auto& kv : settings)
    dest->num_options = cupsAddOption(kv.first.c_str(), kv.second.c_str(), dest->num_options, &dest->options);
  if (cupsSetDests2(CUPS_HTTP_DEFAULT, all.count, all.dests) != 0) {
    if (Reachable(error)) *error = "cannot save the defaults of printer " + printer + ": " + LastError();
    return false;
  }
  return true;
}

bool CheckConflicts(ppd_file_t* ppd, const CupsOptions& options, std::string* conflict) {
  std::vector<std::pair<ppd_option_t*, std::string>> marks;
  for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) {
    ppd_choice_t* marked = ppdFindMarkedChoice(ppd, o->keyword);
    if (marked) marks.emplace_back(o, marked->choice);
  }
  ppdMarkDefaults(ppd);
  OptionArray array(options);
  cupsMarkOptions(ppd, array.count, array.options);
  bool clean = ppdConflicts(ppd) == 0;
  if (!clean) {
    // Name the first option in conflict (in PPD order) and what it conflicts with.
    std::string first, others;
    for (ppd_option_t* o = ppdFirstOption(ppd); o && first.empty(); o = ppdNextOption(ppd)) {
      ppd_choice_t* marked = ppdFindMarkedChoice(ppd, o->keyword);
      if (!o->conflicted || !marked) continue;
      first = Described(ppd, o->keyword, marked->choice);
      cups_option_t* with = nullptr;
      int n = cupsGetConflicts(ppd, o->keyword, marked->choice, &with);
      for (int i = 0; i < n; ++i) others += std::string(i ? ", " : "") + Described(ppd, with[i].name, with[i].value);
      cupsFreeOptions(n, with);
    }
    *conflict = others.empty() ? "the PPD's constraints exclude " + first : first + " conflicts with " + others;
  }
  ppdMarkDefaults(ppd);
  for (const auto& mark : marks) ppdMarkOption(ppd, mark.first->keyword, mark.second.c_str());
  return clean;
}

CupsOptions MergeOptions(const CupsOptions& saved, const CupsOptions& settings) {
  CupsOptions merged = saved;
  for (const auto& kv : settings) merged[kv.first] = kv.second;
  return merged;
}

bool SubmitJob(const PrintRequest& request, int* jobId, std::string* error) {
  int fd = open(request.file.c_str(), O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot read " + request.file + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  cups_dest_t* dest = NamedDest(request.printer, error);
  if (!dest) return false;
  cupsFreeDests(1, dest);
  CupsOptions options = request.options;
  options["copies"] = std::to_string(request.copies);
  OptionArray array(options);
  std::string title = request.title;
  if (title.empty()) title = request.file.substr(request.file.find_last_of('/') + 1);
  int id = cupsPrintFile2(CUPS_HTTP_DEFAULT, request.printer.c_str(), request.file.c_str(), title.c_str(), array.count,
                          array.options);
  if (id <= 0) {
    if (Reachable(error)) *error = "printer " + request.printer + " refused the job: " + LastError();
    return false;
  }
  *jobId = id;
  return true;
}

}  // namespace dialog
}  // namespace tarvell
