// SPDX-License-Identifier: MIT
// exPin: reads one PIN entry from the pad and prints it with its length.
//
// Standard output gets the prompt and then "<entry>[<length>]", or
// "E[-1]" for a cancelled entry; the status is 0 after any entry. When
// the port cannot be opened the driver prints the reason and the status
// is 255. Arguments are ignored.

#include "pin.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *kPrompt = "Digite <*> para sair \n";
constexpr int kWriteFailed = 1;

// Signals that end the program while it waits for a key (Ctrl-C or
// Ctrl-\ at the console, a terminal hang-up, a service manager stopping
// it, a reader of its output that went away). The port's earlier settings
// go back before the signal takes its usual course.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

const termios *savedOnSignal = nullptr;

// The C library would take standard output's buffer from the heap; this
// one is static, and cleared once the entry has gone through it.
char outBuffer[BUFSIZ];

void restoreAndDie(int sig) {
  vClosePin(savedOnSignal);  // only tcsetattr: safe in a handler
  raise(sig);                // the handler was reset: this ends the process
}

void restoreOnEndingSignals(const termios *saved) {
  savedOnSignal = saved;
  for (const int sig : kEndingSignals) {
    struct sigaction old {};
    sigaction(sig, nullptr, &old);
    if (old.sa_handler == SIG_IGN) continue;  // e.g. started in the background
    struct sigaction act {};
    act.sa_handler = restoreAndDie;
    act.sa_flags = SA_RESETHAND;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
  }
}

}  // namespace

int main() {
  termios saved{};
  char entry[PIN_BUF_SIZE];
  std::setvbuf(stdout, outBuffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, sizeof outBuffer);

  // In place before the port changes: a signal that comes while vOpenPin
  // works finds the handlers, and vClosePin applies nothing until the
  // earlier settings are saved.
  restoreOnEndingSignals(&saved);
  vOpenPin(&saved);  // on failure the driver reports and exits with 255
  std::printf("%s", kPrompt);
  std::fflush(stdout);  // a program reading through a pipe shows it before the first key
  const int length = vGetPinBuf(entry);
  std::printf("%s[%d]\n", entry, length);
  vClosePin(&saved);

  // An entry that could not be written out is lost; say so rather than
  // end as if it had been shown.
  const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  const int failure = errno;
  // The PIN lingers in no memory of ours: not in the entry, nor in the
  // output buffer, whose unwritten rest is dropped first so that the exit
  // cannot write it. explicit_bzero stays whatever the compiler makes of
  // buffers it sees no later use of.
  __fpurge(stdout);
  explicit_bzero(outBuffer, sizeof outBuffer);
  explicit_bzero(entry, sizeof entry);
  if (!written) {
    std::fprintf(stderr, "exPin: cannot write the entry to standard output: %s\n", std::strerror(failure));
    std::exit(kWriteFailed);
  }
  std::exit(0);
}
