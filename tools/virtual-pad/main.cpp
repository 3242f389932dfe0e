// virtual-pad: runs a program against a pretend PIN pad on /dev/ttyS0.
//
//   virtual-pad [options] -- COMMAND [ARGS...]
//
// COMMAND runs in private namespaces where /dev/ttyS0 is a fresh
// pseudo-terminal; the tool plays the pad on the other side. With --keys
// it types the given keys, each once COMMAND waits for it; without, it
// passes on what the user types. It exits with COMMAND's status, and
// nothing COMMAND started outlives it.

#include "options.h"
#include "pad.h"
#include "stty_words.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kUsage = 2;

// The user's terminal while keys are passed on: keys go out as typed,
// unseen (a pad does not echo), with Ctrl-C and Ctrl-\ still signals and
// output unchanged. Put back however the tool ends: every signal that
// ends it is one it waits for (see vpad::interruptOnSignals).
class KeyboardMode {
 public:
  KeyboardMode() {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;  // a stopped tool would leave the terminal raw
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
  }
  ~KeyboardMode() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  KeyboardMode(const KeyboardMode &) = delete;
  KeyboardMode &operator=(const KeyboardMode &) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

// Passes what arrives on standard input to the pad, key by key, until
// COMMAND ends or a signal interrupts the tool.
vpad::Wait forwardKeys(const vpad::Pad &pad) {
  bool input = true;
  for (;;) {
    // Sleep until a key comes, COMMAND ends or writes, or a signal comes;
    // without a pidfd, look for COMMAND's end now and then.
    pollfd fds[] = {{input ? STDIN_FILENO : -1, POLLIN, 0}, {pad.pidfd, POLLIN, 0}, {pad.master, POLLIN, 0}};
    poll(fds, 3, pad.pidfd >= 0 ? vpad::kForever : vpad::kEndLookMs);
    const vpad::Wait w = vpad::waitEnded(pad, 0);
    if (w != vpad::Wait::TimedOut) return w;
    if (fds[0].revents == 0) continue;
    char keys[256];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n > 0) {
      const vpad::Wait typed = vpad::type(pad, std::string_view(keys, static_cast<std::size_t>(n)), vpad::kForever);
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

// Plays the pad for COMMAND until it ends or a signal interrupts the tool.
vpad::Wait play(const vpad::Pad &pad, const Options &opt) {
  const std::string command = opt.command[0];
  vpad::Wait w = vpad::Wait::Reading;
  if (opt.showSettings) {
    w = vpad::waitReading(pad, vpad::kForever);
    if (w == vpad::Wait::Reading) showSettings(pad, opt.command[0]);
    if (w == vpad::Wait::Ended) say(command + " ended without reading the port");
  }
  if (w != vpad::Wait::Reading) return w;
  if (opt.haveKeys) {
    std::size_t typed = 0;
    w = vpad::type(pad, opt.keys, vpad::kForever, &typed);
    if (w == vpad::Wait::Ended && typed < opt.keys.size()) {
      say(command + " ended before it read every key (" + std::to_string(typed) + " of " +
          std::to_string(opt.keys.size()) + " typed)");
    }
    return w;
  }
  const KeyboardMode keyboard;
  if (isatty(STDIN_FILENO) != 0) say("what you type goes to the pad on /dev/ttyS0; Ctrl-C stops");
  return forwardKeys(pad);
}

int run(const Options &opt) {
  vpad::Pad pad;
  std::string why;
  if (!vpad::openPad(pad, why)) {
    say(why);
    return vpad::kNoNamespace;
  }
  vpad::interruptOnSignals();
  vpad::Launch launch;
  launch.argv = opt.command;
  launch.port = opt.port;
  int status = 0;
  if (!vpad::start(pad, launch, why, status)) {
    say(why);
    return status;
  }
  vpad::Wait w = play(pad, opt);
  if (w == vpad::Wait::Reading) w = vpad::waitEnded(pad, vpad::kForever);  // every key typed
  // A signal for the tool goes to COMMAND and all it started; a second
  // one, should they not end, ends them for good.
  for (int first = 0; w == vpad::Wait::Interrupted;) {
    const int sig = vpad::takeInterrupt();
    if (first == 0) {
      first = sig;
      vpad::signalAll(pad, sig);
    } else {
      say(std::string(opt.command[0]) + " did not end on SIG" + sigabbrev_np(first) + "; killing it");
      vpad::signalAll(pad, SIGKILL);
    }
    w = vpad::waitEnded(pad, vpad::kForever);
  }
  return vpad::reap(pad);
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  switch (parse(argc, argv, opt)) {
    case Parsed::Help: std::fputs(kUsageText, stdout); return 0;
    case Parsed::Wrong: std::fputs("Try 'virtual-pad --help'.\n", stderr); return kUsage;
    case Parsed::Run: break;
  }
  return run(opt);
}
