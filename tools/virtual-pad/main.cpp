// virtual-pad: runs a program against a pretend PIN pad on /dev/ttyS0.
//
//   virtual-pad [options] -- COMMAND [ARGS...]
//
// COMMAND runs in a private mount namespace where /dev/ttyS0 is a fresh
// pseudo-terminal; the tool plays the pad on the other side. With --keys
// it types the given keys, each once COMMAND waits for it; without, it
// passes on what the user types. It exits with COMMAND's status.

#include "pad.h"

#include <cerrno>
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
constexpr int kNoPad = 125;

const char kUsageText[] =
    "usage: virtual-pad [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with a virtual PIN pad on /dev/ttyS0, in a private mount\n"
    "namespace; the machine's own /dev/ttyS0 is never opened.\n"
    "\n"
    "  --keys TEXT       type TEXT, one key at a time, each once COMMAND waits\n"
    "                    for it; \\r \\n \\t \\0 \\\\ and \\xHH stand for bytes\n"
    "  --show-settings   print the line settings COMMAND put on the port, once it\n"
    "                    waits for the first key\n"
    "  --no-port         give COMMAND no /dev/ttyS0 at all\n"
    "  --deny-port       give COMMAND a /dev/ttyS0 it has no permission to open\n"
    "  --help            show this text\n"
    "\n"
    "Without --keys, what you type goes to the pad (Ctrl-C stops).\n"
    "Exit status: COMMAND's; 125 if the virtual pad cannot be set up,\n"
    "126 if COMMAND cannot be run, 127 if it is not found, 2 on a usage error.\n";

struct Options {
  bool haveKeys = false;
  std::string keys;
  bool showSettings = false;
  vpad::Port port = vpad::Port::Pad;
  char **command = nullptr;
};

void say(const std::string &text) { std::fprintf(stderr, "virtual-pad: %s\n", text.c_str()); }

bool parse(int argc, char **argv, Options &opt) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string why;
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help") {
      std::fputs(kUsageText, stdout);
      std::exit(0);
    } else if (arg == "--keys" && i + 1 < argc) {
      if (!vpad::unescape(argv[++i], opt.keys, why)) {
        say(why);
        return false;
      }
      opt.haveKeys = true;
    } else if (arg == "--show-settings") {
      opt.showSettings = true;
    } else if (arg == "--no-port") {
      opt.port = vpad::Port::Missing;
    } else if (arg == "--deny-port") {
      opt.port = vpad::Port::Denied;
    } else if (arg.rfind("--", 0) == 0) {
      say("unknown option " + arg + (arg == "--keys" ? " (it needs the keys)" : ""));
      return false;
    } else {
      break;
    }
  }
  if (i == argc) {
    say("no COMMAND to run");
    return false;
  }
  opt.command = argv + i;
  return true;
}

// The user's terminal while keys are passed on: keys go out as typed,
// unseen (a pad does not echo), with Ctrl-C and Ctrl-\ still signals and
// output unchanged. Put back however the tool ends.
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
// COMMAND ends or a signal stops the tool.
vpad::Wait forwardKeys(const vpad::Pad &pad) {
  bool input = true;
  for (;;) {
    // Sleep until a key comes, COMMAND ends or writes, or a signal stops us.
    pollfd fds[] = {{input ? STDIN_FILENO : -1, POLLIN, 0}, {pad.pidfd, POLLIN, 0}, {pad.master, POLLIN, 0}};
    poll(fds, 3, -1);
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

int run(const Options &opt) {
  vpad::Pad pad;
  std::string why;
  if (!vpad::open(pad, why)) {
    say(why);
    return kNoPad;
  }
  vpad::stopOnSignals();
  int status = 0;
  if (!vpad::start(pad, opt.command, opt.port, vpad::Stdio{}, why, status)) {
    say(why);
    return status;
  }
  vpad::Wait w = vpad::Wait::Reading;
  if (opt.showSettings) {
    w = vpad::waitReading(pad, vpad::kForever);
    termios t{};
    if (w == vpad::Wait::Reading && vpad::settings(pad, t)) {
      std::fprintf(stderr, "virtual-pad: /dev/ttyS0 as %s set it:\n", opt.command[0]);
      std::istringstream lines(vpad::describe(t));
      for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "  %s\n", line.c_str());
    } else if (w == vpad::Wait::Ended) {
      say(std::string(opt.command[0]) + " ended without reading the port");
    }
  }
  if (w == vpad::Wait::Reading && opt.haveKeys) {
    std::size_t typed = 0;
    w = vpad::type(pad, opt.keys, vpad::kForever, &typed);
    if (w == vpad::Wait::Ended && typed < opt.keys.size()) {
      say(std::string(opt.command[0]) + " ended before it read every key (" + std::to_string(typed) + " of " +
          std::to_string(opt.keys.size()) + " typed)");
    }
  } else if (w == vpad::Wait::Reading) {
    const KeyboardMode keyboard;
    if (isatty(STDIN_FILENO) != 0) say("what you type goes to the pad on /dev/ttyS0; Ctrl-C stops");
    w = forwardKeys(pad);
  }
  if (w == vpad::Wait::Stopped) kill(pad.pid, vpad::stopSignal());
  vpad::waitEnded(pad, vpad::kForever);
  return vpad::reap(pad);
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  if (!parse(argc, argv, opt)) {
    std::fputs("Try 'virtual-pad --help'.\n", stderr);
    return kUsage;
  }
  return run(opt);
}
