// SPDX-License-Identifier: MIT
#include "pacing.h"

#include "pad.h"
#include "signals.h"

#include <cerrno>
#include <optional>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vpad {
namespace {

// Sleeps at most ns nanoseconds (-1: without limit), waking at once when
// a signal comes, the program ends, or it writes to the port.
void rest(const Pad &pad, long long ns) {
  pollfd fds[] = {{interruptFd(), POLLIN, 0}, {pad.pidfd, POLLIN, 0}, {pad.master, POLLIN, 0}};
  const timespec limit{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  ppoll(fds, 3, ns < 0 ? nullptr : &limit, nullptr);
}

constexpr long long kNsPerMs = 1'000'000;

// Pauses between looks at /proc: short at first, so that a key goes out
// within a fraction of a millisecond of the program reaching its read,
// then longer, so that a program busy with something else for a while is
// watched at little cost.
struct Pause {
  void operator()(const Pad &pad, const Deadline &deadline) {
    const long long left = deadline.msLeft() * kNsPerMs;
    rest(pad, left >= 0 && left < ns ? left : ns);
    ns = ns * 2 > kMaxNs ? kMaxNs : ns * 2;
  }
  static constexpr long long kMaxNs = 50 * kNsPerMs;
  long long ns = 20'000;
};

// Whatever the program writes to the port is read and dropped, so that
// it never waits for room on the line.
void drain(int master) {
  char sink[4096];
  while (master >= 0 && read(master, sink, sizeof sink) > 0) {
  }
}

bool ended(const Pad &pad) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pad.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pad.pid;
}

// What ends every wait early: a signal, or the program's end. Each look
// also drains the line.
std::optional<Wait> interrupted(const Pad &pad) {
  if (interruptPending()) return Wait::Interrupted;
  drain(pad.master);
  if (ended(pad)) return Wait::Ended;
  return std::nullopt;
}

// Writes all of bytes to the master, waiting for room when the line is
// full (the program drains it as it reads).
std::optional<Wait> writeAll(const Pad &pad, std::string_view bytes, const Deadline &deadline) {
  while (!bytes.empty()) {
    const ssize_t n = write(pad.master, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      if (const auto w = interrupted(pad)) return w;
      if (deadline.passed()) return Wait::TimedOut;
      pollfd room{pad.master, POLLOUT, 0};
      poll(&room, 1, 10);
    } else if (n < 0 && errno != EINTR) {
      return Wait::Ended;
    }
  }
  return std::nullopt;
}

Wait waitReading(const Pad &pad, const Deadline &deadline) {
  for (Pause pause;; pause(pad, deadline)) {
    if (const auto w = interrupted(pad)) return *w;
    if (proc::findReader(pad.readers, pad.pid, pad.device) > 0) return Wait::Reading;
    if (deadline.passed()) return Wait::TimedOut;
  }
}

// Sends bytes once the program waits for input, and waits until the line
// holds none of them and the program waits again, or ends. `sent` tells
// whether they went. Whoever took them, and however, they are taken once
// the line is empty: a process that read a key and ended, a reader of
// several bytes at once.
Wait deliver(const Pad &pad, std::string_view bytes, const Deadline &deadline, bool &sent) {
  sent = false;
  const Wait ready = waitReading(pad, deadline);
  if (ready != Wait::Reading) return ready;
  const bool held = heldBack(pad.slave);
  if (const auto w = writeAll(pad, bytes, deadline)) return *w;
  sent = true;
  for (Pause pause; !held && unread(pad.slave); pause(pad, deadline)) {
    if (const auto w = interrupted(pad)) return *w;
    if (deadline.passed()) return Wait::TimedOut;
  }
  return waitReading(pad, deadline);
}

}  // namespace

Wait waitReading(const Pad &pad, int timeoutMs) { return waitReading(pad, Deadline(timeoutMs)); }

Wait type(const Pad &pad, std::string_view keys, int timeoutMs, std::size_t *typed) {
  const Deadline deadline(timeoutMs);
  std::size_t sent = 0;
  Wait w = Wait::Reading;
  for (std::size_t i = 0; i < keys.size() && w == Wait::Reading; ++i) {
    bool out = false;
    w = deliver(pad, keys.substr(i, 1), deadline, out);
    sent += out ? 1 : 0;
  }
  if (typed != nullptr) *typed = sent;
  return w;
}

Wait burst(const Pad &pad, std::string_view bytes, int timeoutMs, bool *sent) {
  bool out = false;
  const Wait w = deliver(pad, bytes, Deadline(timeoutMs), out);
  if (sent != nullptr) *sent = out;
  return w;
}

Wait waitEnded(const Pad &pad, int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    if (const auto w = interrupted(pad)) return *w;
    if (deadline.passed()) return Wait::TimedOut;
    const int left = deadline.msLeft();
    rest(pad, (pad.pidfd >= 0 || (left >= 0 && left < kEndLookMs) ? left : kEndLookMs) * kNsPerMs);
  }
}

}  // namespace vpad
