// Measures what exPin costs on the virtual pad: CPU per run, per key and
// while it waits, and its peak resident memory. CPU comes from
// /proc/PID/schedstat (nanoseconds), memory from VmHWM, so the figures do
// not depend on clock ticks.
//
//   expin_bench [--runs N] [--check] EXPIN
//
// With --check the exit status is 1 when a figure is over its budget.

#include "pad.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kTimeoutMs = 20000;
constexpr double kByteUs = 10.0 / 2400 * 1e6;  // 8N1: ten bits a byte at 2400 baud
constexpr double kKeyBudgetUs = 40;            // 1% of the line's time per byte
constexpr std::uint64_t kRssBudgetKiB = 2048;
constexpr int kLongEntry = 200;
constexpr const char *kStopThenExec = "--stop-then-exec";

struct Figures {
  double runUs = 0;
  double keyUs = 0;
  double waitUs = 0;
  std::uint64_t rssKiB = 0;
};

// One measured run of exPin. The bench itself goes first into the pad's
// namespace and stops there; the CPU that the namespace and the tool's
// exec cost is read at that stop, so only exPin's own run is counted.
class Run {
 public:
  explicit Run(const char *expin) {
    std::string why;
    int status = 0;
    char self[] = "/proc/self/exe";
    std::vector<char *> argv{self, const_cast<char *>(kStopThenExec), const_cast<char *>(expin), nullptr};
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!vpad::open(pad_, why) || !vpad::start(pad_, argv.data(), vpad::Port::Pad, {-1, devnull, -1}, why, status)) {
      std::fprintf(stderr, "expin_bench: %s\n", why.c_str());
      std::exit(2);
    }
    ::close(devnull);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pad_.pid), &info, WSTOPPED | WNOWAIT);
    start_ = vpad::proc::cpuNs(pad_.pid);
    kill(pad_.pid, SIGCONT);
  }
  ~Run() {
    if (pad_.pid > 0) {
      kill(pad_.pid, SIGKILL);
      vpad::reap(pad_);
    }
    vpad::close(pad_);
  }
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  void type(const std::string &keys) {
    if (vpad::type(pad_, keys, kTimeoutMs) == vpad::Wait::TimedOut) {
      std::fprintf(stderr, "expin_bench: exPin did not take its keys\n");
      std::exit(2);
    }
  }
  void waitReading() { vpad::waitReading(pad_, kTimeoutMs); }
  // CPU so far, in microseconds; the run must be blocked or ended.
  double cpuUs() const { return static_cast<double>(vpad::proc::cpuNs(pad_.pid) - start_) / 1000; }
  std::uint64_t rssKiB() const { return vpad::proc::peakRssKiB(pad_.pid); }
  void end() { vpad::waitEnded(pad_, kTimeoutMs); }

 private:
  vpad::Pad pad_;
  std::uint64_t start_ = 0;
};

Figures measureOnce(const char *expin) {
  Figures f;
  {
    Run run(expin);
    run.type("1234");
    f.rssKiB = run.rssKiB();
    run.type("#");
    run.end();
    f.runUs = run.cpuUs();
  }
  {
    Run run(expin);
    run.type("1");
    const double before = run.cpuUs();
    run.type(std::string(kLongEntry, '5'));
    const double afterKeys = run.cpuUs();
    f.keyUs = (afterKeys - before) / kLongEntry;
    std::this_thread::sleep_for(std::chrono::seconds(1));  // exPin waits for a key
    f.waitUs = run.cpuUs() - afterKeys;
    run.type("*");
    run.end();
  }
  return f;
}

template <typename T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], kStopThenExec) == 0) {
    raise(SIGSTOP);  // returns when the bench lets it go on
    // cppcheck-suppress unreachableCode ; raise(SIGSTOP) returns after SIGCONT
    execv(argv[2], argv + 2);
    return 127;
  }
  int runs = 7;
  bool check = false;
  const char *expin = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, static_cast<int>(std::strtol(argv[++i], nullptr, 10)));
    } else if (std::strcmp(argv[i], "--check") == 0) {
      check = true;
    } else {
      expin = argv[i];
    }
  }
  if (expin == nullptr) {
    std::fprintf(stderr, "usage: expin_bench [--runs N] [--check] EXPIN\n");
    return 2;
  }

  std::vector<double> run;
  std::vector<double> key;
  std::vector<double> wait;
  std::vector<std::uint64_t> rss;
  for (int i = 0; i < runs; ++i) {
    const Figures f = measureOnce(expin);
    run.push_back(f.runUs);
    key.push_back(f.keyUs);
    wait.push_back(f.waitUs);
    rss.push_back(f.rssKiB);
  }
  const Figures m{median(run), median(key), median(wait), median(rss)};
  std::printf("exPin on the virtual pad, median of %d runs (a byte takes %.0f us at 2400 baud, 8N1):\n", runs, kByteUs);
  std::printf("  CPU for a whole run (start, 4 keys, \"#\", exit):  %8.1f us\n", m.runUs);
  std::printf("  CPU per key, over an entry of %d keys:          %8.2f us  (%.3f%% of the line time; budget %.0f us)\n",
              kLongEntry, m.keyUs, 100 * m.keyUs / kByteUs, kKeyBudgetUs);
  std::printf("  CPU while it waits 1 s for a key:                %8.1f us  (budget: none)\n", m.waitUs);
  std::printf("  peak resident memory:                            %8llu KiB (budget %llu KiB)\n",
              static_cast<unsigned long long>(m.rssKiB), static_cast<unsigned long long>(kRssBudgetKiB));
  const bool within = m.keyUs < kKeyBudgetUs && m.waitUs == 0 && m.rssKiB < kRssBudgetKiB;
  std::printf("%s\n", within ? "within budget" : "OVER BUDGET");
  return check && !within ? 1 : 0;
}
