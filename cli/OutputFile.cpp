#include "cli/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarvell {
namespace ica {
namespace {

// The temporary file being written, removed if the user interrupts the program meanwhile.
char gPendingFile[4096];
volatile sig_atomic_t gPending = 0;

void RemovePendingAndDie(int signal) {
  if (gPending) ::unlink(gPendingFile);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void WatchPending(const std::string& path) {
  if (path.size() >= sizeof gPendingFile) return;
  std::memcpy(gPendingFile, path.c_str(), path.size() + 1);
  gPending = 1;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemovePendingAndDie);
}

void ForgetPending() {
  gPending = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
}

}  // namespace

bool OutputFile::Open(const std::string& target, std::string* error) {
  target_ = target;
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  temp_ = dir + "." + base + ".XXXXXX";
  std::vector<char> name(temp_.begin(), temp_.end());
  name.push_back('\0');
  fd_ = mkstemp(name.data());
  if (fd_ < 0) {
    *error = "cannot create a file beside '" + target + "': " + std::strerror(errno);
    temp_.clear();
    return false;
  }
  temp_ = name.data();
  WatchPending(temp_);
  // mkstemp makes the file private; give it the mode any new file of the user's gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd_, 0666 & ~mask);
  return true;
}

bool OutputFile::Write(const UInt8* bytes, size_t count, std::string* error) {
  while (count > 0) {
    const ssize_t n = ::write(fd_, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write '" + target_ + "': " + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    bytes += n;
    count -= size_t(n);
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    *error = "cannot write '" + target_ + "': " + std::strerror(errno);
    return false;
  }
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    *error = "cannot write '" + target_ + "': " + std::strerror(errno);
    return false;
  }
  temp_.clear();
  ForgetPending();
  return true;
}

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    ForgetPending();
  }
  temp_.clear();
}

}  // namespace ica
}  // namespace tarvell
