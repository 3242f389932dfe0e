// PIN pad driver: the port's settings, one entry at a time.

#include "pin.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int fd = 0;
char mapchar[PIN_MAP_SIZE] = "0123456789";
char mapconv[PIN_MAP_SIZE] = "0123456789";

namespace {

constexpr const char *kDevice = "/dev/ttyS0";
constexpr char kConfirm = '#';
constexpr char kCancel = '*';
constexpr char kRejected = 'E';  // what the buffer holds for a cancelled entry
constexpr int kRejectedResult = -1;
constexpr int kCodes = 10;  // mapchar/mapconv entries that are consulted

constexpr std::size_t kBufSize = PIN_BUF_SIZE;
constexpr std::size_t kLast = kBufSize - 1;  // the position that must hold the final zero
constexpr std::size_t kMaxRead = 255;

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

// Reads into dst, at most room bytes, starting again when a signal
// interrupts the wait. False when the line gives no byte: end of file
// (the pad unplugged, the line hung up) or an error. A hung-up line keeps
// answering at once, so the caller must stop reading, not try again.
bool readKey(char *dst, std::size_t room) {
  ssize_t n = 0;
  do {
    n = read(fd, dst, room);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

char translate(char code) {
  for (int i = 0; i < kCodes; ++i) {
    if (mapchar[i] == code) return mapconv[i];
  }
  return code;
}

// A rejected entry leaves "E" and zero bytes: none of the keys typed.
int reject(char *buf) {
  std::memset(buf, 0, kBufSize);
  buf[0] = kRejected;
  return kRejectedResult;
}

// True while fd is still the descriptor vOpenPin opened on the port.
bool stillHeld() {
  struct stat now {};
  return holdsPort && fstat(fd, &now) == 0 && now.st_dev == heldPort.st_dev && now.st_ino == heldPort.st_ino;
}

// Opens the port, or reports why not and ends the process. The open does
// not wait for a carrier: a port whose settings lack clocal would block
// here for ever when the pad drives no DCD. The descriptor is kept from
// the programs the caller starts, and above the standard streams.
int openPort() {
  int port = -1;
  do {
    port = open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (port < 0 && errno == EINTR);
  if (port >= 0 && port < kFirstFreeFd) {
    const int moved = fcntl(port, F_DUPFD_CLOEXEC, kFirstFreeFd);
    const int failure = errno;
    close(port);
    errno = failure;
    port = moved;
  }
  if (port < 0) {
    std::perror(kDevice);
    std::exit(-1);
  }
  return port;
}

}  // namespace

void vOpenPin(struct termios *saved) {
  savedFilled = 0;
  if (!stillHeld()) {
    fd = openPort();
    holdsPort = fstat(fd, &heldPort) == 0;
  }
  savedFilled = tcgetattr(fd, saved) == 0 ? 1 : 0;
  const termios pad = padSettings();
  tcsetattr(fd, TCSANOW, &pad);
  // Whatever reached the port before now (line noise, keys pressed while
  // nobody was listening) belongs to no entry. Dropping it only once the
  // pad's settings are on means no byte is ever taken under the earlier
  // ones (a console's icrnl would turn a carriage return into a newline).
  tcflush(fd, TCIFLUSH);
  // The pad's settings ignore the modem lines: from here on every read
  // waits for a key, as it should.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

int vClosePin(const struct termios *saved) {
  if (savedFilled == 0) return -1;
  return tcsetattr(fd, TCSANOW, saved) == 0 ? 0 : -1;
}

int vGetPinBuf(char *buf) {
  std::size_t p = 0;
  bool overlong = false;
  for (;;) {
    // The pad sends one byte per key, so a read normally brings one key.
    // When several bytes arrive together only the first is taken; the
    // next read stores over the rest. Never ask for more than fits.
    const std::size_t room = kBufSize - p < kMaxRead ? kBufSize - p : kMaxRead;
    if (!readKey(buf + p, room)) return reject(buf);
    const char key = buf[p];
    if (key == kCancel) return reject(buf);
    if (key == kConfirm) {
      if (overlong) return reject(buf);
      // The zero byte, and nothing after it: not the "#", nor the bytes a
      // longer read left behind.
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
