#include "tests/pde/CupsServer.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvell {
namespace testing {

namespace {

// An IPP request to the scheduler on `socket`; the response (null when it could not be sent).
ipp_t* Request(const std::string& socket, ipp_t* request) {
  http_t* http = httpConnect2(socket.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
  if (!http) {
    ippDelete(request);
    return nullptr;
  }
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ipp_t* response = cupsDoRequest(http, request, "/");
  httpClose(http);
  return response;
}

}  // namespace

CupsServer::CupsServer() {
  for (const char* sub : {"root", "spool", "spool/tmp", "cache", "state", "log", "client", "home", "tmp"})
    mkdir((dir_ / sub).c_str(), 0755);
  socket_ = dir_ / "cups.sock";
  passwd* user = getpwuid(getuid());
  group* grp = getgrgid(getgid());
  std::string account = user ? user->pw_name : "root", group = grp ? grp->gr_name : "root";
  dir_.Write("root/cupsd.conf",
             "Listen " + socket_ + "\nLogLevel info\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
             "PreserveJobHistory Yes\nPreserveJobFiles Yes\n"
             "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
             "<Policy default>\n  <Limit All>\n    Order allow,deny\n    Allow all\n  </Limit>\n</Policy>\n");
  // FatalErrors none: cupsd runs as root in CI and would refuse folders it does not own as it wants.
  dir_.Write("root/cups-files.conf",
             "ServerRoot " + (dir_ / "root") + "\nRequestRoot " + (dir_ / "spool") + "\nTempDir " +
                 (dir_ / "spool/tmp") + "\nCacheDir " + (dir_ / "cache") + "\nStateDir " + (dir_ / "state") +
                 "\nErrorLog " + (dir_ / "log/error_log") + "\nAccessLog " + (dir_ / "log/access_log") +
                 "\nPageLog " + (dir_ / "log/page_log") + "\nPrintcap " + (dir_ / "printcap") +
                 "\nFileDevice Yes\nSandboxing Relaxed\nFatalErrors none\nUser " + account + "\nGroup " + group +
                 "\nSystemGroup " + group + "\n");
  // No filters are installed here: a text file reaches the PostScript queues' device unchanged.
  dir_.Write("root/tarvell.convs", "text/plain application/vnd.cups-postscript 0 -\n");

  std::string conf = dir_ / "root/cupsd.conf", files = dir_ / "root/cups-files.conf", log = dir_ / "log/cupsd.out";
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; pid_ > 0 && i < 300; ++i, usleep(50000)) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
    if (http) {
      httpClose(http);
      return;
    }
  }
  Stop();
}

CupsServer::~CupsServer() { Stop(); }

void CupsServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) usleep(50000);
  if (kill(pid_, 0) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

ProgramRun CupsServer::Run(const std::vector<std::string>& argv) const {
  ProgramOptions options;
  options.env = {"CUPS_SERVER=" + socket_, "HOME=" + (dir_ / "home"), "CUPS_SERVERROOT=" + (dir_ / "client"),
                 "TMPDIR=" + (dir_ / "tmp")};
  return RunProgram(argv, options);
}

bool CupsServer::AddQueue(const std::string& name, const std::string& ppdPath) const {
  std::vector<std::string> argv = {"/usr/sbin/lpadmin", "-p", name, "-E", "-v", "file:///dev/null"};
  if (!ppdPath.empty()) argv.insert(argv.end(), {"-P", ppdPath});
  return Run(argv).status == 0;
}

std::map<std::string, std::string> CupsServer::JobAttributes(int id) const {
  std::map<std::string, std::string> result;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
               ("ipp://localhost/jobs/" + std::to_string(id)).c_str());
  ipp_t* response = Request(socket_, request);
  for (ipp_attribute_t* a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    char value[2048];
    if (ippGetName(a) && ippGetGroupTag(a) == IPP_TAG_JOB && ippAttributeString(a, value, sizeof value))
      result[ippGetName(a)] = value;
  }
  ippDelete(response);
  return result;
}

std::vector<int> CupsServer::Jobs(const std::string& printer) const {
  std::vector<int> ids;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               ("ipp://localhost/printers/" + printer).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
  ipp_t* response = Request(socket_, request);
  for (ipp_attribute_t* a = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER); a;
       a = ippFindNextAttribute(response, "job-id", IPP_TAG_INTEGER))
    ids.push_back(ippGetInteger(a, 0));
  ippDelete(response);
  return ids;
}

}  // namespace testing
}  // namespace tarvell
