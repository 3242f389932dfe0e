// SPDX-License-Identifier: MIT
// The guest's agent: the first process of the small machine that
// virtual-pad --uart boots, where /dev/ttyS0 is a 16550A UART driven by
// the guest kernel's own serial driver.
//
// It loads the modules that share the host's root (read-only, over 9p)
// and the run folder (the command, its output), runs COMMAND there as it
// would run on the host, and talks with the tool on a virtio serial port
// named "control" (not a second UART: the pad's is then the only one, and
// what QEMU traces of a UART is the pad's), one line a message:
//   agent -> tool   "R"          COMMAND waits for a key, and the line holds none
//                   "X <status>" COMMAND has ended
//                   "E <text>"   the agent could not run it
//   tool -> agent   "K <n>"      n more bytes went out on the pad's line
//                   "S <signal>" send COMMAND's processes this signal
//                   "H"          hang the line up (the pad unplugged)
// It paces keys as the tool does on a pseudo-terminal: a key goes out only
// once a process waits for input on the port, and the next only once the
// UART has received it and the line discipline holds no unread byte.
#include "pad.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *kPort = "/dev/ttyS0";
constexpr const char *kPorts = "/sys/class/virtio-ports";
constexpr const char *kHost = "/host";  // the host's root, read-only
constexpr const char *kRun = "/run";    // the tool's run folder, shared
constexpr const char *kModules = "/modules";
constexpr int kLookMs = 2;

int gControl = -1;

void tell(const std::string &line) {
  const std::string out = line + "\n";
  if (gControl >= 0 && write(gControl, out.data(), out.size()) < 0) {
    // the tool is gone: nothing to tell it
  }
}

[[noreturn]] void powerOff() {
  sync();
  reboot(RB_POWER_OFF);
  _exit(0);
}

[[noreturn]] void fail(const std::string &what) {
  tell("E " + what + ": " + std::strerror(errno));
  powerOff();
}

std::string readFile(const std::string &path) {
  std::string text;
  const int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char chunk[4096];
  for (ssize_t n; f >= 0 && (n = read(f, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  if (f >= 0) close(f);
  return text;
}

// Words separated by zero bytes, as the tool writes them.
std::vector<std::string> words(const std::string &text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\0', at);
    out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

// The modules load in whatever order their dependencies allow: each round
// loads those whose dependencies are in.
void loadModules() {
  for (int round = 0; round < 8; ++round) {
    bool left = false;
    DIR *dir = opendir(kModules);
    while (const dirent *e = dir != nullptr ? readdir(dir) : nullptr) {
      if (e->d_name[0] == '.') continue;
      const std::string path = std::string(kModules) + "/" + e->d_name;
      const int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (f < 0) continue;
      const long loaded = syscall(SYS_finit_module, f, "", 0);
      close(f);
      if (loaded == 0 || errno == EEXIST) {
        unlink(path.c_str());
      } else {
        left = true;
      }
    }
    if (dir != nullptr) closedir(dir);
    if (!left) return;
  }
}

void mountOrFail(const char *source, const char *target, const char *type, unsigned long flags, const char *data) {
  mkdir(target, 0755);
  if (mount(source, target, type, flags, data) != 0) fail(std::string("cannot mount ") + target);
}

// The host's root as COMMAND's root, read-only but for the host's /tmp,
// with the guest's own /proc, /sys, /dev (where ttyS0 is the guest's
// UART) and /run.
void prepareRoot() {
  const char *share = "trans=virtio,version=9p2000.L,cache=loose,msize=262144";
  mountOrFail("hostroot", kHost, "9p", MS_RDONLY, share);
  mountOrFail("run", kRun, "9p", 0, "trans=virtio,version=9p2000.L,msize=262144");
  const std::string host = kHost;
  mountOrFail("proc", (host + "/proc").c_str(), "proc", 0, nullptr);
  mountOrFail("sysfs", (host + "/sys").c_str(), "sysfs", 0, nullptr);
  mountOrFail("devtmpfs", (host + "/dev").c_str(), "devtmpfs", 0, nullptr);
  mountOrFail("devpts", (host + "/dev/pts").c_str(), "devpts", 0, "newinstance,ptmxmode=0666");
  mountOrFail("tmp", (host + "/tmp").c_str(), "9p", 0, "trans=virtio,version=9p2000.L,msize=262144");
  mountOrFail("tmpfs", (host + "/run").c_str(), "tmpfs", 0, "mode=0755");
}

// The virtio serial port the tool named "control".
int openControl() {
  DIR *dir = opendir(kPorts);
  int found = -1;
  while (const dirent *e = dir != nullptr && found < 0 ? readdir(dir) : nullptr) {
    if (e->d_name[0] == '.') continue;
    const std::string name = readFile(std::string(kPorts) + "/" + e->d_name + "/name");
    if (name == "control" || name == "control\n") found = open((std::string("/dev/") + e->d_name).c_str(), O_RDWR | O_CLOEXEC);
  }
  if (dir != nullptr) closedir(dir);
  return found;
}

pid_t startCommand() {
  const std::vector<std::string> argv = words(readFile(std::string(kRun) + "/command"));
  const std::vector<std::string> env = words(readFile(std::string(kRun) + "/environment"));
  const std::string cwd = readFile(std::string(kRun) + "/directory");
  if (argv.empty()) {
    errno = EINVAL;
    fail("no command");
  }
  const int out = open((std::string(kRun) + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((std::string(kRun) + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t pid = fork();
  if (pid != 0) {
    close(out);
    close(err);
    return pid;
  }
  setsid();
  if (chroot(kHost) != 0 || chdir("/") != 0) _exit(125);
  if (chdir(cwd.c_str()) != 0) chdir("/");
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(out >= 0 ? out : null, 1);
  dup2(err >= 0 ? err : null, 2);
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char *> vars;
  vars.reserve(env.size() + 1);
  for (const std::string &v : env) vars.push_back(const_cast<char *>(v.c_str()));
  vars.push_back(nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvpe(args[0], args.data(), vars.data());
  std::fprintf(stderr, "%s: %s\n", args[0], std::strerror(errno));
  _exit(errno == ENOENT ? 127 : 126);
}

// Bytes the UART has received so far (root may read the driver's count).
unsigned long received() {
  const std::string text = readFile("/proc/tty/driver/serial");
  const std::size_t line = text.find("\n0:");
  const std::size_t at = text.find("rx:", line == std::string::npos ? 0 : line);
  return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + 3, nullptr, 10);
}

}  // namespace

int main() {
  mount("proc", "/proc", "proc", 0, nullptr);
  mount("sysfs", "/sys", "sysfs", 0, nullptr);
  mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  loadModules();
  // The port appears once the host has told the guest about it.
  for (int tries = 0; tries < 1000 && (gControl = openControl()) < 0; ++tries) usleep(5000);
  if (gControl < 0) powerOff();
  prepareRoot();
  // The agent's own view of the pad's port, to see what the line holds.
  // It does not wait for carrier, and leaves the port's settings alone.
  const int port = open(kPort, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat portStat {};
  if (port < 0 || fstat(port, &portStat) != 0) fail("cannot open /dev/ttyS0");
  const pid_t command = startCommand();

  vpad::proc::ReaderSearch search;
  vpad::proc::beginSearch(search, open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC), kPort);
  unsigned long expected = received();
  bool told = false;  // "R" went out for the bytes announced so far
  std::string input;
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended == command) {
      tell("X " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
      powerOff();
    }
    if (!told && received() >= expected && (vpad::heldBack(port) || !vpad::unread(port)) &&
        vpad::proc::findReader(search, command, portStat.st_rdev) > 0) {
      tell("R");
      told = true;
    }
    pollfd fds{gControl, POLLIN, 0};
    if (poll(&fds, 1, kLookMs) != 1) continue;
    char chunk[256];
    const ssize_t n = read(gControl, chunk, sizeof chunk);
    if (n > 0) input.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1)) {
      const std::string line = input.substr(0, end);
      if (line.rfind("K ", 0) == 0) {
        expected += std::strtoul(line.c_str() + 2, nullptr, 10);
        told = false;
      } else if (line.rfind("S ", 0) == 0) {
        const auto sig = static_cast<int>(std::strtol(line.c_str() + 2, nullptr, 10));
        kill(-command, sig);
        if (sig != SIGKILL) kill(-command, SIGCONT);
      } else if (line == "H") {
        ioctl(port, TIOCVHANGUP);
      }
    }
  }
}
