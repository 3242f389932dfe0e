// SPDX-License-Identifier: MIT
// pin_prompt: asks for a PIN of 4 to 6 digits, as a kiosk would, with the
// C++ interface. The port is opened once and put back however the program
// leaves (a Port), each entry is held in a Pin that wipes itself, and the
// PIN is never shown: only its length, masked. A cancelled or malformed
// entry may be tried again, three times in all; a pad that stays silent,
// or is unplugged, ends the session with its own message and status.
#include <ttypinpad/pin.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <system_error>

namespace {

constexpr int kTries = 3;
constexpr std::size_t kShortest = 4;
constexpr std::size_t kLongest = 6;
constexpr auto kKeyTimeout = std::chrono::seconds(30);

enum Status { kAccepted = 0, kRefused = 1, kSilent = 2, kNoPad = 3 };

// Every byte the reader counted: a zero byte from the line (a BREAK) is
// part of the entry, so a string's own end is no guide.
bool wellFormed(const ttypinpad::Pin &pin) {
  const std::string_view digits = pin.digits();
  return digits.size() >= kShortest && digits.size() <= kLongest &&
         std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads up to kTries entries; the status the session ends with.
Status session(ttypinpad::Port &pad) {
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    std::cout << "PIN (" << kShortest << " to " << kLongest << " digits, # to confirm, * to cancel): " << std::flush;
    ttypinpad::Pin pin;
    switch (pad.read(pin, kKeyTimeout)) {
      case ttypinpad::Outcome::Confirmed:
        if (wellFormed(pin)) {
          std::cout << "accepted " << std::string(pin.size(), '*') << std::endl;
          pin.wipe();  // handed on (to the payment host, say) and no longer needed
          return kAccepted;
        }
        std::cout << "not a PIN, try again" << std::endl;
        break;
      case ttypinpad::Outcome::TooLong: std::cout << "not a PIN, try again" << std::endl; break;
      case ttypinpad::Outcome::Cancelled: std::cout << "cancelled, try again" << std::endl; break;
      case ttypinpad::Outcome::TimedOut: std::cout << "no key for 30 s" << std::endl; return kSilent;
      case ttypinpad::Outcome::LineLost: std::cout << "the pad was unplugged" << std::endl; return kNoPad;
    }
  }
  std::cout << "too many tries" << std::endl;
  return kRefused;
}

}  // namespace

int main() {
  try {
    ttypinpad::Port pad("/dev/ttyS0");
    return session(pad);
  } catch (const std::system_error &e) {
    std::cerr << "pin_prompt: the pad is unavailable: " << e.what() << std::endl;
    return kNoPad;
  }
}
