// A private CUPS scheduler for tests: Debian's cupsd with its folders in a temporary directory,
// listening on a UNIX socket there. Client programs run with CUPS_SERVER on that socket and
// their own HOME, CUPS_SERVERROOT and TMPDIR, so the machine's CUPS and lpoptions stay untouched.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/Program.h"

namespace tarvell::testing {

class CupsServer {
 public:
  CupsServer();  // starts the scheduler and waits until it answers (see running())
  ~CupsServer() { Stop(); }
  void Stop();  // ends the scheduler this fixture started and waits for it
  bool running() const { return pid_ > 0; }
  const TempDir& dir() const { return dir_; }
  std::string socket() const { return dir_ / "cups.sock"; }
  // Runs a client program (lpadmin, lpoptions, print-dialog) against this scheduler.
  ProgramRun Run(const std::vector<std::string>& argv) const;
  // The job's attributes, read back with IPP Get-Job-Attributes, as text.
  std::map<std::string, std::string> JobAttributes(int id) const;

 private:
  TempDir dir_{"tarvell-cupsd"};
  pid_t pid_ = -1;
};

}  // namespace tarvell::testing
