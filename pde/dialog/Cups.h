// The print dialog's side of a CUPS server: the queues, their PPDs, the options the user saved
// for them and print jobs. The server is the one the user's environment names (CUPS_SERVER,
// ~/.cups/client.conf, the default socket): libcups chooses it, nothing here names one.
//
// Every call that can fail returns false and puts one line in `error` naming what failed and
// why (no server reachable, an unknown printer, a queue without a PPD, an unreadable file);
// nothing is saved or submitted then. None of them throws.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "pde/CupsPPD.h"

namespace tarvell {
namespace dialog {

class PanelSession;

// Options as `lp -o NAME=VALUE` and `lpoptions` have them.
using CupsOptions = std::map<std::string, std::string>;

struct CupsQueue {
  std::string name;
  std::string makeAndModel;  // "printer-make-and-model"; may be empty
  bool isDefault = false;    // the user's default (lpoptions -d) or else the server's
};

// The queues of the server that have a PPD, in name order. False when no server can be reached.
bool ListQueues(std::vector<CupsQueue>* queues, std::string* error);

// A PPD fetched from the server into a temporary file, which goes with the holder.
class FetchedPPD {
 public:
  FetchedPPD() = default;
  ~FetchedPPD();
  FetchedPPD(FetchedPPD&& other) noexcept;
  FetchedPPD& operator=(FetchedPPD&& other) noexcept;
  FetchedPPD(const FetchedPPD&) = delete;
  FetchedPPD& operator=(const FetchedPPD&) = delete;

  const std::string& path() const { return path_; }  // empty when nothing is held
  // Gives up the file: the caller removes it.
  std::string Release();

 private:
  friend bool FetchPPD(const std::string&, FetchedPPD*, std::string*);
  std::string path_;
};

// Fetches the PPD of queue `printer` from the server. False when no server can be reached,
// the printer is unknown, or the queue has no PPD.
bool FetchPPD(const std::string& printer, FetchedPPD* ppd, std::string* error);

// What `lpoptions -p NAME` shows for queue `printer`: the server's defaults for it with the
// user's saved options over them. False when no server can be reached or the printer is unknown.
bool SavedOptions(const std::string& printer, CupsOptions* options, std::string* error);

// Puts those `saved` options that name an option of `ppd` into the panel's print settings, as a
// preset is put: call before the panel's Initialize, which then opens showing them.
void ApplySavedOptions(PanelSession& panel, ppd_file_t* ppd, const CupsOptions& saved);

// Stores `settings` as the user's defaults for `printer` where `lpoptions -p NAME -o ...` stores
// them (~/.cups/lpoptions, for root too with libcups 2.4), changing those options only and
// keeping every other saved option and printer. False when no server can be reached, the
// printer is unknown or the file cannot be written.
bool SaveDefaults(const std::string& printer, const CupsOptions& settings, std::string* error);

// libcups' own conflict test of `options` (a job's whole option set: the saved options with the
// panel's settings over them) against the PPD's constraints. True when nothing conflicts; else
// false and `conflict` names the options and choices in conflict, e.g.
// "StapleWhen=EndOfSet conflicts with OutputBin=UpperBin". The PPD's marks are left as they were.
bool CheckConflicts(ppd_file_t* ppd, const CupsOptions& options, std::string* conflict);

// The options a job or a save starts from: `saved` with `settings` over them.
CupsOptions MergeOptions(const CupsOptions& saved, const CupsOptions& settings);

struct PrintRequest {
  std::string printer;
  std::string file;
  std::string title;  // empty: the file's name, as lp takes it
  int copies = 1;
  CupsOptions options;  // sent as `lp -o` options are (MergeOptions of saved and panel settings)
};

// Submits the file to the queue; the job id in `jobId` (the program prints "request id is
// NAME-N"). False when no server can be reached, the printer is unknown, the file cannot be
// read, or the server refuses the job.
bool SubmitJob(const PrintRequest& request, int* jobId, std::string* error);

}  // namespace dialog
}  // namespace tarvell
