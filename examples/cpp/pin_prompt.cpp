// pin_prompt: asks for a PIN of 4 to 6 digits, up to three times, and
// shows it masked, as a kiosk would. One port, several entries: the port
// is opened once, each try is one vGetPinBuf, and the earlier settings go
// back at the end.
#include <ttypinpad/pin.h>

#include <algorithm>
#include <iostream>
#include <string>

namespace {

constexpr int kTries = 3;
constexpr int kShortest = 4;
constexpr int kLongest = 6;

// Every byte the reader counted: a zero byte from the line (a BREAK) is
// part of the entry, so the string's own end is no guide.
bool allDigits(const char *entry, int length) {
  return std::all_of(entry, entry + length, [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

int main() {
  termios saved{};
  vOpenPin(&saved);
  int status = 1;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    std::cout << "PIN (" << kShortest << " to " << kLongest << " digits, # to confirm, * to cancel): " << std::flush;
    char entry[PIN_BUF_SIZE];
    const int length = vGetPinBuf(entry);
    if (length < 0) {
      std::cout << "cancelled" << std::endl;
      break;
    }
    if (length >= kShortest && length <= kLongest && allDigits(entry, length)) {
      std::cout << "accepted " << std::string(static_cast<std::size_t>(length), '*') << std::endl;
      status = 0;
      break;
    }
    std::cout << "not a PIN, try again" << std::endl;
  }
  vClosePin(&saved);
  return status;
}
