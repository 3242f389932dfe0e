// SPDX-License-Identifier: MIT
// Measures what exPin costs on the virtual pad, and what the pad costs:
// - exPin's CPU for a whole run, beside a minimal C program that makes
//   the same system calls (see baseline.c);
// - exPin's CPU per key and while it waits, and its peak resident memory;
// - the pad's pacing: the time per key typed to exPin directly and
//   through a shell, and the pad's own CPU while a program is busy
//   before its first read.
// CPU comes from /proc/PID/schedstat (nanoseconds), memory from VmHWM, so
// the figures do not depend on clock ticks. Each figure is the median of
// the runs, with the lowest and highest beside it.
//
//   expin_bench [--runs N] [--check] EXPIN
//
// With --check the exit status is 1 when a figure is over its budget.

#include "vpad.h"

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
constexpr double kShellPacingBudget = 2;       // through a shell, at most twice a direct child's time
constexpr int kLongEntry = 200;
constexpr int kPacedKeys = 300;

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// This process's own CPU so far, in microseconds.
double ownCpuUs() { return static_cast<double>(vpad::proc::cpuNs(getpid())) / 1000; }

// One measured run of a program on the pad. It stops just before its
// exec, in the pad's namespace; the CPU that the namespace cost is read at
// that stop, so only the program's own run is counted.
class Run {
 public:
  explicit Run(std::vector<std::string> args) : args_(std::move(args)) {
    std::string why;
    int status = 0;
    std::vector<char *> argv;
    for (std::string &a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    vpad::Launch launch;
    launch.argv = argv.data();
    launch.stdio.out = devnull;
    launch.stopBeforeExec = true;
    if (!vpad::openPad(pad_, why) || !vpad::start(pad_, launch, why, status)) {
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
    vpad::closePad(pad_);
  }
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  void type(const std::string &keys) {
    if (vpad::type(pad_, keys, kTimeoutMs) == vpad::Wait::TimedOut) {
      std::fprintf(stderr, "expin_bench: %s did not take its keys\n", args_[0].c_str());
      std::exit(2);
    }
  }
  void waitReading() { vpad::waitReading(pad_, kTimeoutMs); }
  // The program's CPU so far, in microseconds; it must be blocked or ended.
  double cpuUs() const { return static_cast<double>(vpad::proc::cpuNs(pad_.pid) - start_) / 1000; }
  std::uint64_t rssKiB() const { return vpad::proc::peakRssKiB(pad_.pid); }
  void end() { vpad::waitEnded(pad_, kTimeoutMs); }

 private:
  std::vector<std::string> args_;
  vpad::Pad pad_;
  std::uint64_t start_ = 0;
};

// CPU for a whole run: start, four keys and "#", exit.
double wholeRunUs(const char *program) {
  Run run({program});
  run.type("1234#");
  run.end();
  return run.cpuUs();
}

// Time per key, typing kPacedKeys keys to whatever reads the port.
double pacedKeyUs(const std::vector<std::string> &args) {
  Run run(args);
  run.type("1");
  const auto start = Clock::now();
  run.type(std::string(kPacedKeys, '5'));
  const double us = usSince(start) / kPacedKeys;
  run.type("*");
  run.end();
  return us;
}

struct Spread {
  std::vector<double> v;
  void add(double x) { v.push_back(x); }
  double median() {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  double lowest() {
    std::sort(v.begin(), v.end());
    return v.front();
  }
  // "median (lowest-highest)"
  std::string text(const char *format) {
    const double m = median();
    char out[128];
    const std::string f = std::string(format) + " (" + format + "-" + format + ")";
    std::snprintf(out, sizeof out, f.c_str(), m, v.front(), v.back());
    return out;
  }
};

}  // namespace

int main(int argc, char **argv) {
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

  Spread run;
  Spread baseline;
  Spread key;
  Spread wait;
  Spread rss;
  Spread direct;
  Spread shell;
  Spread pacerWait;
  const std::string throughShell = std::string(expin) + "; true";
  for (int i = 0; i < runs; ++i) {
    run.add(wholeRunUs(expin));
    baseline.add(wholeRunUs(BASELINE_PATH));
    {
      Run r({expin});
      r.type("1234");
      rss.add(static_cast<double>(r.rssKiB()));
      const double before = r.cpuUs();
      r.type(std::string(kLongEntry, '5'));
      const double afterKeys = r.cpuUs();
      key.add((afterKeys - before) / kLongEntry);
      std::this_thread::sleep_for(std::chrono::seconds(1));  // exPin waits for a key
      wait.add(r.cpuUs() - afterKeys);
      r.type("*");
      r.end();
    }
    direct.add(pacedKeyUs({expin}));
    shell.add(pacedKeyUs({"sh", "-c", throughShell}));
    {
      // The pad looks for the first read of a program busy for a second.
      Run r({"sh", "-c", "sleep 1; exec " + std::string(expin)});
      const double before = ownCpuUs();
      r.waitReading();
      pacerWait.add(ownCpuUs() - before);
      r.type("*");
      r.end();
    }
  }

  const double keyUs = key.median();
  const double waitUs = wait.median();
  const double rssKiB = rss.median();
  const double shellRatio = shell.median() / direct.median();
  // Checked on the quickest runs: the time per key is mostly the
  // scheduler's, and a busy moment of the machine is no cost of the pad's.
  const double quickestRatio = shell.lowest() / direct.lowest();
  std::printf("exPin on the virtual pad, median (lowest-highest) of %d runs; a byte takes %.0f us at 2400 baud, 8N1\n",
              runs, kByteUs);
  std::printf("  CPU for a whole run (exec, loading, 4 keys, \"#\", exit):  %s us\n", run.text("%.0f").c_str());
  std::printf("    the same system calls from a minimal C program:        %s us\n", baseline.text("%.0f").c_str());
  std::printf("  CPU per key, over an entry of %d keys:                  %s us (%.3f%% of the line time; budget %.0f us)\n",
              kLongEntry, key.text("%.2f").c_str(), 100 * keyUs / kByteUs, kKeyBudgetUs);
  std::printf("  CPU while it waits 1 s for a key:                        %s us (budget: none)\n",
              wait.text("%.1f").c_str());
  std::printf("  peak resident memory:                                    %s KiB (budget %llu KiB)\n",
              rss.text("%.0f").c_str(), static_cast<unsigned long long>(kRssBudgetKiB));
  std::printf("the pad's pacing, %d keys:\n", kPacedKeys);
  std::printf("  time per key to exPin as a direct child:                 %s us\n", direct.text("%.0f").c_str());
  std::printf("  time per key to exPin under sh -c 'exPin; true':         %s us (%.2f times; quickest runs %.2f times, budget %.0f)\n",
              shell.text("%.0f").c_str(), shellRatio, quickestRatio, kShellPacingBudget);
  std::printf("  the pad's CPU while a program is busy 1 s before it reads: %s us\n", pacerWait.text("%.0f").c_str());
  const bool within = keyUs < kKeyBudgetUs && waitUs == 0 && rssKiB < kRssBudgetKiB && quickestRatio < kShellPacingBudget;
  std::printf("%s\n", within ? "within budget" : "OVER BUDGET");
  return check && !within ? 1 : 0;
}
