// What a person waits for when scanning through the SANE backend, on a simulated scanner that
// runs in real time at a set pace (the backend loaded as a frontend loads it, the simulated
// scanner in the same process):
//   StartToEof     a 300 dpi grey letter page on an idle scanner: time from sane_start to EOF
//                  against the page's bytes divided by the pace (ratio 1.0 is the wire's own
//                  speed), and the time to the first byte
//   Cancel         sane_cancel in the middle of that page: time until sane_read says CANCELLED
//   PeakMemory     a whole-glass 600 dpi grey scan read to its end (in a child process of its
//                  own): peak resident memory as a multiple of the image
//   CloseMidPage   that page closed at a tenth, with or without sane_cancel first: the time
//                  sane_close takes and the peak resident memory
//   CloseBesideAnotherHandle
//                  a paced page closed at a tenth while a second handle is in use: the close's
//                  time, the second handle's calls answered meanwhile and the longest wait
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sane/SaneOptions.h"
#include "tests/sane/SaneApi.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarvell::sane::testing::SaneApi;
using namespace tarvell::sane;

constexpr double kPace = 20e6;  // bytes a second

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The backend with a private configuration holding `simulate` with `options`.
class Backend {
 public:
  explicit Backend(const std::string& options) {
    char dir[] = "/tmp/tarvell-sane-bench-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    dir_ = dir;
    std::ofstream(dir_ + "/tarvell.conf") << "simulate " << options << "\n";
    setenv("SANE_CONFIG_DIR", dir_.c_str(), 1);
    std::string error;
    if (!api_.Load(TARVELL_SANE_BACKEND, &error) || api_.init(nullptr, nullptr) != SANE_STATUS_GOOD ||
        api_.open("", &handle_) != SANE_STATUS_GOOD)
      std::abort();
  }
  ~Backend() {
    Close();
    api_.exit();
    api_.Unload();
    std::remove((dir_ + "/tarvell.conf").c_str());
    rmdir(dir_.c_str());
  }
  // Grey at `dpi` over `width` x `height` millimetres.
  void Choose(SANE_Int dpi, double width, double height) {
    char mode[16] = "Gray";
    Set(kOptMode, mode);
    Set(kOptResolution, &dpi);
    SANE_Word br[2] = {SANE_FIX(width), SANE_FIX(height)};
    Set(kOptBrX, &br[0]);
    Set(kOptBrY, &br[1]);
  }
  void Close() {
    if (handle_) api_.close(handle_);
    handle_ = nullptr;
  }
  // Closes and opens the device again: the close waits for a job still finishing on the device,
  // so the next scan starts on an idle scanner.
  void Reopen() {
    Close();
    Open();
  }
  void Open() {
    if (api_.open("", &handle_) != SANE_STATUS_GOOD) std::abort();
  }
  SANE_Parameters Parameters() {
    SANE_Parameters p{};
    api_.get_parameters(handle_, &p);
    return p;
  }
  const SaneApi& api() const { return api_; }
  SANE_Handle handle() const { return handle_; }

 private:
  void Set(SANE_Int option, void* value) {
    if (api_.control_option(handle_, option, SANE_ACTION_SET_VALUE, value, nullptr) != SANE_STATUS_GOOD) std::abort();
  }
  SaneApi api_;
  SANE_Handle handle_ = nullptr;
  std::string dir_;
};

void BM_StartToEof(benchmark::State& state) {
  Backend backend("pace=20M silence=200");
  backend.Choose(300, 215.9, 279.4);
  const SANE_Parameters p = backend.Parameters();
  const double bytes = double(p.bytes_per_line) * p.lines;
  std::vector<SANE_Byte> buffer(65536);
  double ratio = 0, first = 0;
  for (auto _ : state) {
    state.PauseTiming();
    backend.Reopen();
    backend.Choose(300, 215.9, 279.4);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) std::abort();
    Clock::time_point firstByte{};
    SANE_Int n = 0;
    SANE_Status status;
    while ((status = backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n)) ==
           SANE_STATUS_GOOD)
      if (firstByte == Clock::time_point{} && n > 0) firstByte = Clock::now();
    const double elapsed = Seconds(Clock::now() - start);
    if (status != SANE_STATUS_EOF) std::abort();
    state.SetIterationTime(elapsed);
    ratio += elapsed / (bytes / kPace);
    first += Seconds(firstByte - start);
    backend.api().cancel(backend.handle());
  }
  state.counters["ratio"] = ratio / double(state.iterations());
  state.counters["first_byte_ms"] = 1000 * first / double(state.iterations());
  state.counters["page_MB"] = bytes / 1e6;
}
BENCHMARK(BM_StartToEof)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_Cancel(benchmark::State& state) {
  Backend backend("pace=20M silence=200");
  backend.Choose(300, 215.9, 279.4);
  const SANE_Parameters p = backend.Parameters();
  const size_t quarter = size_t(p.bytes_per_line) * size_t(p.lines) / 4;
  std::vector<SANE_Byte> buffer(65536);
  double nextStart = 0;
  for (auto _ : state) {
    if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) std::abort();
    size_t got = 0;
    SANE_Int n = 0;
    while (got < quarter &&
           backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n) == SANE_STATUS_GOOD)
      got += size_t(n);
    const Clock::time_point cancel = Clock::now();
    backend.api().cancel(backend.handle());
    if (backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n) != SANE_STATUS_CANCELLED)
      std::abort();
    state.SetIterationTime(Seconds(Clock::now() - cancel));
    // The scanner is ready again once the rest of the page and the job's last calls are through.
    const Clock::time_point again = Clock::now();
    if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) std::abort();
    nextStart += Seconds(Clock::now() - again);
    backend.api().cancel(backend.handle());
    backend.api().read(backend.handle(), buffer.data(), 1, &n);
  }
  state.counters["next_start_ms"] = 1000 * nextStart / double(state.iterations());
}
BENCHMARK(BM_Cancel)->UseManualTime()->Iterations(3)->Unit(benchmark::kMicrosecond);

// Runs `measure` in a child process of its own (so that its peak memory is its own) and returns
// the figures it wrote; aborts when it gave none.
template <size_t N, class Measure>
std::array<double, N> InChild(Measure measure) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const std::array<double, N> result = measure();
    if (write(fds[1], result.data(), sizeof result) != sizeof result) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  std::array<double, N> result{};
  const bool got = read(fds[0], result.data(), sizeof result) == sizeof result && result[0] >= 0;
  close(fds[0]);
  waitpid(child, nullptr, 0);
  if (!got) std::abort();
  return result;
}

double PeakBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) * 1024;
}

// Peak resident memory of a child that scans the whole glass at 600 dpi in grey, against the
// image's size. `options` pace the scanner or leave it on virtual time (as fast as it goes: the
// frontend then falls behind the device, the worst case for what is held in between).
void PeakMemory(benchmark::State& state, const char* options) {
  double multiple = 0;
  for (auto _ : state) {
    multiple = InChild<1>([options] {
      Backend backend(options);
      backend.Choose(600, 215.9, 296.9);
      const SANE_Parameters p = backend.Parameters();
      std::vector<SANE_Byte> buffer(32768);
      SANE_Int n = 0;
      if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) return std::array<double, 1>{-1};
      while (backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n) == SANE_STATUS_GOOD) {
      }
      return std::array<double, 1>{PeakBytes() / (double(p.bytes_per_line) * p.lines)};
    })[0];
  }
  state.counters["peak_rss_x_image"] = multiple;
}
BENCHMARK_CAPTURE(PeakMemory, Paced, "pace=100M silence=50")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PeakMemory, VirtualTime, "")->Iterations(1)->Unit(benchmark::kMillisecond);

// A whole-glass 600 dpi grey page left at a tenth (in a child of its own): the time sane_close
// takes (with sane_cancel first, or without) and the child's peak resident memory in MB when
// it closes and once it has closed, on virtual time, where the device runs ahead of the frontend.
void CloseMidPage(benchmark::State& state, bool cancelFirst) {
  std::array<double, 3> figures{};
  for (auto _ : state) {
    figures = InChild<3>([cancelFirst] {
      Backend backend("");
      backend.Choose(600, 215.9, 296.9);
      const SANE_Parameters p = backend.Parameters();
      const size_t tenth = size_t(p.bytes_per_line) * size_t(p.lines) / 10;
      std::vector<SANE_Byte> buffer(32768);
      if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) return std::array<double, 3>{-1, 0, 0};
      size_t got = 0;
      SANE_Int n = 0;
      while (got < tenth &&
             backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n) == SANE_STATUS_GOOD)
        got += size_t(n);
      const double before = PeakBytes() / 1e6;
      const Clock::time_point close = Clock::now();
      if (cancelFirst) backend.api().cancel(backend.handle());
      backend.Close();
      return std::array<double, 3>{Seconds(Clock::now() - close), before, PeakBytes() / 1e6};
    });
    state.SetIterationTime(figures[0]);
  }
  state.counters["peak_rss_at_close_MB"] = figures[1];
  state.counters["peak_rss_MB"] = figures[2];
}
BENCHMARK_CAPTURE(CloseMidPage, Close, false)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CloseMidPage, CancelThenClose, true)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// sane_close of a paced 300 dpi grey letter page at a tenth, on another thread, while the frontend
// asks a second scanner for its parameters over and over: the time the close takes, and how many
// of those calls are answered meanwhile and the longest one waits (on a loaded machine, also for
// the processor).
void BM_CloseBesideAnotherHandle(benchmark::State& state) {
  Backend backend("pace=20M silence=200\nsimulate");  // the first scanner paced, a second one
  SANE_Handle other = nullptr;
  if (backend.api().open("", &other) != SANE_STATUS_GOOD) std::abort();
  std::vector<SANE_Byte> buffer(65536);
  double worst = 0, calls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    backend.Choose(300, 215.9, 279.4);
    const SANE_Parameters p = backend.Parameters();
    const size_t tenth = size_t(p.bytes_per_line) * size_t(p.lines) / 10;
    if (backend.api().start(backend.handle()) != SANE_STATUS_GOOD) std::abort();
    size_t got = 0;
    SANE_Int n = 0;
    while (got < tenth &&
           backend.api().read(backend.handle(), buffer.data(), SANE_Int(buffer.size()), &n) == SANE_STATUS_GOOD)
      got += size_t(n);
    state.ResumeTiming();
    const Clock::time_point close = Clock::now();
    std::atomic<bool> closed{false};
    double closing = 0;
    std::thread closer([&] {
      backend.Close();
      closing = Seconds(Clock::now() - close);
      closed = true;
    });
    SANE_Parameters q{};
    do {
      const Clock::time_point call = Clock::now();
      backend.api().get_parameters(other, &q);
      worst = std::max(worst, Seconds(Clock::now() - call));
      ++calls;
    } while (!closed.load());
    closer.join();
    state.SetIterationTime(closing);
    state.PauseTiming();
    backend.Open();
    state.ResumeTiming();
  }
  backend.api().close(other);
  state.counters["other_call_worst_ms"] = 1000 * worst;
  state.counters["other_calls_per_close"] = calls / double(state.iterations());
}
BENCHMARK(BM_CloseBesideAnotherHandle)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
