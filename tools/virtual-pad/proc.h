// SPDX-License-Identifier: MIT
// What /proc tells about the program and the processes it started.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace vpad::proc {

// Where to look for a process waiting for input on the port. The looks
// read the system calls only of the processes that hold the port, in the
// /proc of the program's own PID namespace. A process comes to hold the
// port by opening it, which inotify tells, or by being started by one
// that holds it: so the whole namespace is listed only after an open
// (and once a second, for the odd case), and otherwise only the holders'
// new children are looked at. However many other processes the program
// starts, they cost next to nothing.
struct ReaderSearch {
  int procDir = -1;          // that /proc; -1 where there is none (the program alone is looked at)
  int opens = -1;            // inotify, readable once somebody opened the port; -1: none
  DIR *listing = nullptr;    // procDir's listing
  pid_t last = -1;           // where the last reader was found, looked at first
  std::unordered_map<pid_t, bool> holds;  // whether a process holds the port, as last seen
  std::chrono::steady_clock::time_point listed;  // when the namespace was last listed whole
};

// Starts looking in procDir (taken over), watching `portPath` for opens.
void beginSearch(ReaderSearch &search, int procDir, const char *portPath);
void endSearch(ReaderSearch &search);

// A process waiting for input on the character device `device`: blocked
// reading it (read, readv, pread and the like), waiting for it to become
// readable (poll, select, epoll), or, holding it without blocking,
// sleeping between tries. -1 if none. Without a procDir, only `program`
// (a pid of this process's /proc) is looked at.
pid_t findReader(ReaderSearch &search, pid_t program, dev_t device);

// The number of read() in the system call table of the ABI that an ELF
// header (its first kElfHeadSize bytes) names; ours where it names none
// we know. A 32-bit program on a 64-bit kernel calls through the 32-bit
// table, and /proc shows its calls by those numbers. (A program that
// qemu-user runs makes the host's calls: its executable is qemu's.)
constexpr std::size_t kElfHeadSize = 20;
long readCallOfElf(const unsigned char (&header)[kElfHeadSize]);

// The descriptor pid is blocked reading, or -1.
int readingFd(pid_t pid);
// True if pid is blocked in read() on its descriptor fd.
bool blockedInRead(pid_t pid, int fd);
// CPU time used, in nanoseconds, from /proc/PID/schedstat; also for a
// process that has ended and is not yet reaped.
std::uint64_t cpuNs(pid_t pid);
// Peak resident memory in KiB (VmHWM) of a running process.
std::uint64_t peakRssKiB(pid_t pid);
// True while a signal sent to pid has not been handled yet.
bool signalPending(pid_t pid);

}  // namespace vpad::proc
