#include "cli/OutputFile.h"

#include <fcntl.h>
#include <strings.h>
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

// "a, b or c"
std::string OneOf(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return out;
}

}  // namespace

const std::vector<OutputFormat>& OutputFormats() {
  using imaging::ImageFormat;
  static const std::vector<OutputFormat> formats = {
      {"tiff", "TIFF", {".tif", ".tiff"}, true, ImageFormat::kPng},
      {"png", "PNG", {".png"}, false, ImageFormat::kPng},
      {"jpeg", "JPEG", {".jpg", ".jpeg"}, false, ImageFormat::kJpeg},
      {"pdf", "PDF", {".pdf"}, false, ImageFormat::kPdf},
      {"pnm", "PNM", {".pnm"}, false, ImageFormat::kPnm},
  };
  return formats;
}

std::string OutputFormatList(bool extensions) {
  std::vector<std::string> words;
  for (const OutputFormat& format : OutputFormats()) {
    if (extensions)
      words.insert(words.end(), format.extensions.begin(), format.extensions.end());
    else
      words.push_back(format.name);
  }
  return OneOf(words);
}

const OutputFormat* ChooseOutputFormat(const std::string& path, const std::string* formatOption, std::string* error) {
  if (formatOption) {
    for (const OutputFormat& format : OutputFormats())
      if (strcasecmp(formatOption->c_str(), format.name) == 0) return &format;
    *error = "bad --format '" + *formatOption + "': give " + OutputFormatList(false);
    return nullptr;
  }
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return &OutputFormats().front();
  for (const OutputFormat& format : OutputFormats())
    for (const std::string& extension : format.extensions)
      if (strcasecmp(base.c_str() + dot, extension.c_str()) == 0) return &format;
  *error = "cannot tell the format of '" + path + "' from its name: end it in " + OutputFormatList(true) +
           ", or give --format " + OutputFormatList(false);
  return nullptr;
}

bool OutputFile::Open(const std::string& target, std::string* error) {
  target_ = target;
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  struct stat st;
  if (!target.empty() && (base.empty() || (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
    *error = "'" + target + "' is a folder: give a file name, e.g. -o " + dir + (base.empty() ? "" : base + "/") +
             "scan.tiff";
    return false;
  }
  temp_ = dir + "." + (base.empty() ? "scan" : base) + ".XXXXXX";
  std::vector<char> name(temp_.begin(), temp_.end());
  name.push_back('\0');
  fd_ = mkstemp(name.data());
  if (fd_ < 0) {
    const std::string shown = dir.size() > 1 ? dir.substr(0, dir.size() - 1) : dir;
    const std::string folder = dir.empty() ? "the working folder" : "the folder '" + shown + "'";
    *error = "cannot write " + (target.empty() ? "the scan" : "'" + target + "'") + ": " +
             (errno == ENOENT    ? folder + " does not exist"
              : errno == ENOTDIR ? "'" + shown + "' is not a folder"
                                 : std::string(std::strerror(errno)) + " in " + folder);
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
