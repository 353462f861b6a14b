#include "tests/support/Program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tarvell::testing {

namespace {

void Drain(int& fd, std::string& into) {
  if (fd < 0) return;
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, size_t(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  ProgramRun run;
  int out[2], err[2], in[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
    run.err = "cannot start the program";
    return run;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!options.dir.empty() && chdir(options.dir.c_str()) != 0) _exit(126);
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!options.input.empty()) {
    signal(SIGPIPE, SIG_IGN);
    (void)!write(in[1], options.input.data(), options.input.size());
  }
  close(in[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    run.err = "cannot start the program";
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int fds[2] = {out[0], err[0]};
  int wstatus = 0;
  bool reaped = false;
  while (!reaped || fds[0] >= 0 || fds[1] >= 0) {
    pollfd p[2];
    nfds_t n = 0;
    for (int fd : fds)
      if (fd >= 0) p[n++] = {fd, POLLIN, 0};
    if (n > 0) poll(p, n, 10);
    Drain(fds[0], run.out);
    Drain(fds[1], run.err);
    if (options.whileRunning) options.whileRunning();
    if (!reaped && waitpid(pid, &wstatus, WNOHANG) == pid) reaped = true;
    if (!reaped && std::chrono::steady_clock::now() > deadline) {
      run.timedOut = true;
      kill(pid, SIGKILL);
    }
    if (reaped && n == 0) break;
    if (n == 0 && !reaped) usleep(10000);
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
  return run;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  std::string p = *this / name;
  std::ofstream(p, std::ios::binary) << text;
  return p;
}

void AddAsanOption(std::vector<std::string>& env, const std::string& option) {
  for (std::string& e : env)
    if (e.rfind("ASAN_OPTIONS=", 0) == 0) {
      e += (e.size() > 13 ? ":" : "") + option;
      return;
    }
  const char* current = getenv("ASAN_OPTIONS");
  env.push_back("ASAN_OPTIONS=" + std::string(current && *current ? current + std::string(":") : "") + option);
}

}  // namespace tarvell::testing
