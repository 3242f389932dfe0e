// SPDX-License-Identifier: MIT
#include "signals.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace vpad {
namespace {

int gSignalFd = -1;
sigset_t gStartMask;
bool gMaskSaved = false;

// Within this, the same signal from the same sender counts once.
constexpr auto kSameSignal = std::chrono::milliseconds(250);

}  // namespace

bool Interrupt::ending() const { return std::find(std::begin(kEndingSignals), std::end(kEndingSignals), sig) != std::end(kEndingSignals); }

void interruptOnSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : kInterruptingSignals) sigaddset(&set, sig);
  for (const int sig : kEndingSignals) sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, gMaskSaved ? nullptr : &gStartMask);
  gMaskSaved = true;
  if (gSignalFd < 0) gSignalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopSignals::Reaction StopSignals::take(const Interrupt &sig) {
  const auto now = std::chrono::steady_clock::now();
  // The kernel names no sender when it kept no record of the signal
  // (the same signal was sent again before the first was taken, say).
  const bool sameSender = first.sender == sig.sender || (sig.sender == 0 && !sig.fromKernel);
  if (sig.sig == 0 || (first.sig == sig.sig && sameSender && now - firstAt < kSameSignal)) return Reaction::Repeat;
  if (first.sig != 0) return Reaction::Escalate;
  first = sig;
  firstAt = now;
  return Reaction::PassOn;
}

int interruptFd() { return gSignalFd; }

bool interruptPending() {
  if (gSignalFd < 0) return false;
  pollfd p{gSignalFd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

Interrupt takeInterrupt() {
  Interrupt taken;
  signalfd_siginfo info{};
  if (gSignalFd >= 0 && read(gSignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    taken.sig = static_cast<int>(info.ssi_signo);
    taken.sender = static_cast<pid_t>(info.ssi_pid);
    taken.fromKernel = info.ssi_code == SI_KERNEL;
  }
  return taken;
}

void restoreSignalMask() {
  if (gMaskSaved) sigprocmask(SIG_SETMASK, &gStartMask, nullptr);
}

void dieBy(int sig) {
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  kill(getpid(), sig);  // pending until unblocked, then it ends the process
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + sig);     // a signal whose default is to be ignored
}

}  // namespace vpad
