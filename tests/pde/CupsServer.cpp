#include "tests/pde/CupsServer.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvell::testing {

CupsServer::CupsServer() {
  const std::string d = dir_.path();
  // FatalErrors first, as it governs the lines after it. As root, cupsd runs its children as
  // lp; otherwise as the test's own user.
  passwd* user = getuid() ? getpwuid(getuid()) : nullptr;
  std::string files = "FatalErrors none\nFileDevice Yes\nSandboxing Relaxed\nPrintcap " + d + "/printcap\n" +
                      (user ? "User " + std::string(user->pw_name) + "\n" : "");
  for (const char* sub : {"root", "spool", "spool/tmp", "cache", "state", "log", "client", "home", "tmp"})
    mkdir((d + "/" + sub).c_str(), 0755);
  for (std::string line :
       {"ServerRoot root", "RequestRoot spool", "TempDir spool/tmp", "CacheDir cache", "StateDir state",
        "ErrorLog log/error_log", "AccessLog log/access_log", "PageLog log/page_log"})
    files += line.replace(line.find(' '), 1, " " + d + "/") + "\n";
  dir_.Write("root/cups-files.conf", files);
  dir_.Write("root/cupsd.conf", "Listen " + socket() + R"(
Browsing No
PreserveJobHistory Yes
PreserveJobFiles Yes
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
)");
  // No filters are installed here: text reaches the PostScript queues' device unchanged.
  dir_.Write("root/tarvell.convs", "text/plain application/vnd.cups-postscript 0 -\n");
  pid_ = fork();
  if (pid_ == 0) {
    int log = open((d + "/log/cupsd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log, 1);
    dup2(log, 2);
    execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", (d + "/root/cupsd.conf").c_str(), "-s",
          (d + "/root/cups-files.conf").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && pid_ > 0; ++i, usleep(50000)) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    if (http_t* http = httpConnect2(socket().c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr)) {
      httpClose(http);
      return;
    }
  }
  Stop();
}

void CupsServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i, usleep(50000))
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

ProgramRun CupsServer::Run(const std::vector<std::string>& argv) const {
  ProgramOptions options;
  options.env = {"CUPS_SERVER=" + socket(), "HOME=" + (dir_ / "home"), "CUPS_SERVERROOT=" + (dir_ / "client"),
                 "TMPDIR=" + (dir_ / "tmp")};
  return RunProgram(argv, options);
}

std::map<std::string, std::string> CupsServer::JobAttributes(int id) const {
  std::map<std::string, std::string> result;
  http_t* http = httpConnect2(socket().c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
  if (!http) return result;  // never the default server: that would be the machine's
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
               ("ipp://localhost/jobs/" + std::to_string(id)).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());  // sees job-name
  ipp_t* response = cupsDoRequest(http, request, "/");
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    char value[2048];
    if (ippGetName(a) && ippGetGroupTag(a) == IPP_TAG_JOB && ippAttributeString(a, value, sizeof value))
      result[ippGetName(a)] = value;
  }
  ippDelete(response);
  httpClose(http);
  return result;
}

}  // namespace tarvell::testing
