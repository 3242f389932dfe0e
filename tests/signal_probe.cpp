// A program that uses the driver and handles a signal of its own, as a
// point-of-sale program might (a timer, a reload request). Its handler is
// installed without SA_RESTART, so the signal interrupts the driver's read.
#include "pin.h"

#include <csignal>
#include <cstdio>

namespace {
volatile sig_atomic_t gSignals = 0;
void count(int /*signal*/) { gSignals = gSignals + 1; }
}  // namespace

int main() {
  struct sigaction act {};
  act.sa_handler = count;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, nullptr);

  termios saved{};
  char entry[PIN_BUF_SIZE];
  vOpenPin(&saved);
  const int length = vGetPinBuf(entry);
  vClosePin(&saved);
  std::printf("%s[%d] signals=%d\n", entry, length, static_cast<int>(gSignals));
  return 0;
}
