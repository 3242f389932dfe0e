// SPDX-License-Identifier: MIT
// PIN pad driver: the port's settings, one entry at a time.

#include "pin.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

int fd = 0;
char mapchar[PIN_MAP_SIZE] = "0123456789";
char mapconv[PIN_MAP_SIZE] = "0123456789";

namespace {

constexpr const char *kDevice = "/dev/ttyS0";
constexpr char kConfirm = '#';
constexpr char kCancel = '*';
constexpr char kRejected = 'E';  // what the buffer holds for an entry not confirmed
constexpr int kCodes = 10;  // mapchar/mapconv entries that are consulted

constexpr std::size_t kBufSize = PIN_BUF_SIZE;
constexpr std::size_t kLast = kBufSize - 1;  // the position that must hold the final zero

static_assert(PIN_CANCELLED == -1, "vGetPinBuf's -1 is a cancelled entry's result");

constexpr tcflag_t kPadCflag = B2400 | CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;

// The lowest descriptor the port may have: 0, 1 and 2 are the standard
// streams, and a port there would receive what is meant for the console.
constexpr int kFirstFreeFd = 3;

// True once vOpenPin has filled the caller's record: vClosePin applies
// nothing else. The driver keeps no copy of the record itself. A program
// may call vClosePin from a signal handler that interrupts vOpenPin, so
// the flag is set and read as a signal handler sees it.
volatile sig_atomic_t savedFilled = 0;

// The file behind the descriptor the driver opened, so that a second
// vOpenPin can tell that fd still holds the port and reuse it.
struct stat heldPort {};
bool holdsPort = false;

// The pad's settings, built from nothing so that no setting of whoever
// used the port before can leak into the pad's.
termios padSettings() {
  termios pad{};  // every field zero, the control characters included
  pad.c_iflag = IGNPAR;
  pad.c_cflag = kPadCflag;
  // Some C libraries keep the speed outside c_cflag; their own calls put
  // it where they look for it. The baud bits above stay the same.
  cfsetispeed(&pad, B2400);
  cfsetospeed(&pad, B2400);
  pad.c_cc[VMIN] = 1;   // wait for one byte ...
  pad.c_cc[VTIME] = 0;  // ... without a timer
  return pad;
}

// What waiting for a key came to.
enum class Key { Taken, TimedOut, Lost };

// Milliseconds from now to the deadline, never below zero.
int msUntil(const timespec &deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec + 999'999) / 1'000'000;
  return ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Reads one key, starting again when a signal interrupts the wait. One
// byte per read: a pad's keys that arrive together (typed while the
// program was busy, or handed over by the UART's FIFO in one go) are each
// taken in turn, and those after the key that ends an entry stay queued
// for the next one. With a time limit (timeoutMs >= 0) it waits for the
// byte in poll, against a deadline, so that a signal neither shortens nor
// stretches the limit. Lost when the line gives no byte: end of file (the
// pad unplugged, the line hung up) or an error. A hung-up line keeps
// answering at once, so the caller must stop reading, not try again.
Key readKey(char *key, int timeoutMs) {
  if (fd < 0) return Key::Lost;  // poll would wait on it as on nothing
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += (timeoutMs % 1000) * 1'000'000L;
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  for (;;) {
    if (timeoutMs >= 0) {
      pollfd input{fd, POLLIN, 0};
      const int ready = poll(&input, 1, msUntil(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return Key::Lost;
      if (ready == 0) return Key::TimedOut;
    }
    const ssize_t n = read(fd, key, 1);
    if (n == 1) return Key::Taken;
    if (n < 0 && (errno == EINTR || (errno == EAGAIN && timeoutMs >= 0))) continue;
    return Key::Lost;
  }
}

char translate(char code) {
  for (int i = 0; i < kCodes; ++i) {
    if (mapchar[i] == code) return mapconv[i];
  }
  return code;
}

// An entry that is not confirmed leaves "E" and zero bytes: none of the
// keys typed.
int reject(char *buf, int outcome) {
  std::memset(buf, 0, kBufSize);
  buf[0] = kRejected;
  return outcome;
}

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True while fd is still the descriptor the driver opened on the port at
// path.
bool stillHeld(const char *path) {
  struct stat now {};
  struct stat named {};
  return holdsPort && fstat(fd, &now) == 0 && sameFile(now, heldPort) && stat(path, &named) == 0 &&
         S_ISCHR(named.st_mode) && named.st_rdev == heldPort.st_rdev;
}

// Opens the port; -1 with errno when it cannot. The open does not wait
// for a carrier: a port whose settings lack clocal would block here for
// ever when the pad drives no DCD. The descriptor is kept from the
// programs the caller starts, and above the standard streams.
int openPort(const char *path) {
  int port = -1;
  do {
    port = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (port < 0 && errno == EINTR);
  if (port >= 0 && port < kFirstFreeFd) {
    const int moved = fcntl(port, F_DUPFD_CLOEXEC, kFirstFreeFd);
    const int failure = errno;
    close(port);
    errno = failure;
    port = moved;
  }
  return port;
}

// How strictly an open treats a port whose settings cannot be read or set.
enum class Settings {
  BestEffort,  // vOpenPin: go on regardless
  Required,    // vOpenPinAt: fail, and leave everything as it was
};

// True while fd is the descriptor the driver opened, on any port.
bool holdingAPort() {
  struct stat now {};
  return holdsPort && fstat(fd, &now) == 0 && sameFile(now, heldPort);
}

// vOpenPin and vOpenPinAt. Before the pad's settings go on, fd holds the
// port and the caller's record the settings to restore, so that a signal
// handler's vClosePin puts them back from the first moment.
int openAt(const char *path, struct termios *saved, Settings strictness) {
  const bool reuse = stillHeld(path);
  const int port = reuse ? fd : openPort(path);
  if (port < 0) return -1;
  struct stat st {};
  termios before{};
  const bool readable = tcgetattr(port, &before) == 0;
  if ((!readable && strictness == Settings::Required) || (!reuse && fstat(port, &st) != 0)) {
    const int why = errno;
    if (!reuse) close(port);
    errno = why;
    return -1;
  }
  const bool switching = !reuse && holdingAPort();
  const int earlierFd = fd;
  const termios earlier = *saved;
  const sig_atomic_t earlierFilled = savedFilled;
  savedFilled = 0;
  if (readable) *saved = before;
  fd = port;
  savedFilled = readable ? 1 : 0;
  const termios pad = padSettings();
  if (tcsetattr(port, TCSANOW, &pad) != 0 && strictness == Settings::Required) {
    const int why = errno;
    savedFilled = 0;
    fd = earlierFd;
    *saved = earlier;
    savedFilled = earlierFilled;
    if (!reuse) close(port);
    errno = why;
    return -1;
  }
  if (!reuse) {
    if (switching) close(earlierFd);  // one port per process: the one opened last
    heldPort = st;
    holdsPort = true;
  }
  // Whatever reached the port before now (line noise, keys pressed while
  // nobody was listening) belongs to no entry. Dropping it only once the
  // pad's settings are on means no byte is ever taken under the earlier
  // ones (a console's icrnl would turn a carriage return into a newline).
  tcflush(fd, TCIFLUSH);
  // The pad's settings ignore the modem lines: from here on every read
  // waits for a key, as it should.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return 0;
}

}  // namespace

void vOpenPin(struct termios *saved) {
  if (openAt(kDevice, saved, Settings::BestEffort) != 0) {
    std::perror(kDevice);
    std::exit(-1);
  }
}

int vOpenPinAt(const char *path, struct termios *saved) { return openAt(path, saved, Settings::Required); }

int vClosePin(const struct termios *saved) {
  if (savedFilled == 0) return -1;
  return tcsetattr(fd, TCSANOW, saved) == 0 ? 0 : -1;
}

int vGetPinEntry(char *buf, int keyTimeoutMs) {
  std::size_t p = 0;
  bool overlong = false;
  for (;;) {
    char key = 0;
    switch (readKey(&key, keyTimeoutMs)) {
      case Key::Taken: break;
      case Key::TimedOut: return reject(buf, PIN_TIMED_OUT);
      case Key::Lost: return reject(buf, PIN_LINE_LOST);
    }
    if (key == kCancel) return reject(buf, PIN_CANCELLED);
    if (key == kConfirm) {
      if (overlong) return reject(buf, PIN_TOO_LONG);
      // The zero byte, and nothing after it: no key of an earlier entry.
      std::memset(buf + p, 0, kBufSize - p);
      return static_cast<int>(p);
    }
    buf[p] = translate(key);
    // An entry that reaches the last position has no room for its zero
    // byte. Keep taking keys there until the entry ends, then reject it
    // whole rather than hand back a cut entry.
    if (p == kLast) {
      overlong = true;
    } else {
      ++p;
    }
  }
}

int vGetPinBuf(char *buf) {
  const int result = vGetPinEntry(buf, -1);
  return result < 0 ? PIN_CANCELLED : result;
}
