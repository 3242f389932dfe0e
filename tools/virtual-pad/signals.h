// SPDX-License-Identifier: MIT
// The signals that stop the tool, taken without ever losing one.
//
// They are blocked from the start and read from a signalfd that every
// wait polls, so that a signal which comes between a look and a wait is
// still there when the wait begins: no wait can sleep through it.
#pragma once

#include <chrono>
#include <csignal>
#include <sys/types.h>

namespace vpad {

// The signals the tool passes on to COMMAND and all it started.
constexpr int kInterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Other signals whose default is to end a process: the tool ends by them
// too, but first puts the user's terminal back and ends COMMAND's tree.
constexpr int kEndingSignals[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGPIPE,
                                  SIGXCPU, SIGXFSZ, SIGPOLL, SIGPWR,    SIGSTKFLT};

// One signal as it reached the tool.
struct Interrupt {
  int sig = 0;              // 0: none
  pid_t sender = 0;         // the process that sent it; 0 from the kernel
  bool fromKernel = false;  // sent by the kernel: a terminal's Ctrl-C, a hang-up
  bool ending() const;      // one of kEndingSignals
};

// The stop signals that come while COMMAND is asked to end. The first is
// passed on. The same signal from the same sender at once is that signal
// again: timeout(1), for one, sends it to the tool and then to its whole
// process group. Any other is the user's second, which ends everything.
struct StopSignals {
  enum class Reaction { PassOn, Repeat, Escalate };
  Reaction take(const Interrupt &sig);
  Interrupt first;
  std::chrono::steady_clock::time_point firstAt;
};

// Blocks both lists of signals in this process and opens the descriptor
// the waits poll. The mask the process had before goes back in every
// program started afterwards (see restoreSignalMask).
void interruptOnSignals();

// The descriptor that is readable while a signal waits to be taken; -1
// before interruptOnSignals.
int interruptFd();

// True while a signal waits to be taken.
bool interruptPending();

// Takes the signal that waits, if any.
Interrupt takeInterrupt();

// In a child about to exec: the signal mask the process started with.
void restoreSignalMask();

// Ends this process by sig, as it would have ended had sig not been
// blocked.
[[noreturn]] void dieBy(int sig);

}  // namespace vpad
