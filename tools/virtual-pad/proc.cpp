// SPDX-License-Identifier: MIT
#include "proc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vpad::proc {
namespace {

std::string path(pid_t pid, const std::string &rest) { return std::to_string(pid) + "/" + rest; }

// A /proc file whole ("" if it cannot be read), relative to dir.
std::string readFile(int dir, const std::string &file) {
  const int f = openat(dir, file.c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) return {};
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(f, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  close(f);
  return text;
}

// The machine's /proc, for the figures of a process by its pid here.
int machineProc() {
  static const int dir = open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return dir;
}

// A number from a "name: value" line of a /proc file; 0 if missing.
std::uint64_t field(pid_t pid, const char *file, const std::string &name, int base) {
  const std::string text = "\n" + readFile(machineProc(), path(pid, file));
  const std::string key = "\n" + name + ":";
  const std::size_t at = text.find(key);
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size(), nullptr, base);
}

// The system call a task is blocked in, with its arguments.
struct Call {
  long nr = -1;
  unsigned long arg[6] = {};
};

// False while the task runs, or when it cannot be told.
bool blockedCall(int dir, pid_t pid, pid_t tid, Call &call) {
  const std::string text = readFile(dir, path(pid, "task/" + std::to_string(tid) + "/syscall"));
  char *end = nullptr;
  call.nr = std::strtol(text.c_str(), &end, 10);  // "running" when it runs
  if (end == text.c_str()) return false;
  const char *at = end;
  for (unsigned long &a : call.arg) {
    a = std::strtoul(at, &end, 16);
    if (end == at) return false;
    at = end;
  }
  return true;
}

// The number of read() for pid's own ABI (see readCallOfElf).
long readCallOf(int dir, pid_t pid) {
  unsigned char header[kElfHeadSize] = {};
  const int f = openat(dir, path(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = f >= 0 && read(f, header, sizeof header) == static_cast<ssize_t>(sizeof header);
  if (f >= 0) close(f);
  return ok ? readCallOfElf(header) : SYS_read;
}

// The numbered entries of a /proc directory: processes, tasks or descriptors.
std::vector<pid_t> numbers(DIR *dir) {
  std::vector<pid_t> found;
  while (const dirent *e = readdir(dir)) {
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') found.push_back(static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10)));
  }
  return found;
}

// The numbered entries of the folder `sub` of dir.
std::vector<pid_t> numbersIn(int dir, const std::string &sub) {
  const int f = openat(dir, sub.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *listing = f >= 0 ? fdopendir(f) : nullptr;
  if (listing == nullptr) {
    if (f >= 0) close(f);
    return {};
  }
  std::vector<pid_t> found = numbers(listing);
  closedir(listing);
  return found;
}

std::vector<pid_t> tasks(int dir, pid_t pid) { return numbersIn(dir, path(pid, "task")); }

bool isPort(int dir, pid_t pid, long fd, dev_t device) {
  struct stat st {};
  return fd >= 0 && fstatat(dir, path(pid, "fd/" + std::to_string(fd)).c_str(), &st, 0) == 0 && S_ISCHR(st.st_mode) &&
         st.st_rdev == device;
}

// True if any descriptor of pid is the port; with `nonBlocking`, only one
// opened without blocking counts.
bool holdsPort(int dir, pid_t pid, dev_t device, bool nonBlocking = false) {
  const std::vector<pid_t> fds = numbersIn(dir, path(pid, "fd"));
  return std::any_of(fds.begin(), fds.end(), [&](pid_t fd) {
    if (!isPort(dir, pid, fd, device)) return false;
    if (!nonBlocking) return true;
    const std::string info = readFile(dir, path(pid, "fdinfo/" + std::to_string(fd)));
    const std::size_t at = info.find("flags:");
    return at != std::string::npos && (std::strtoul(info.c_str() + at + 6, nullptr, 8) & O_NONBLOCK) != 0;
  });
}

// Reads len bytes of pid's memory at addr; false if it cannot.
bool peek(int dir, pid_t pid, unsigned long addr, void *out, std::size_t len) {
  const int f = openat(dir, path(pid, "mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) return false;
  const bool ok = pread(f, out, len, static_cast<off_t>(addr)) == static_cast<ssize_t>(len);
  close(f);
  return ok;
}

constexpr unsigned long kMostPolled = 1024;

bool pollsPort(int dir, pid_t pid, const Call &c, dev_t device) {
  const unsigned long n = c.arg[1] < kMostPolled ? c.arg[1] : kMostPolled;
  std::vector<pollfd> fds(n);
  if (!peek(dir, pid, c.arg[0], fds.data(), n * sizeof(pollfd))) return true;  // it waits, and holds the port
  return std::any_of(fds.begin(), fds.end(), [&](const pollfd &p) {
    return (p.events & (POLLIN | POLLRDNORM)) != 0 && isPort(dir, pid, p.fd, device);
  });
}

bool selectsPort(int dir, pid_t pid, const Call &c, dev_t device) {
  if (c.arg[1] == 0) return false;  // no descriptor to read
  fd_set readable;
  const unsigned long n = c.arg[0] < FD_SETSIZE ? c.arg[0] : FD_SETSIZE;
  if (!peek(dir, pid, c.arg[1], &readable, (n + 7) / 8)) return true;
  for (unsigned long fd = 0; fd < n; ++fd) {
    if (FD_ISSET(static_cast<int>(fd), &readable) && isPort(dir, pid, static_cast<long>(fd), device)) return true;
  }
  return false;
}

// An epoll instance lists what it watches in its fdinfo: "tfd: N events: E ...".
bool epollsPort(int dir, pid_t pid, const Call &c, dev_t device) {
  const std::string info = readFile(dir, path(pid, "fdinfo/" + std::to_string(c.arg[0])));
  for (std::size_t at = info.find("tfd:"); at != std::string::npos; at = info.find("tfd:", at + 1)) {
    char *end = nullptr;
    const long fd = std::strtol(info.c_str() + at + 4, &end, 10);
    const std::size_t events = info.find("events:", at);
    if (events == std::string::npos) break;
    const unsigned long mask = std::strtoul(info.c_str() + events + 7, nullptr, 16);
    if ((mask & (EPOLLIN | EPOLLRDNORM)) != 0 && isPort(dir, pid, fd, device)) return true;
  }
  return false;
}

// Whether the blocked call c of pid waits for input on the port.
bool waitsForPort(int dir, pid_t pid, const Call &c, long readCall, dev_t device) {
  if (readCall != SYS_read) return c.nr == readCall && isPort(dir, pid, static_cast<long>(c.arg[0]), device);
  switch (c.nr) {
    case SYS_read:
    case SYS_readv:
    case SYS_pread64:
    case SYS_preadv:
    case SYS_preadv2: return isPort(dir, pid, static_cast<long>(c.arg[0]), device);
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll: return pollsPort(dir, pid, c, device);
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6: return selectsPort(dir, pid, c, device);
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
#endif
    case SYS_epoll_pwait: return epollsPort(dir, pid, c, device);
#ifdef SYS_nanosleep
    case SYS_nanosleep:
#endif
    case SYS_clock_nanosleep: return holdsPort(dir, pid, device, true);  // tries again after a pause
    default: return false;
  }
}

bool readsPort(int dir, pid_t pid, dev_t device) {
  long readCall = 0;
  bool abiKnown = false;
  for (const pid_t tid : tasks(dir, pid)) {
    Call c;
    if (!blockedCall(dir, pid, tid, c)) continue;
    if (!abiKnown) {  // opening the executable costs more than the rest: only for a blocked task
      readCall = readCallOf(dir, pid);
      abiKnown = true;
    }
    if (waitsForPort(dir, pid, c, readCall, device)) return true;
  }
  return false;
}

// True once somebody opened the port since the last call.
bool portOpened(int opens) {
  if (opens < 0) return true;  // without inotify, every look looks again
  bool opened = false;
  char events[4096];
  while (read(opens, events, sizeof events) > 0) opened = true;
  return opened;
}

// The children of every task of pid.
std::vector<pid_t> childrenOf(int dir, pid_t pid) {
  std::vector<pid_t> found;
  for (const pid_t tid : tasks(dir, pid)) {
    const std::string list = readFile(dir, path(pid, "task/" + std::to_string(tid) + "/children"));
    for (const char *at = list.c_str(); *at != '\0';) {
      char *end = nullptr;
      const auto child = static_cast<pid_t>(std::strtol(at, &end, 10));
      if (end == at) break;
      found.push_back(child);
      at = end;
    }
  }
  return found;
}

// Lists the whole namespace and tells holders from the rest; a process
// already known keeps its verdict unless somebody opened the port since.
void listAll(ReaderSearch &search, dev_t device, bool opened) {
  rewinddir(search.listing);
  std::unordered_map<pid_t, bool> seen;
  for (const pid_t pid : numbers(search.listing)) {
    const auto known = search.holds.find(pid);
    seen.emplace(pid, !opened && known != search.holds.end() ? known->second : holdsPort(search.procDir, pid, device));
  }
  search.holds.swap(seen);  // a process that ended is forgotten
  search.listed = std::chrono::steady_clock::now();
}

// The processes known to hold the port.
std::vector<pid_t> holdersOf(const ReaderSearch &search) {
  std::vector<pid_t> holders;
  for (const auto &[pid, holder] : search.holds) {
    if (holder) holders.push_back(pid);
  }
  return holders;
}

// Looks at the children the holders started since the last look, and at
// theirs in turn.
void listNewChildren(ReaderSearch &search, dev_t device) {
  for (std::vector<pid_t> parents = holdersOf(search); !parents.empty();) {
    std::vector<pid_t> newHolders;
    for (const pid_t parent : parents) {
      for (const pid_t child : childrenOf(search.procDir, parent)) {
        if (search.holds.count(child) != 0) continue;
        const bool holder = holdsPort(search.procDir, child, device);
        search.holds.emplace(child, holder);
        if (holder) newHolders.push_back(child);
      }
    }
    parents.swap(newHolders);
  }
}

constexpr auto kListEvery = std::chrono::seconds(1);

}  // namespace

void beginSearch(ReaderSearch &search, int procDir, const char *portPath) {
  endSearch(search);
  search.procDir = procDir;
  if (procDir >= 0) {
    const int copy = dup(procDir);
    search.listing = copy >= 0 ? fdopendir(copy) : nullptr;
    if (search.listing == nullptr && copy >= 0) close(copy);
  }
  search.opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (search.opens >= 0 && inotify_add_watch(search.opens, portPath, IN_OPEN) < 0) {
    close(search.opens);
    search.opens = -1;
  }
}

void endSearch(ReaderSearch &search) {
  if (search.listing != nullptr) closedir(search.listing);
  for (const int f : {search.procDir, search.opens}) {
    if (f >= 0) close(f);
  }
  search = ReaderSearch{};
}

pid_t findReader(ReaderSearch &search, pid_t program, dev_t device) {
  if (search.procDir < 0 || search.listing == nullptr) {
    return readsPort(machineProc(), program, device) ? program : -1;
  }
  const int dir = search.procDir;
  const bool opened = portOpened(search.opens);
  if (opened || std::chrono::steady_clock::now() - search.listed >= kListEvery) {
    listAll(search, device, opened);
  } else {
    listNewChildren(search, device);
  }
  if (search.last > 0 && readsPort(dir, search.last, device)) return search.last;
  for (const pid_t pid : holdersOf(search)) {
    if (pid != search.last && readsPort(dir, pid, device)) {
      search.last = pid;
      return pid;
    }
  }
  return -1;
}

long readCallOfElf(const unsigned char (&h)[kElfHeadSize]) {
  if (std::memcmp(h, ELFMAG, SELFMAG) != 0) return SYS_read;
  const bool bits64 = h[EI_CLASS] == ELFCLASS64;
  const bool bigEndian = h[EI_DATA] == ELFDATA2MSB;
  const unsigned char *machineBytes = h + EI_NIDENT + 2;  // e_machine, after e_type
  const unsigned machine = bigEndian ? (machineBytes[0] << 8U | machineBytes[1]) : (machineBytes[1] << 8U | machineBytes[0]);
  switch (machine) {
    case EM_X86_64: return bits64 ? 0 : 0x40000000;  // x32 numbers carry a flag bit
    case EM_386:
    case EM_ARM:
    case EM_S390:
    case EM_PPC:
    case EM_PPC64: return 3;
    case EM_AARCH64:
    case EM_RISCV:
    case EM_LOONGARCH: return 63;
    default: return SYS_read;
  }
}

int readingFd(pid_t pid) {
  Call c;
  return blockedCall(machineProc(), pid, pid, c) && c.nr == readCallOf(machineProc(), pid) ? static_cast<int>(c.arg[0])
                                                                                           : -1;
}

bool blockedInRead(pid_t pid, int fd) { return readingFd(pid) == fd; }

std::uint64_t cpuNs(pid_t pid) {
  return std::strtoull(readFile(machineProc(), path(pid, "schedstat")).c_str(), nullptr, 10);
}

std::uint64_t peakRssKiB(pid_t pid) { return field(pid, "status", "VmHWM", 10); }

bool signalPending(pid_t pid) {
  return field(pid, "status", "SigPnd", 16) != 0 || field(pid, "status", "ShdPnd", 16) != 0;
}

}  // namespace vpad::proc
