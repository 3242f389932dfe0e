// SPDX-License-Identifier: MIT
#include "uart.h"

#include "errors.h"
#include "keyboard.h"
#include "pacing.h"
#include "signals.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using vpad::errnoText;

constexpr const char *kQemu = "qemu-system-x86_64";
constexpr const char *kAgent = "vpad-guest";
constexpr int kSetUpFailed = 125;
constexpr int kStuckMs = 120'000;  // a machine told to end that has not within this is stuck
constexpr unsigned char kIac = 0xff;
constexpr unsigned char kBreak = 0xf3;  // Telnet's BRK: QEMU sends the UART a BREAK

// The kernel and modules scripts/guest-kernel unpacks from Debian's
// kernel package.
std::string guestDir() {
  if (const char *dir = std::getenv("TTYPINPAD_GUEST")) return dir;
  if (const char *cache = std::getenv("XDG_CACHE_HOME")) return std::string(cache) + "/ttypinpad/guest";
  const char *home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd *user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : "/";
  }
  return std::string(home) + "/.cache/ttypinpad/guest";
}

bool exists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

std::string onPath(const char *program) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// The agent is built beside the tool, and installed in libexec.
std::string agentPath() {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)).substr(0, std::string(self).rfind('/')) : ".";
  for (const std::string &candidate : {dir + "/" + kAgent, dir + "/../libexec/ttypinpad/" + kAgent}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string words(char *const *list) {
  std::string out;
  for (; list != nullptr && *list != nullptr; ++list) out += std::string(*list) + '\0';
  return out;
}

// An initial RAM disk in the kernel's "newc" cpio format: the agent as
// /init, the modules, and the folders it mounts on.
class Cpio {
 public:
  void add(const std::string &name, const std::string &data, unsigned mode) {
    char header[111];
    std::snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", inode_++, mode, 0U,
                  0U, 1U, 0U, data.size(), 0U, 0U, 0U, 0U, name.size() + 1, 0U);
    out_ += header;
    out_ += name;
    out_ += '\0';
    pad();
    out_ += data;
    pad();
  }
  std::string finish() {
    add("TRAILER!!!", "", 0);
    return out_;
  }

 private:
  void pad() { out_.append((4 - out_.size() % 4) % 4, '\0'); }
  std::string out_;
  unsigned inode_ = 1;
};

bool makeInitrd(const std::string &path, const std::string &agent, const std::string &modules) {
  Cpio cpio;
  for (const char *dir : {"proc", "sys", "dev", "host", "run", "modules"}) cpio.add(dir, "", 040755);
  cpio.add("init", readFile(agent), 0100755);
  if (DIR *dir = opendir(modules.c_str())) {
    while (const dirent *e = readdir(dir)) {
      if (e->d_name[0] != '.') cpio.add(std::string("modules/") + e->d_name, readFile(modules + "/" + e->d_name), 0100644);
    }
    closedir(dir);
  }
  return writeFile(path, cpio.finish());
}

int connectTo(const std::string &path) {
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  if (connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return s;
  close(s);
  return -1;
}

void removeAll(const std::string &dir) {
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d)) {
      if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

bool writeAll(int f, const std::string &bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = write(f, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

// What the machine said or did.
enum class Event { Reading, Ended, Failed, Interrupted, TimedOut, Input };

// The running machine.
class Machine {
 public:
  ~Machine() {
    for (const int f : {control_, pad_, padMaster_}) {
      if (f >= 0) close(f);
    }
    if (qemu_ > 0) {
      kill(qemu_, SIGKILL);
      waitpid(qemu_, nullptr, 0);
    }
    if (!run_.empty()) removeAll(run_);
  }

  bool start(const Options &opt, std::string &why) {
    const std::string qemu = onPath(kQemu);
    if (qemu.empty()) {
      why = "--uart needs qemu-system-x86_64 (apt-get install qemu-system-x86)";
      return false;
    }
    const std::string guest = guestDir();
    if (!exists(guest + "/kernel") || !exists(guest + "/modules")) {
      why = "--uart needs Debian's kernel in " + guest +
            " (fetch it with guest-kernel: in scripts/ of the sources, in libexec/ttypinpad/ once installed)";
      return false;
    }
    const std::string agent = agentPath();
    if (agent.empty()) {
      why = std::string("--uart needs ") + kAgent + ", built and installed with the tool";
      return false;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string run = std::string(tmp != nullptr ? tmp : "/tmp") + "/virtual-pad-XXXXXX";
    if (mkdtemp(run.data()) == nullptr) {
      why = errnoText("cannot make a folder for the machine");
      return false;
    }
    run_ = run;
    char cwd[4096] = {};
    if (!writeFile(run_ + "/command", words(opt.command)) || !writeFile(run_ + "/environment", words(environ)) ||
        !writeFile(run_ + "/directory", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/") ||
        !makeInitrd(run_ + "/initrd", agent, guest + "/modules")) {
      why = errnoText("cannot write " + run_);
      return false;
    }
    std::string padChardev = "socket,id=pad,path=" + run_ + "/pad,server=on,wait=off,telnet=on";
    if (opt.noCarrier) {
      // A pseudo-terminal of the tool's own, which has no modem lines: the
      // UART then sees CTS, DSR and DCD low, as from a pad that drives no
      // carrier.
      int slave = -1;
      char name[128] = {};
      if (openpty(&padMaster_, &slave, name, nullptr, nullptr) != 0) {
        why = errnoText("cannot open a pseudo-terminal");
        return false;
      }
      termios raw{};
      tcgetattr(slave, &raw);
      cfmakeraw(&raw);
      tcsetattr(slave, TCSANOW, &raw);
      close(slave);
      fcntl(padMaster_, F_SETFD, FD_CLOEXEC);
      padChardev = std::string("serial,id=pad,path=") + name;
    }
    std::vector<std::string> args{qemu, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
                                  "-machine", "pc", "-m", "256"};
    if (access("/dev/kvm", R_OK | W_OK) == 0) args.insert(args.end(), {"-accel", "kvm"});
    args.insert(args.end(), {"-accel", "tcg", "-kernel", guest + "/kernel", "-initrd", run_ + "/initrd", "-append",
                             "quiet panic=-1 8250.nr_uarts=1"});
    // The pad's UART, ttyS0 at 0x3f8 and irq 4, and the only one: what QEMU
    // traces of a UART is the pad's.
    args.insert(args.end(), {"-chardev", padChardev, "-serial", "chardev:pad"});
    args.insert(args.end(), {"-device", "virtio-serial-pci", "-chardev",
                             "socket,id=control,path=" + run_ + "/control,server=on,wait=off", "-device",
                             "virtserialport,chardev=control,name=control"});
    // The host's root read-only, its /tmp, and the run folder. Inode
    // numbers are remapped across the host's file systems: /proc and /sys,
    // for two, both have inode 1, and would be one folder to the guest.
    for (const auto &[tag, path, options] :
         {std::tuple<std::string, std::string, std::string>{"hostroot", "/", ",readonly=on,multidevs=remap"},
          {"tmp", "/tmp", ",multidevs=remap"},
          {"run", run_, ""}}) {
      std::string fsdev = "local,id=";
      fsdev.append(tag).append(",path=").append(path).append(",security_model=none").append(options);
      std::string device = "virtio-9p-pci,fsdev=";
      device.append(tag).append(",mount_tag=").append(tag);
      args.insert(args.end(), {"-fsdev", fsdev, "-device", device});
    }
    args.insert(args.end(), {"-trace", "serial_update_parameters", "-trace", "serial_write", "-D", run_ + "/trace"});
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = run_ + "/qemu.log";
    qemu_ = fork();
    if (qemu_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 0);
      dup2(out, 1);
      dup2(out, 2);
      vpad::restoreSignalMask();
      setpgid(0, 0);  // a Ctrl-C at the terminal is for COMMAND, passed on by the tool
      execv(argv[0], argv.data());
      _exit(127);
    }
    const auto until = Clock::now() + std::chrono::seconds(10);
    while ((control_ < 0 || (!opt.noCarrier && pad_ < 0)) && Clock::now() < until && !gone()) {
      if (control_ < 0) control_ = connectTo(run_ + "/control");
      if (!opt.noCarrier && pad_ < 0) pad_ = connectTo(run_ + "/pad");
      usleep(2000);
    }
    if (opt.noCarrier) pad_ = padMaster_, padMaster_ = -1;
    if (control_ < 0 || pad_ < 0) {
      why = "QEMU did not start: " + lastLine(readFile(log));
      return false;
    }
    telnet_ = !opt.noCarrier;
    return true;
  }

  // Sends bytes on the pad's line and tells the agent how many went. A
  // BREAK's bytes are the zero byte a reader gets for one: what goes out
  // where the line (a pseudo-terminal, without carrier) has no BREAK.
  bool send(const std::string &bytes, bool asBreak = false) const {
    std::string onLine;
    if (asBreak && telnet_) {
      onLine = {static_cast<char>(kIac), static_cast<char>(kBreak)};
    } else {
      for (const char c : bytes) {
        onLine += c;
        if (telnet_ && static_cast<unsigned char>(c) == kIac) onLine += c;  // a data byte 0xff, escaped
      }
    }
    return writeAll(pad_, onLine) && tell("K " + std::to_string(bytes.size()));
  }

  bool tell(const std::string &line) const { return writeAll(control_, line + "\n"); }

  // Waits for the agent's next word, a signal or the deadline (-1: none);
  // or for input on `also`, if given.
  Event wait(int timeoutMs, int &status, std::string &text, int also = -1) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (std::size_t at; (at = input_.find('\n')) != std::string::npos;) {
        const std::string line = input_.substr(0, at);
        input_.erase(0, at + 1);
        if (line == "R") return Event::Reading;
        if (line.rfind("X ", 0) == 0) {
          status = static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10));
          return Event::Ended;
        }
        if (line.rfind("E ", 0) == 0) {
          text = line.substr(2);
          return Event::Failed;
        }
      }
      if (vpad::interruptPending()) return Event::Interrupted;
      if (gone()) {
        text = "the machine stopped: " + lastLine(readFile(run_ + "/qemu.log"));
        return Event::Failed;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (timeoutMs >= 0 && left <= 0) return Event::TimedOut;
      pollfd fds[] = {{control_, POLLIN, 0}, {pad_, POLLIN, 0}, {vpad::interruptFd(), POLLIN, 0}, {also, POLLIN, 0}};
      poll(fds, 4, timeoutMs < 0 || left > 100 ? 100 : static_cast<int>(left));
      if (fds[3].revents != 0) return Event::Input;
      char chunk[4096];
      if ((fds[1].revents & POLLIN) != 0 && read(pad_, chunk, sizeof chunk) <= 0) {
        // what the guest writes to the pad, and Telnet's words, are dropped
      }
      if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = read(control_, chunk, sizeof chunk);
        if (n > 0) input_.append(chunk, static_cast<std::size_t>(n));
      }
    }
  }

  // The line as the UART has it, from QEMU's trace of the guest's writes.
  std::string wire() const {
    const std::string trace = readFile(run_ + "/trace");
    const std::size_t params = trace.rfind("serial_update_parameters");
    std::string line = "unknown";
    if (params != std::string::npos) {
      // "serial_update_parameters baudrate=2400 parity='N' data=8 stop=1"
      const auto number = [&](const char *key) {
        const std::size_t at = trace.find(key, params);
        return at == std::string::npos ? 0ULL : std::strtoull(trace.c_str() + at + std::strlen(key), nullptr, 10);
      };
      const std::size_t parityAt = trace.find("parity='", params);
      const char parity = parityAt == std::string::npos ? '?' : trace[parityAt + 8];
      const unsigned long long stopBits = number("stop=");
      const char *parityName = parity == 'N' ? "no" : parity == 'O' ? "odd" : parity == 'E' ? "even" : "other";
      line = std::to_string(number("baudrate=")) + " baud, " + std::to_string(number("data=")) + " data bits, " +
             parityName + " parity, " + std::to_string(stopBits) + " stop bit" + (stopBits == 1 ? "" : "s");
    }
    const std::size_t mcr = trace.rfind("serial_write write addr 0x04 val 0x");
    if (mcr != std::string::npos) {
      const unsigned long bits = std::strtoul(trace.c_str() + mcr + 35, nullptr, 16);
      line += std::string("; DTR ") + ((bits & 1U) != 0 ? "on" : "off") + ", RTS " + ((bits & 2U) != 0 ? "on" : "off");
    }
    return line;
  }

  void copyOutput() const {
    const std::string out = readFile(run_ + "/stdout");
    const std::string err = readFile(run_ + "/stderr");
    writeAll(STDOUT_FILENO, out);
    writeAll(STDERR_FILENO, err);
  }

  // Waits for QEMU to end once the agent has powered the machine off.
  void stop() {
    for (int waited = 0; waited < 5000 && !gone(); waited += 5) usleep(5000);
  }

 private:
  bool gone() {
    if (qemu_ <= 0) return true;
    if (waitpid(qemu_, nullptr, WNOHANG) != qemu_) return false;
    qemu_ = -1;
    return true;
  }
  static std::string lastLine(const std::string &text) {
    const std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    return trimmed.substr(trimmed.rfind('\n') + 1);
  }

  std::string run_;
  pid_t qemu_ = -1;
  int control_ = -1;
  int pad_ = -1;
  int padMaster_ = -1;
  bool telnet_ = false;
  std::string input_;
};

// Passes what the user types to the pad, a key each time COMMAND waits
// for one, until it ends, a signal comes or the time is up.
Event forwardKeys(Machine &machine, const vpad::Deadline &deadline, int &status, std::string &why) {
  const KeyboardMode keyboard;
  if (isatty(STDIN_FILENO) != 0) say("what you type goes to the pad on the UART's /dev/ttyS0; Ctrl-C stops");
  std::string typed;  // not yet sent
  bool reading = false;
  bool input = true;
  for (;;) {
    if (reading && !typed.empty()) {
      machine.send(typed.substr(0, 1));
      typed.erase(0, 1);
      reading = false;
    }
    const Event e = machine.wait(deadline.msLeft(), status, why, input ? STDIN_FILENO : -1);
    if (e == Event::Reading) {
      reading = true;
    } else if (e == Event::Input) {
      char keys[256];
      const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
      if (n > 0) typed.append(keys, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) input = false;  // no more keys; COMMAND may still end by itself
    } else {
      return e;
    }
  }
}

}  // namespace

int runOnUart(const Options &opt) {
  vpad::interruptOnSignals();
  const vpad::Deadline deadline(opt.timeoutMs);
  Machine machine;
  std::string why;
  if (!machine.start(opt, why)) {
    say(why);
    return kSetUpFailed;
  }
  std::size_t total = 0;
  for (const Step &step : opt.steps) total += step.bytes.size();
  std::size_t typed = 0;
  int status = 0;
  Event e = Event::Reading;
  // Every key once COMMAND waits for it: the agent says "R" then.
  bool waiting = false;
  const auto ready = [&] {
    if (!waiting) e = machine.wait(deadline.msLeft(), status, why);
    waiting = false;
    return e == Event::Reading;
  };
  if ((opt.showSettings || opt.hangUp || !opt.steps.empty()) && ready()) {
    waiting = true;
    if (opt.showSettings) std::fprintf(stderr, "virtual-pad: the UART as %s set it: %s\n", opt.command[0], machine.wire().c_str());
  }
  for (const Step &step : opt.steps) {
    if (e != Event::Reading) break;
    if (step.kind == Step::Type) {
      for (const char key : step.bytes) {
        if (!ready()) break;
        machine.send(std::string(1, key));
        ++typed;
      }
    } else if (ready()) {
      machine.send(step.bytes, step.kind == Step::Break);
      typed += step.bytes.size();
    }
  }
  if (e == Event::Reading && opt.hangUp && ready()) machine.tell("H");
  if (!opt.scripted()) e = forwardKeys(machine, deadline, status, why);
  // Then until COMMAND ends.
  vpad::StopSignals signals;
  bool timedOut = false;
  while (e != Event::Ended && e != Event::Failed) {
    if (e == Event::TimedOut && !deadline.forever && !timedOut) {
      sayTimedOut(opt, typed, total);
      timedOut = true;
      machine.tell("S " + std::to_string(SIGTERM));
      e = machine.wait(kGraceMs, status, why);
      if (e == Event::TimedOut) machine.tell("S " + std::to_string(SIGKILL));
    } else if (e == Event::TimedOut) {
      why = "the machine did not answer";
      e = Event::Failed;
      break;
    } else if (e == Event::Interrupted) {
      const vpad::Interrupt sig = vpad::takeInterrupt();
      if (sig.ending()) {
        machine.tell("S " + std::to_string(SIGKILL));
        vpad::dieBy(sig.sig);
      }
      switch (signals.take(sig)) {
        case vpad::StopSignals::Reaction::Repeat: break;
        case vpad::StopSignals::Reaction::PassOn: machine.tell("S " + std::to_string(sig.sig)); break;
        case vpad::StopSignals::Reaction::Escalate:
          sayKilling(opt, signals.first.sig);
          machine.tell("S " + std::to_string(SIGKILL));
          break;
      }
    }
    if (e != Event::Ended && e != Event::Failed) e = machine.wait(timedOut ? kStuckMs : deadline.msLeft(), status, why);
  }
  if (e == Event::Failed) {
    say(why);
    return kSetUpFailed;
  }
  machine.stop();
  machine.copyOutput();
  if (typed < total && !timedOut) sayEndedEarly(opt, typed, total);
  return timedOut ? kTimedOut : status;
}
