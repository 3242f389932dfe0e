// pin_prompt: asks for a PIN of 4 to 6 digits, up to three times, and
// shows it masked, as a kiosk would. One port, several entries: the port
// is opened once, each try is one vGetPinBuf, and the earlier settings go
// back at the end.
#include <ttypinpad/pin.h>

#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr int kTries = 3;
constexpr int kShortest = 4;
constexpr int kLongest = 6;

bool allDigits(const char *entry) { return std::strspn(entry, "0123456789") == std::strlen(entry); }

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
    if (length >= kShortest && length <= kLongest && allDigits(entry)) {
      std::cout << "accepted " << std::string(static_cast<std::size_t>(length), '*') << std::endl;
      status = 0;
      break;
    }
    std::cout << "not a PIN, try again" << std::endl;
  }
  vClosePin(&saved);
  return status;
}
