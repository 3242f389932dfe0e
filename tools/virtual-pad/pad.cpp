#include "pad.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>

namespace vpad {
namespace {

constexpr const char *kPort = "/dev/ttyS0";

volatile sig_atomic_t gStop = 0;

std::string errnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool writeFile(const char *path, const std::string &text) {
  const int f = ::open(path, O_WRONLY | O_CLOEXEC);
  if (f < 0) return false;
  const bool ok = write(f, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(f);
  return ok;
}

// ---- /proc ---------------------------------------------------------------

// The system call pid is blocked in and its first argument; false while
// it runs or when it cannot be told.
bool blockedCall(pid_t pid, long &call, unsigned long &arg0) {
  const std::string text = readFile("/proc/" + std::to_string(pid) + "/syscall");
  char *end = nullptr;
  call = std::strtol(text.c_str(), &end, 10);  // "running" when it runs
  if (end == text.c_str()) return false;
  const char *args = end;
  arg0 = std::strtoul(args, &end, 16);
  return end != args;
}

// A number from a "name: value" line of a /proc file; 0 if missing.
std::uint64_t procField(pid_t pid, const char *file, const std::string &name, int base) {
  std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/" + file));
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) {
      return std::strtoull(line.c_str() + name.size() + 1, nullptr, base);
    }
  }
  return 0;
}

std::uint64_t bytesRead(pid_t pid) { return procField(pid, "io", "rchar", 10); }

// True if pid is blocked in read() on a descriptor that is the pad.
bool readsPort(pid_t pid, dev_t device) {
  long call = -1;
  unsigned long arg0 = 0;
  if (!blockedCall(pid, call, arg0) || call != SYS_read) return false;
  struct stat st {};
  const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(arg0);
  return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

// The program and every process below it.
std::vector<pid_t> family(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent)
  if (DIR *dir = opendir("/proc")) {
    while (const dirent *e = readdir(dir)) {
      const auto pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
      if (pid <= 0) continue;
      const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
      // "pid (name) state parent ...", where the name may hold anything
      const std::size_t nameEnd = stat.rfind(')');
      if (nameEnd != std::string::npos && nameEnd + 4 < stat.size()) {
        parents.emplace_back(pid, static_cast<pid_t>(std::strtol(stat.c_str() + nameEnd + 4, nullptr, 10)));
      }
    }
    closedir(dir);
  }
  std::vector<pid_t> found{root};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto &[pid, parent] : parents) {
      if (parent == found[i]) found.push_back(pid);
    }
  }
  return found;
}

// The process blocked in a read of the pad, or -1.
pid_t reader(const Pad &pad) {
  if (readsPort(pad.pid, pad.device)) return pad.pid;
  const std::vector<pid_t> all = family(pad.pid);
  const auto found = std::find_if(all.begin(), all.end(), [&](pid_t pid) { return readsPort(pid, pad.device); });
  return found == all.end() ? -1 : *found;
}

// ---- waiting ---------------------------------------------------------------

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

// Short pauses between looks at /proc, growing to a millisecond: a key
// goes out within about a millisecond of the program reaching its read.
struct Pause {
  void operator()() {
    const timespec ts{0, ns};
    nanosleep(&ts, nullptr);
    ns = ns * 2 > kMaxNs ? kMaxNs : ns * 2;
  }
  static constexpr long kMaxNs = 1000000;
  long ns = 20000;
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
  return waitid(P_PID, static_cast<id_t>(pad.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pad.pid;
}

// What ends every wait early: a stop signal, or the program's end. Each
// look also drains the line.
std::optional<Wait> interrupted(const Pad &pad) {
  if (gStop != 0) return Wait::Stopped;
  drain(pad.master);
  if (ended(pad)) return Wait::Ended;
  return std::nullopt;
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

// Sends bytes once the program reads the port, and waits until it has
// read them all and reads again, or ends. `sent` tells whether they went.
Wait deliver(const Pad &pad, std::string_view bytes, int timeoutMs, bool &sent) {
  sent = false;
  const Wait ready = waitReading(pad, timeoutMs);
  if (ready != Wait::Reading) return ready;
  const pid_t by = reader(pad);
  const std::uint64_t before = bytesRead(by);
  if (!writeAll(pad.master, bytes)) return Wait::Ended;
  sent = true;
  const Deadline deadline(timeoutMs);
  for (Pause pause; bytesRead(by) < before + bytes.size(); pause()) {
    if (const auto w = interrupted(pad)) return *w;
    if (kill(by, 0) != 0) return Wait::Ended;  // the reader was a process the program started
    if (deadline.passed()) return Wait::TimedOut;
  }
  return waitReading(pad, deadline.msLeft());
}

void onStopSignal(int sig) { gStop = sig; }

// Writes a child's failure for its parent: the status byte, then the text.
[[noreturn]] void childFails(int report, int status, const std::string &why) {
  const std::string msg = std::string(1, static_cast<char>(status)) + why;
  if (write(report, msg.data(), msg.size()) < 0) {
    // The parent then sees a bare failure; nothing else to do here.
  }
  _exit(status);
}

// For a user without the right to make a mount namespace: a user
// namespace of its own, in which it keeps its own uid and gid.
bool enterUserNamespace() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  return writeFile("/proc/self/setgroups", "deny") &&
         writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
         writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

bool isPad(const Pad &pad, const char *path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == pad.device;
}

const char *speedName(speed_t s) {
  struct Entry {
    speed_t code;
    const char *name;
  };
  static constexpr Entry kSpeeds[] = {
      {B0, "0"},         {B50, "50"},         {B75, "75"},         {B110, "110"},
      {B134, "134"},     {B150, "150"},       {B200, "200"},       {B300, "300"},
      {B600, "600"},     {B1200, "1200"},     {B1800, "1800"},     {B2400, "2400"},
      {B4800, "4800"},   {B9600, "9600"},     {B19200, "19200"},   {B38400, "38400"},
      {B57600, "57600"}, {B115200, "115200"}, {B230400, "230400"}, {B460800, "460800"},
  };
  const auto *found = std::find_if(std::begin(kSpeeds), std::end(kSpeeds), [s](const Entry &e) { return e.code == s; });
  return found == std::end(kSpeeds) ? "?" : found->name;
}

struct Flag {
  tcflag_t bit;
  const char *name;
};

std::string flagWords(tcflag_t word, std::initializer_list<Flag> flags) {
  std::string out;
  for (const Flag &f : flags) {
    out += (out.empty() ? "" : " ");
    out += ((word & f.bit) != 0 ? "" : "-");
    out += f.name;
  }
  return out;
}

std::string controlChar(cc_t c) {
  if (c == 0) return "<undef>";
  if (c < 0x20) return std::string("^") + static_cast<char>(c + '@');
  if (c == 0x7f) return "^?";
  return {static_cast<char>(c)};
}

}  // namespace

// ---- the pad ---------------------------------------------------------------

bool open(Pad &pad, std::string &why) {
  char name[128] = {};
  if (openpty(&pad.master, &pad.slave, name, nullptr, nullptr) != 0) {
    why = errnoText("cannot open a pseudo-terminal");
    return false;
  }
  pad.slavePath = name;
  fcntl(pad.master, F_SETFD, FD_CLOEXEC);
  fcntl(pad.slave, F_SETFD, FD_CLOEXEC);
  fcntl(pad.master, F_SETFL, fcntl(pad.master, F_GETFL) | O_NONBLOCK);
  struct stat st {};
  fstat(pad.slave, &st);
  pad.device = st.st_rdev;
  return true;
}

void unplug(Pad &pad) {
  if (pad.master >= 0) ::close(pad.master);
  pad.master = -1;
}

void close(Pad &pad) {
  unplug(pad);
  if (pad.slave >= 0) ::close(pad.slave);
  pad.slave = -1;
}

bool isolate(const Pad &pad, Port port, std::string &why) {
  if (unshare(CLONE_NEWNS) != 0) {
    const int denied = errno;
    if (denied != EPERM || !enterUserNamespace()) {
      errno = denied;
      why = errnoText("cannot make a private mount namespace") +
            " (run as root, or allow user namespaces: sysctl user.max_user_namespaces)";
      return false;
    }
  }
  // Before anything is mounted: no mount made here may reach the machine.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    why = errnoText("cannot make the mounts private");
    return false;
  }
  if (port == Port::Missing) {
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
      why = errnoText("cannot mount an empty /dev");
      return false;
    }
    struct stat st {};
    if (lstat(kPort, &st) == 0) {
      why = "/dev/ttyS0 is still there after an empty /dev was mounted";
      return false;
    }
    return true;
  }
  if (mount(pad.slavePath.c_str(), kPort, nullptr, MS_BIND, nullptr) != 0) {
    why = errnoText(std::string("cannot mount the pad on ") + kPort);
    return false;
  }
  // The one check that matters: from here on /dev/ttyS0 is the pad.
  if (!isPad(pad, kPort)) {
    why = std::string(kPort) + " is not the pad after the mount";
    return false;
  }
  if (port == Port::Denied) {
    // Mode 0 keeps everybody out but those who may override file modes;
    // give those powers up for good, so that the program cannot either.
    if (chmod(kPort, 0) != 0 || prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0) {
      why = errnoText("cannot take away access to the pad");
      return false;
    }
  }
  return true;
}

bool start(Pad &pad, char *const argv[], Port port, const Stdio &stdio, std::string &why, int &status) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    why = errnoText("cannot make a pipe");
    status = 125;
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    why = errnoText("cannot start a process");
    status = 125;
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (pid == 0) {
    ::close(report[0]);
    std::string reason;
    if (!isolate(pad, port, reason)) childFails(report[1], 125, reason);
    const int streams[] = {stdio.in, stdio.out, stdio.err};
    for (int target = 0; target < 3; ++target) {
      if (streams[target] == kClosed) ::close(target);
      if (streams[target] >= 0 && streams[target] != target) dup2(streams[target], target);
    }
    execvp(argv[0], argv);
    const int failure = errno;
    childFails(report[1], failure == ENOENT ? 127 : 126, errnoText(argv[0]));
  }
  ::close(report[1]);
  std::string failure;
  char chunk[512];
  for (ssize_t n; (n = read(report[0], chunk, sizeof chunk)) != 0;) {
    if (n > 0) failure.append(chunk, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  ::close(report[0]);
  if (!failure.empty()) {
    int ignored = 0;
    while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    status = static_cast<unsigned char>(failure[0]);
    why = failure.substr(1);
    return false;
  }
  pad.pid = pid;
  pad.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  status = 0;
  return true;
}

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
    // Wake when the program ends or writes to the port; a stop signal
    // interrupts the poll.
    pollfd fds[] = {{pad.pidfd, POLLIN, 0}, {pad.master, POLLIN, 0}};
    poll(fds, 2, deadline.msLeft());
  }
}

int reap(Pad &pad) {
  int st = 0;
  while (waitpid(pad.pid, &st, 0) < 0) {
    if (errno != EINTR) return 125;
  }
  pad.pid = -1;
  ::close(pad.pidfd);
  pad.pidfd = -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool settings(const Pad &pad, termios &out) { return tcgetattr(pad.master, &out) == 0; }

std::string describe(const termios &t) {
  const tcflag_t size = t.c_cflag & CSIZE;
  const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  const bool parity = (t.c_cflag & PARENB) != 0;
  const char *flow = (t.c_cflag & CRTSCTS) != 0       ? "RTS/CTS"
                     : (t.c_iflag & (IXON | IXOFF)) != 0 ? "XON/XOFF"
                                                         : "none";
  std::ostringstream out;
  out << "speed " << speedName(cfgetospeed(&t)) << " baud (in " << speedName(cfgetispeed(&t)) << ", out "
      << speedName(cfgetospeed(&t)) << "); " << bits << " data bits, "
      << (parity ? ((t.c_cflag & PARODD) != 0 ? "odd" : "even") : "no") << " parity, "
      << ((t.c_cflag & CSTOPB) != 0 ? 2 : 1) << " stop bit" << ((t.c_cflag & CSTOPB) != 0 ? "s" : "")
      << "; flow control " << flow << "; min = " << static_cast<int>(t.c_cc[VMIN])
      << "; time = " << static_cast<int>(t.c_cc[VTIME]) << ";\n";
  out << "cs" << bits << " "
      << flagWords(t.c_cflag, {{PARENB, "parenb"},
                               {PARODD, "parodd"},
                               {HUPCL, "hupcl"},
                               {CSTOPB, "cstopb"},
                               {CREAD, "cread"},
                               {CLOCAL, "clocal"},
                               {CRTSCTS, "crtscts"}})
      << "\n";
  out << flagWords(t.c_iflag, {{IGNBRK, "ignbrk"},
                               {BRKINT, "brkint"},
                               {IGNPAR, "ignpar"},
                               {PARMRK, "parmrk"},
                               {INPCK, "inpck"},
                               {ISTRIP, "istrip"},
                               {INLCR, "inlcr"},
                               {IGNCR, "igncr"},
                               {ICRNL, "icrnl"},
                               {IXON, "ixon"},
                               {IXOFF, "ixoff"},
                               {IXANY, "ixany"},
                               {IMAXBEL, "imaxbel"}})
      << "\n";
  out << flagWords(t.c_oflag, {{OPOST, "opost"}, {ONLCR, "onlcr"}, {OCRNL, "ocrnl"}}) << "\n";
  out << flagWords(t.c_lflag, {{ISIG, "isig"},
                               {ICANON, "icanon"},
                               {IEXTEN, "iexten"},
                               {ECHO, "echo"},
                               {ECHOE, "echoe"},
                               {ECHOK, "echok"},
                               {ECHONL, "echonl"},
                               {NOFLSH, "noflsh"},
                               {TOSTOP, "tostop"}})
      << "\n";
  struct Char {
    int index;
    const char *name;
  };
  static constexpr Char kChars[] = {{VINTR, "intr"},   {VQUIT, "quit"},    {VERASE, "erase"},
                                    {VKILL, "kill"},   {VEOF, "eof"},      {VEOL, "eol"},
                                    {VEOL2, "eol2"},   {VSTART, "start"},  {VSTOP, "stop"},
                                    {VSUSP, "susp"},   {VREPRINT, "rprnt"}, {VWERASE, "werase"},
                                    {VLNEXT, "lnext"}, {VDISCARD, "discard"}};
  const char *sep = "";
  for (const Char &c : kChars) {
    out << sep << c.name << " = " << controlChar(t.c_cc[c.index]);
    sep = "; ";
  }
  out << ";\n";
  return out.str();
}

bool unescape(std::string_view text, std::string &out, std::string &why) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      why = "a lone \\ at the end of the keys";
      return false;
    }
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x': {
        const std::string hex(text.substr(i + 1, 2));
        char *end = nullptr;
        const unsigned long value = std::strtoul(hex.c_str(), &end, 16);
        if (hex.size() != 2 || end != hex.c_str() + 2) {
          why = "\\x needs two hexadecimal digits";
          return false;
        }
        out += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        why = std::string("unknown escape \\") + text[i] + " in the keys";
        return false;
    }
  }
  return true;
}

void stopOnSignals() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction act {};
    act.sa_handler = onStopSignal;  // no SA_RESTART: waits must wake up
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
  }
}

int stopSignal() { return gStop; }

namespace proc {

bool blockedInRead(pid_t pid, int fd) { return readingFd(pid) == fd; }

int readingFd(pid_t pid) {
  long call = -1;
  unsigned long arg0 = 0;
  return blockedCall(pid, call, arg0) && call == SYS_read ? static_cast<int>(arg0) : -1;
}

std::uint64_t cpuNs(pid_t pid) {
  return std::strtoull(readFile("/proc/" + std::to_string(pid) + "/schedstat").c_str(), nullptr, 10);
}

std::uint64_t peakRssKiB(pid_t pid) { return procField(pid, "status", "VmHWM", 10); }

bool signalPending(pid_t pid) {
  return procField(pid, "status", "SigPnd", 16) != 0 || procField(pid, "status", "ShdPnd", 16) != 0;
}

}  // namespace proc
}  // namespace vpad
