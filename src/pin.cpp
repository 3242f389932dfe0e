// PIN pad driver: the port's settings, one entry at a time.

#include "pin.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
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

// True once vOpenPin has filled the caller's record: vClosePin applies
// nothing else. The driver keeps no copy of the record itself.
bool savedFilled = false;

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

int reject(char *buf) {
  buf[0] = kRejected;
  buf[1] = '\0';
  return kRejectedResult;
}

}  // namespace

void vOpenPin(struct termios *saved) {
  savedFilled = false;
  do {
    fd = open(kDevice, O_RDWR | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    std::perror(kDevice);
    std::exit(-1);
  }
  savedFilled = tcgetattr(fd, saved) == 0;
  const termios pad = padSettings();
  // Whatever reached the port before now (line noise, keys pressed while
  // nobody was listening) belongs to no entry. Dropping it before the new
  // settings take effect means an entry starts with the first byte that
  // arrives under them.
  tcflush(fd, TCIFLUSH);
  tcsetattr(fd, TCSANOW, &pad);
}

int vClosePin(const struct termios *saved) {
  if (!savedFilled) return -1;
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
      buf[p] = '\0';
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
