// What /proc tells about the program and the processes it started.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vpad::proc {

// The process of the tree under `roots` that is blocked reading the
// character device `device`, or -1. Looks at `hint` first. Only the tree is
// walked, never the whole of /proc.
pid_t readerOf(const pid_t (&roots)[2], pid_t hint, dev_t device);

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
// Bytes pid has read so far, by any system call.
std::uint64_t bytesRead(pid_t pid);
// CPU time used, in nanoseconds, from /proc/PID/schedstat; also for a
// process that has ended and is not yet reaped.
std::uint64_t cpuNs(pid_t pid);
// Peak resident memory in KiB (VmHWM) of a running process.
std::uint64_t peakRssKiB(pid_t pid);
// True while a signal sent to pid has not been handled yet.
bool signalPending(pid_t pid);

}  // namespace vpad::proc
