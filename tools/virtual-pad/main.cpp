// SPDX-License-Identifier: MIT
// virtual-pad: runs a program against a pretend PIN pad on /dev/ttyS0.
//
//   virtual-pad [options] -- COMMAND [ARGS...]
//
// COMMAND runs in private namespaces where /dev/ttyS0 is a fresh
// pseudo-terminal; the tool plays the pad on the other side. With --keys
// or --burst it sends the given keys, each once COMMAND waits for it;
// without, it passes on what the user types. It exits with COMMAND's
// status, and nothing COMMAND started outlives it.

#include "keyboard.h"
#include "options.h"
#include "vpad.h"
#include "stty_words.h"
#include "uart.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kUsage = 2;

// Passes what arrives on standard input to the pad, key by key, until
// COMMAND ends, a signal comes or the time is up.
vpad::Wait forwardKeys(const vpad::Pad &pad, const vpad::Deadline &deadline) {
  bool input = true;
  for (;;) {
    const vpad::Wait w = vpad::waitEnded(pad, 0);
    if (w != vpad::Wait::TimedOut) return w;
    if (deadline.msLeft() == 0) return vpad::Wait::TimedOut;
    // Sleep until a key comes, COMMAND ends or writes, a signal comes or
    // the time is up; without a pidfd, look for COMMAND's end now and then.
    pollfd fds[] = {{input ? STDIN_FILENO : -1, POLLIN, 0},
                    {pad.pidfd, POLLIN, 0},
                    {pad.master, POLLIN, 0},
                    {vpad::interruptFd(), POLLIN, 0}};
    const int left = deadline.msLeft();
    const int look = pad.pidfd >= 0 ? vpad::kForever : vpad::kEndLookMs;
    poll(fds, 4, left >= 0 && (look < 0 || left < look) ? left : look);
    if (fds[0].revents == 0) continue;
    char keys[256];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n > 0) {
      const vpad::Wait typed = vpad::type(pad, std::string_view(keys, static_cast<std::size_t>(n)), deadline.msLeft());
      if (typed != vpad::Wait::Reading) return typed;
    } else if (n == 0 || errno != EINTR) {
      input = false;  // no more keys; COMMAND may still end by itself
    }
  }
}

void showSettings(const vpad::Pad &pad, const char *command) {
  termios t{};
  if (!vpad::settings(pad, t)) return;
  std::fprintf(stderr, "virtual-pad: /dev/ttyS0 as %s set it:\n", command);
  std::istringstream lines(describe(t));
  for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "  %s\n", line.c_str());
}

// Plays the pad for COMMAND until it ends, a signal comes or the time is
// up; `typed` and `total` count the bytes sent and to send.
vpad::Wait play(vpad::Pad &pad, const Options &opt, const vpad::Deadline &deadline, std::size_t &typed, std::size_t &total) {
  const std::string command = opt.command[0];
  vpad::Wait w = vpad::Wait::Reading;
  if (opt.showSettings || opt.hangUp) w = vpad::waitReading(pad, deadline.msLeft());
  if (opt.showSettings && w == vpad::Wait::Reading) showSettings(pad, opt.command[0]);
  if (opt.showSettings && w == vpad::Wait::Ended) say(command + " ended without reading the port");
  if (w != vpad::Wait::Reading) return w;
  if (!opt.scripted()) {
    const KeyboardMode keyboard;
    if (isatty(STDIN_FILENO) != 0) say("what you type goes to the pad on /dev/ttyS0; Ctrl-C stops");
    return forwardKeys(pad, deadline);
  }
  for (const Step &step : opt.steps) total += step.bytes.size();
  for (const Step &step : opt.steps) {
    if (step.kind == Step::Burst || step.kind == Step::Break) {
      // A pseudo-terminal has no BREAK: the zero byte a reader under the
      // pad's settings gets for one goes out instead.
      bool sent = false;
      w = vpad::burst(pad, step.bytes, deadline.msLeft(), &sent);
      typed += sent ? step.bytes.size() : 0;
    } else {
      std::size_t sent = 0;
      w = vpad::type(pad, step.bytes, deadline.msLeft(), &sent);
      typed += sent;
    }
    if (w != vpad::Wait::Reading) break;
  }
  if (w == vpad::Wait::Ended && typed < total) {
    sayEndedEarly(opt, typed, total);
  }
  if (w == vpad::Wait::Reading && opt.hangUp) vpad::unplug(pad);
  return w;
}

// Waits for COMMAND to end, passing on the signals that come meanwhile:
// the first goes to COMMAND and all it started, a second from the user
// ends them for good. A signal from the terminal (Ctrl-C) reached
// COMMAND already, as it shares the tool's process group: it only wakes
// a stopped COMMAND to take it. Returns the ending signal, if one came.
int waitPassingOnSignals(const vpad::Pad &pad, const Options &opt, vpad::Wait w, const vpad::Deadline &deadline,
                         bool &timedOut) {
  vpad::StopSignals signals;
  timedOut = false;
  while (w != vpad::Wait::Ended) {
    if (w == vpad::Wait::TimedOut && !deadline.forever && !timedOut) {
      timedOut = true;
      vpad::signalAll(pad, SIGTERM);
      w = vpad::waitEnded(pad, kGraceMs);
      if (w == vpad::Wait::TimedOut) vpad::signalAll(pad, SIGKILL);
      continue;
    }
    if (w == vpad::Wait::TimedOut) {  // after the grace time
      w = vpad::waitEnded(pad, vpad::kForever);
      continue;
    }
    const vpad::Interrupt sig = vpad::takeInterrupt();
    if (sig.ending()) {
      vpad::signalAll(pad, SIGKILL);
      return sig.sig;
    }
    switch (signals.take(sig)) {
      case vpad::StopSignals::Reaction::Repeat: break;
      case vpad::StopSignals::Reaction::PassOn: vpad::signalAll(pad, sig.fromKernel ? SIGCONT : sig.sig); break;
      case vpad::StopSignals::Reaction::Escalate:
        sayKilling(opt, signals.first.sig);
        vpad::signalAll(pad, SIGKILL);
        break;
    }
    w = vpad::waitEnded(pad, timedOut ? vpad::kForever : deadline.msLeft());
  }
  return 0;
}

// Standard streams the tool was started without: each gets /dev/null, so
// that neither the pad nor anything else of the tool lands on it, and
// COMMAND is started without it, as the tool was.
vpad::Stdio keepStandardStreamsApart() {
  vpad::Stdio stdio;
  int *const slots[] = {&stdio.in, &stdio.out, &stdio.err};
  for (int stream = 0; stream < 3; ++stream) {
    if (fcntl(stream, F_GETFD) >= 0) continue;
    const int null = open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
    if (null == stream) *slots[stream] = vpad::kClosed;
  }
  return stdio;
}

int run(const Options &opt) {
  vpad::Launch launch;
  launch.stdio = keepStandardStreamsApart();
  // From here on no signal is lost: each waits for the next wait to take it.
  vpad::interruptOnSignals();
  const vpad::Deadline deadline(opt.timeoutMs);
  vpad::Pad pad;
  std::string why;
  if (!vpad::openPad(pad, why)) {
    say(why);
    return vpad::kNoNamespace;
  }
  launch.argv = opt.command;
  launch.port = opt.port;
  int status = 0;
  if (!vpad::start(pad, launch, why, status)) {
    say(why);
    return status;
  }
  std::size_t typed = 0;
  std::size_t total = 0;
  vpad::Wait w = play(pad, opt, deadline, typed, total);
  if (w == vpad::Wait::Reading) w = vpad::waitEnded(pad, deadline.msLeft());  // every key typed
  if (w == vpad::Wait::TimedOut) sayTimedOut(opt, typed, total);
  bool timedOut = false;
  const int ending = waitPassingOnSignals(pad, opt, w, deadline, timedOut);
  status = vpad::reap(pad);
  vpad::closePad(pad);
  if (ending != 0) vpad::dieBy(ending);
  return timedOut ? kTimedOut : status;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  switch (parse(argc, argv, opt)) {
    case Parsed::Help: std::fputs(kUsageText, stdout); return 0;
    case Parsed::Wrong: std::fputs("Try 'virtual-pad --help'.\n", stderr); return kUsage;
    case Parsed::Run: break;
  }
  return opt.uart ? runOnUart(opt) : run(opt);
}
