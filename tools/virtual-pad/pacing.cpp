#include "pacing.h"

#include "pad.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vpad {
namespace {

volatile sig_atomic_t gInterrupt = 0;

void onInterrupt(int sig) { gInterrupt = sig; }

using Clock = std::chrono::steady_clock;

struct Deadline {
  explicit Deadline(int ms) : forever(ms < 0), end(Clock::now() + std::chrono::milliseconds(ms)) {}
  bool passed() const { return !forever && Clock::now() >= end; }
  int msLeft() const {
    if (forever) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool forever;
  Clock::time_point end;
};

// Pauses between looks at /proc: short at first, so that a key goes out
// within a fraction of a millisecond of the program reaching its read,
// then longer, so that a program busy with something else for a while is
// watched at little cost.
struct Pause {
  void operator()() {
    const timespec ts{0, ns};
    nanosleep(&ts, nullptr);
    ns = ns * 2 > kMaxNs ? kMaxNs : ns * 2;
  }
  static constexpr long kMaxNs = 50'000'000;
  long ns = 20'000;
};

// Whatever the program writes to the port is read and dropped, so that
// it never waits for room on the line.
void drain(int master) {
  char sink[4096];
  while (read(master, sink, sizeof sink) > 0) {
  }
}

bool ended(const Pad &pad) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pad.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pad.pid;
}

// What ends every wait early: an interrupting signal, or the program's
// end. Each look also drains the line.
std::optional<Wait> interrupted(const Pad &pad) {
  if (gInterrupt != 0) return Wait::Interrupted;
  drain(pad.master);
  if (ended(pad)) return Wait::Ended;
  return std::nullopt;
}

pid_t reader(const Pad &pad) {
  const pid_t roots[2] = {pad.pid, pad.init};
  const pid_t found = proc::readerOf(roots, pad.lastReader, pad.device);
  if (found > 0) pad.lastReader = found;
  return found;
}

// Writes all of bytes to the master, waiting for room when the line is
// full (the program drains it as it reads).
bool writeAll(int master, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      drain(master);
      pollfd room{master, POLLOUT, 0};
      poll(&room, 1, 10);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// True while the port hands over whole lines only: a key then stays with
// the line discipline until the line ends, and the reader reads nothing.
bool lineByLine(const Pad &pad) {
  termios t{};
  return settings(pad, t) && (t.c_lflag & ICANON) != 0;
}

// Sends bytes once the program reads the port, and waits until it has
// read them all and reads again, or ends. `sent` tells whether they went.
Wait deliver(const Pad &pad, std::string_view bytes, int timeoutMs, bool &sent) {
  sent = false;
  const Wait ready = waitReading(pad, timeoutMs);
  if (ready != Wait::Reading) return ready;
  const pid_t by = pad.lastReader;
  const bool held = lineByLine(pad);
  const std::uint64_t before = proc::bytesRead(by);
  if (!writeAll(pad.master, bytes)) return Wait::Ended;
  sent = true;
  const Deadline deadline(timeoutMs);
  for (Pause pause; !held && proc::bytesRead(by) < before + bytes.size(); pause()) {
    if (const auto w = interrupted(pad)) return *w;
    if (kill(by, 0) != 0) return Wait::Ended;  // the reader was a process the program started
    if (deadline.passed()) return Wait::TimedOut;
  }
  return waitReading(pad, deadline.msLeft());
}

}  // namespace

Wait waitReading(const Pad &pad, int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (Pause pause;; pause()) {
    if (const auto w = interrupted(pad)) return *w;
    if (reader(pad) > 0) return Wait::Reading;
    if (deadline.passed()) return Wait::TimedOut;
  }
}

Wait type(const Pad &pad, std::string_view keys, int timeoutMs, std::size_t *typed) {
  std::size_t sent = 0;
  Wait w = Wait::Reading;
  for (std::size_t i = 0; i < keys.size() && w == Wait::Reading; ++i) {
    bool out = false;
    w = deliver(pad, keys.substr(i, 1), timeoutMs, out);
    sent += out ? 1 : 0;
  }
  if (typed != nullptr) *typed = sent;
  return w;
}

Wait burst(const Pad &pad, std::string_view bytes, int timeoutMs) {
  bool sent = false;
  return deliver(pad, bytes, timeoutMs, sent);
}

Wait waitEnded(const Pad &pad, int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    if (const auto w = interrupted(pad)) return *w;
    if (deadline.passed()) return Wait::TimedOut;
    // Wake when the program ends or writes to the port; an interrupting
    // signal interrupts the poll.
    pollfd fds[] = {{pad.pidfd, POLLIN, 0}, {pad.master, POLLIN, 0}};
    const int left = deadline.msLeft();
    poll(fds, 2, pad.pidfd >= 0 || (left >= 0 && left < kEndLookMs) ? left : kEndLookMs);
  }
}

void interruptOnSignals() {
  for (const int sig : kInterruptingSignals) {
    struct sigaction act {};
    act.sa_handler = onInterrupt;  // no SA_RESTART: waits must wake up
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
  }
}

int takeInterrupt() {
  const int sig = gInterrupt;
  gInterrupt = 0;
  return sig;
}

}  // namespace vpad
