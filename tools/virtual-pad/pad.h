// The virtual pad: a pseudo-terminal that stands in for the PIN pad on
// /dev/ttyS0, and the means to run a program against it and play keys.
//
// The program runs in a private mount namespace in which /dev/ttyS0 is the
// slave side of a fresh pseudo-terminal; the pad holds the master side.
// Nothing here ever opens the machine's own /dev/ttyS0: where the
// namespace cannot be made, the program is not started.
//
// Keys go out one at a time, each only once the program is blocked in a
// read of the port, so every key arrives by itself, as from a person at
// the pad, and no timing is guessed. The virtual-pad tool and the tests
// use this same code.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vpad {

// What /dev/ttyS0 is in the program's namespace.
enum class Port {
  Pad,      // the slave side of the pad's pseudo-terminal
  Missing,  // nothing: the namespace gets an empty /dev
  Denied,   // the pad, but without permission to open it
};

// Waits without a limit.
constexpr int kForever = -1;

// A pad and, once started, the program it serves.
struct Pad {
  int master = -1;
  int slave = -1;  // held open so the line stays up while nobody else has it
  dev_t device = 0;
  std::string slavePath;
  pid_t pid = -1;    // the program, once started
  int pidfd = -1;    // readable once the program has ended
};

// Opens a fresh pseudo-terminal for the pad. False, with the reason in
// why, if the system has none to give.
bool open(Pad &pad, std::string &why);

// Closes the pad's ends of the line. Closing the master is unplugging
// the pad: the program's reads of the port fail from then on.
void unplug(Pad &pad);
void close(Pad &pad);

// Standard streams of the started program: a descriptor, kKeep for the
// caller's own, or kClosed to start the program with that stream closed.
constexpr int kKeep = -1;
constexpr int kClosed = -2;
struct Stdio {
  int in = -1;
  int out = -1;
  int err = -1;
};

// Makes this process's private mount namespace in which /dev/ttyS0 is
// as `port` says. Mounts are made private, recursively, before anything
// is mounted. False, with the reason in why, if any step fails; the
// process must then not go on to use /dev/ttyS0. Changes the calling
// process for good: call it in a child made for the purpose.
bool isolate(const Pad &pad, Port port, std::string &why);

// Starts argv[0] with argv, its namespace made by isolate. False, with the
// reason in why, if the namespace could not be made or the program could
// not be run; `status` is then what the tool exits with (125: no
// namespace; 126: not runnable; 127: not found).
bool start(Pad &pad, char *const argv[], Port port, const Stdio &stdio,
           std::string &why, int &status);

// What a wait for the program came to.
enum class Wait {
  Reading,  // blocked in a read of the port
  Ended,    // the program has ended (not yet reaped)
  TimedOut,
  Stopped,  // a stop signal reached the tool (see stopOnSignals)
};

// Waits until the program, or a process it started, is blocked in a
// read of the port, or until the program ends.
Wait waitReading(const Pad &pad, int timeoutMs);

// Types bytes as keys: each goes out alone, once the program waits for
// it, and is consumed before the next. Reading when all went through;
// otherwise what stopped it, with `typed` the number of bytes sent.
Wait type(const Pad &pad, std::string_view keys, int timeoutMs, std::size_t *typed = nullptr);

// Sends bytes all at once, as one burst on the line, and waits until the
// program has read every one of them (or ends).
Wait burst(const Pad &pad, std::string_view bytes, int timeoutMs);

// Waits for the program to end without reaping it, so that its figures
// in /proc stay readable.
Wait waitEnded(const Pad &pad, int timeoutMs);

// Reaps the program. Returns its status as a shell reports it: the exit
// status, or 128 plus the number of the signal that ended it.
int reap(Pad &pad);

// The line settings as the program left them (the slave's settings).
bool settings(const Pad &pad, termios &out);

// The settings in words a person knows from stty -a, a few lines.
std::string describe(const termios &t);

// Turns "\r", "\n", "\t", "\0", "\\" and "\xHH" into bytes; false, with
// the reason in why, on an escape it does not know.
bool unescape(std::string_view text, std::string &out, std::string &why);

// After this, SIGINT, SIGTERM and SIGHUP make the waits above return
// Stopped; stopSignal() tells which signal came (0: none).
void stopOnSignals();
int stopSignal();

// Figures about a process from /proc.
namespace proc {
// True if pid is blocked in read() on its descriptor fd.
bool blockedInRead(pid_t pid, int fd);
// The descriptor pid is blocked reading, or -1.
int readingFd(pid_t pid);
// CPU time used, in nanoseconds, from /proc/PID/schedstat; also for a
// process that has ended and is not yet reaped.
std::uint64_t cpuNs(pid_t pid);
// Peak resident memory in KiB (VmHWM) of a running process.
std::uint64_t peakRssKiB(pid_t pid);
// True while a signal sent to pid has not been handled yet.
bool signalPending(pid_t pid);
}  // namespace proc

}  // namespace vpad
