// A private CUPS scheduler for tests: Debian's cupsd with its own folders in a temporary
// directory, listening on a UNIX socket there, queues made with lpadmin. Client programs run
// with CUPS_SERVER on that socket and their own HOME, server root (so lpoptions writes a private
// file even for root) and TMPDIR. The machine's own CUPS is never touched.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/Program.h"

namespace tarvell {
namespace testing {

class CupsServer {
 public:
  CupsServer();   // starts the scheduler and waits until it answers; see running()
  ~CupsServer();  // stops it
  CupsServer(const CupsServer&) = delete;
  CupsServer& operator=(const CupsServer&) = delete;

  bool running() const { return pid_ > 0; }
  void Stop();  // ends the scheduler this fixture started and waits for it
  const std::string& socket() const { return socket_; }
  const TempDir& dir() const { return dir_; }

  // Runs a client program (lpadmin, lpoptions, print-dialog) against this scheduler.
  ProgramRun Run(const std::vector<std::string>& argv) const;
  // A queue on a file:///dev/null device; with no PPD it is a raw queue.
  bool AddQueue(const std::string& name, const std::string& ppdPath = "") const;
  // The attributes of job `id` read back with IPP Get-Job-Attributes, as text.
  std::map<std::string, std::string> JobAttributes(int id) const;
  // The ids of all jobs of `printer`, done or not.
  std::vector<int> Jobs(const std::string& printer) const;

 private:
  TempDir dir_{"tarvell-cupsd"};
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace testing
}  // namespace tarvell
