// SPDX-License-Identifier: MIT
// Fuzz target for the entry reader.
//
// The input is what the line does: an optional first part that rewrites
// the translation tables, then chunks, each a length byte and that many
// bytes; the line ends (end of file) after the last. A socket carries
// them to the driver's descriptor: either one message per chunk, of which
// a one-byte read takes the first byte (an empty one reads as end of
// file), or a stream, where every byte arrives, however the chunks fall.
// The entry buffer ends where a readable page ends.
//
// Every input must give exactly what a plain model of the reader says:
// an outcome with "E", or n from 0 to 255 with the entry's n bytes, and
// zero bytes to the end of the buffer; nothing is read or written outside
// it. vGetPinBuf and vGetPinEntry (without a time limit) are both checked.
//
// Input layout: byte 0 holds flags; bit 1 chooses the stream, bit 2
// vGetPinEntry; with bit 0 set, the next 20 bytes are mapchar[0..9] and
// mapconv[0..9]. Then: length byte, bytes, length byte...

#include "pin.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <semaphore.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kCodes = 10;
constexpr std::size_t kMaxReads = 4096;  // enough to run far past the buffer
constexpr std::uint8_t kTablesFlag = 1;
constexpr std::uint8_t kStreamFlag = 2;
constexpr std::uint8_t kEntryFlag = 4;

struct Line {
  std::vector<std::vector<char>> reads;
  bool stream = false;
};

// A buffer whose last byte is the last byte of a readable page.
char *guardedBuffer() {
  static char *buf = [] {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto *base = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base == MAP_FAILED || mprotect(base + page, page, PROT_NONE) != 0) std::abort();
    return base + page - PIN_BUF_SIZE;
  }();
  return buf;
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Sends a line's reads on a socket, one message each, then closes it: end
// of file. One thread serves every input (a thread per input would make
// the sanitizers' bookkeeping grow without end on long runs).
class Writer {
 public:
  static Writer &get() {
    static Writer writer;
    return writer;
  }
  void start(const Line &line, int out) {
    line_ = &line;
    out_ = out;
    sem_post(&go_);
  }
  void finish() {
    while (sem_wait(&done_) != 0) {
    }
  }

 private:
  Writer() {
    sem_init(&go_, 0, 0);
    sem_init(&done_, 0, 0);
    std::thread([this] { serve(); }).detach();
  }
  [[noreturn]] void serve() {
    for (;;) {
      while (sem_wait(&go_) != 0) {
      }
      for (const std::vector<char> &read : line_->reads) {
        if (send(out_, read.data(), read.size(), MSG_NOSIGNAL) < 0) break;  // the reader is done
      }
      close(out_);
      sem_post(&done_);
    }
  }
  sem_t go_{};
  sem_t done_{};
  const Line *line_ = nullptr;
  int out_ = -1;
};

// The bytes the reader sees, one per read, before the line ends.
std::vector<char> keysOf(const Line &line) {
  std::vector<char> keys;
  for (const std::vector<char> &read : line.reads) {
    if (line.stream) {
      keys.insert(keys.end(), read.begin(), read.end());
    } else if (read.empty()) {
      break;  // a read of no byte: end of file
    } else {
      keys.push_back(read[0]);  // a message socket drops the rest of a message read in part
    }
  }
  return keys;
}

// What the reader must return and store.
int model(const Line &line, char *entry) {
  std::size_t p = 0;
  bool overlong = false;
  for (const char key : keysOf(line)) {
    if (key == '*') return PIN_CANCELLED;
    if (key == '#') return overlong ? PIN_TOO_LONG : static_cast<int>(p);
    char stored = key;
    for (std::size_t i = 0; i < kCodes; ++i) {
      if (mapchar[i] == key) {
        stored = mapconv[i];
        break;
      }
    }
    entry[p] = stored;
    if (p == PIN_BUF_SIZE - 1) {
      overlong = true;
    } else {
      ++p;
    }
  }
  return PIN_LINE_LOST;  // the line ended first
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::memcpy(mapchar, "0123456789", kCodes + 1);
  std::memcpy(mapconv, "0123456789", kCodes + 1);
  std::size_t at = 0;
  const std::uint8_t flags = size > 0 ? data[at++] : 0;
  Line line;
  line.stream = (flags & kStreamFlag) != 0;
  if ((flags & kTablesFlag) != 0 && size - at >= 2 * kCodes) {
    std::memcpy(mapchar, data + at, kCodes);
    std::memcpy(mapconv, data + at + kCodes, kCodes);
    at += 2 * kCodes;
  }
  while (at < size && line.reads.size() < kMaxReads) {
    const std::size_t length = data[at++];
    const std::size_t n = std::min(length, size - at);
    line.reads.emplace_back(data + at, data + at + n);
    at += n;
  }

  int ends[2];
  if (socketpair(AF_UNIX, (line.stream ? SOCK_STREAM : SOCK_SEQPACKET) | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
  Writer &writer = Writer::get();
  writer.start(line, ends[1]);
  char *buf = guardedBuffer();
  std::memset(buf, '#', PIN_BUF_SIZE);  // a byte no read delivered would end the entry
  fd = ends[0];
  const bool entry = (flags & kEntryFlag) != 0;
  const int got = entry ? vGetPinEntry(buf, -1) : vGetPinBuf(buf);
  close(ends[0]);
  writer.finish();

  char expected[PIN_BUF_SIZE] = {};
  const int outcome = model(line, expected);
  check(got == (entry || outcome >= 0 ? outcome : PIN_CANCELLED));
  // The whole buffer: the entry (or "E") and zero bytes to the end, so
  // that no key of a rejected entry and no dropped byte remains.
  if (got < 0) {
    std::memset(expected, 0, sizeof expected);
    expected[0] = 'E';
  } else {
    check(got <= PIN_BUF_SIZE - 1);
    std::memset(expected + got, 0, sizeof expected - static_cast<std::size_t>(got));
  }
  check(std::memcmp(buf, expected, sizeof expected) == 0);
  return 0;
}
