// SPDX-License-Identifier: MIT
//
// pin.hpp - the PIN pad driver for C++17 programs.
//
//     ttypinpad::Port port("/dev/ttyS0");   // throws std::system_error
//     ttypinpad::Pin pin;
//     switch (port.read(pin, std::chrono::seconds(30))) {
//       case ttypinpad::Outcome::Confirmed: check(pin.digits()); break;
//       case ttypinpad::Outcome::TimedOut: ...
//     }
//                                           // pin wiped, port put back
//
// A Port opens the pad's port and puts the pad's settings on it (see
// vOpenPinAt in pin.h); when it goes out of scope, exceptions included,
// the port's earlier settings go back. The driver's state is global, so
// a process has one port: a second Port while one is open is refused.
// A Pin holds one entry and wipes it when it goes out of scope, or on
// wipe(). Neither allocates.
#ifndef TTYPINPAD_PIN_HPP
#define TTYPINPAD_PIN_HPP

#include "pin.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <system_error>

namespace ttypinpad {

// How an entry ended.
enum class Outcome {
  Confirmed,  // "#": the Pin holds the entry
  Cancelled,  // "*"
  TimedOut,   // no key came within the time limit
  LineLost,   // the line hung up, the pad was unplugged, or a read failed
  TooLong,    // more than 255 bytes before "#"
};

// One entry, wiped when it goes out of scope.
class Pin {
 public:
  Pin() = default;
  ~Pin() { wipe(); }
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;

  // The entry's bytes, a zero byte from the line (a BREAK) included.
  std::string_view digits() const noexcept { return {buf_, length_}; }
  std::size_t size() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  // Clears every byte, as soon as the entry has been used.
  void wipe() noexcept {
    explicit_bzero(buf_, sizeof buf_);
    length_ = 0;
  }

 private:
  friend class Port;
  char buf_[PIN_BUF_SIZE] = {};
  std::size_t length_ = 0;
};

// The pad's port, held from construction to destruction.
class Port {
 public:
  // Waits for a key without limit.
  static constexpr std::chrono::milliseconds kNoLimit{-1};

  // Opens the port at path and puts the pad's settings on it. Throws
  // std::system_error: device_or_resource_busy while another Port is
  // open, otherwise the reason the port could not be opened or set up.
  explicit Port(const char *path = "/dev/ttyS0") {
    // cppcheck-suppress knownConditionTrueFalse ; another Port sets it
    if (open_) throw std::system_error(EBUSY, std::generic_category(), "a PIN pad port is already open");
    if (vOpenPinAt(path, &saved_) != 0) throw std::system_error(errno, std::generic_category(), path);
    open_ = true;
  }
  // Puts the port's earlier settings back.
  ~Port() {
    vClosePin(&saved_);
    open_ = false;
  }
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

  // Reads one entry into pin, with keyTimeout as the limit for each key.
  // (A member, though the driver's state is global: only an open Port
  // may read.)
  // NOLINTNEXTLINE(readability-convert-member-functions-to-static)
  Outcome read(Pin &pin, std::chrono::milliseconds keyTimeout = kNoLimit) {
    const auto ms = keyTimeout.count();
    const int limit = ms < 0 ? -1 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    const int n = vGetPinEntry(pin.buf_, limit);
    pin.length_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    switch (n) {
      case PIN_CANCELLED: return Outcome::Cancelled;
      case PIN_TIMED_OUT: return Outcome::TimedOut;
      case PIN_LINE_LOST: return Outcome::LineLost;
      case PIN_TOO_LONG: return Outcome::TooLong;
      default: return Outcome::Confirmed;
    }
  }

 private:
  termios saved_{};
  static inline bool open_ = false;
};

}  // namespace ttypinpad

#endif  // TTYPINPAD_PIN_HPP
