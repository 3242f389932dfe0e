#include "proc.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vpad::proc {
namespace {

std::string path(pid_t pid, const std::string &rest) { return "/proc/" + std::to_string(pid) + "/" + rest; }

// A small /proc file whole ("" if it cannot be read): one open, one read.
std::string readSmall(const std::string &file) {
  const int f = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) return {};
  char text[4096];
  const ssize_t n = read(f, text, sizeof text - 1);
  close(f);
  return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

// A number from a "name: value" line of a /proc file; 0 if missing.
std::uint64_t field(pid_t pid, const char *file, const std::string &name, int base) {
  const std::string text = readSmall(path(pid, file));
  const std::string key = "\n" + name + ":";
  const std::size_t at = ("\n" + text).find(key);
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size() - 1, nullptr, base);
}

// The system call a task (tid of pid) is blocked in and its first
// argument; false while it runs or when it cannot be told.
bool blockedCall(pid_t pid, pid_t tid, long &call, unsigned long &arg0) {
  const std::string text = readSmall(path(pid, "task/" + std::to_string(tid) + "/syscall"));
  char *end = nullptr;
  call = std::strtol(text.c_str(), &end, 10);  // "running" when it runs
  if (end == text.c_str()) return false;
  const char *args = end;
  arg0 = std::strtoul(args, &end, 16);
  return end != args;
}

// The number of read() for pid's own ABI (see readCallOfElf).
long readCallOf(pid_t pid) {
  unsigned char header[kElfHeadSize] = {};
  const int f = open(path(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = f >= 0 && read(f, header, sizeof header) == static_cast<ssize_t>(sizeof header);
  if (f >= 0) close(f);
  return ok ? readCallOfElf(header) : SYS_read;
}

// The tasks (threads) of pid.
std::vector<pid_t> tasks(pid_t pid) {
  std::vector<pid_t> found;
  if (DIR *dir = opendir(path(pid, "task").c_str())) {
    while (const dirent *e = readdir(dir)) {
      const auto tid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
      if (tid > 0) found.push_back(tid);
    }
    closedir(dir);
  }
  return found;
}

// True if a task of pid is blocked in read() on the device. The call's
// number is looked at last: telling the ABI means opening the executable.
bool readsDevice(pid_t pid, const std::vector<pid_t> &taskIds, dev_t device) {
  for (const pid_t tid : taskIds) {
    long call = -1;
    unsigned long arg0 = 0;
    struct stat st {};
    if (blockedCall(pid, tid, call, arg0) && stat(path(pid, "fd/" + std::to_string(arg0)).c_str(), &st) == 0 &&
        S_ISCHR(st.st_mode) && st.st_rdev == device && call == readCallOf(pid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

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

pid_t readerOf(const pid_t (&roots)[2], pid_t hint, dev_t device) {
  if (hint > 0 && readsDevice(hint, tasks(hint), device)) return hint;
  std::vector<pid_t> todo(std::begin(roots), std::end(roots));
  for (std::size_t i = 0; i < todo.size(); ++i) {
    const pid_t pid = todo[i];
    if (pid <= 0) continue;
    const std::vector<pid_t> taskIds = tasks(pid);
    if (pid != hint && readsDevice(pid, taskIds, device)) return pid;
    for (const pid_t tid : taskIds) {
      const std::string children = readSmall(path(pid, "task/" + std::to_string(tid) + "/children"));
      for (const char *at = children.c_str(); *at != '\0';) {
        char *end = nullptr;
        const auto child = static_cast<pid_t>(std::strtol(at, &end, 10));
        if (end == at) break;
        todo.push_back(child);
        at = end;
      }
    }
  }
  return -1;
}

int readingFd(pid_t pid) {
  long call = -1;
  unsigned long arg0 = 0;
  return blockedCall(pid, pid, call, arg0) && call == readCallOf(pid) ? static_cast<int>(arg0) : -1;
}

bool blockedInRead(pid_t pid, int fd) { return readingFd(pid) == fd; }

std::uint64_t bytesRead(pid_t pid) { return field(pid, "io", "rchar", 10); }

std::uint64_t cpuNs(pid_t pid) { return std::strtoull(readSmall(path(pid, "schedstat")).c_str(), nullptr, 10); }

std::uint64_t peakRssKiB(pid_t pid) { return field(pid, "status", "VmHWM", 10); }

bool signalPending(pid_t pid) {
  return field(pid, "status", "SigPnd", 16) != 0 || field(pid, "status", "ShdPnd", 16) != 0;
}

}  // namespace vpad::proc
