// Typing keys as the program waits for them, and waiting for it.
//
// A key goes out only once the program, or a process it started, is
// blocked reading the port, and the next only once that key has been
// read. A program that reads the port line by line (canonical mode) gets
// each key as soon as it waits, since the line discipline holds the keys
// until the end of the line.
#pragma once

#include <csignal>
#include <cstddef>
#include <string_view>

namespace vpad {

struct Pad;

// Waits without a limit.
constexpr int kForever = -1;

// The signals that interrupt the waits below (see interruptOnSignals);
// the program's namespace passes them on to every process in it.
constexpr int kInterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Where the system gives no pidfd (before Linux 5.3, or where a filter
// refuses it), how often a wait looks for the program's end.
constexpr int kEndLookMs = 50;

// What a wait came to.
enum class Wait {
  Reading,      // the program is blocked in a read of the port
  Ended,        // the program has ended (not yet reaped)
  TimedOut,
  Interrupted,  // SIGINT, SIGTERM, SIGHUP or SIGQUIT reached this process (see interruptOnSignals)
};

// Waits until the program, or a process it started, is blocked in a
// read of the port, or until the program ends.
Wait waitReading(const Pad &pad, int timeoutMs);

// Types bytes as keys: each goes out alone, once the program waits for
// it, and is consumed before the next. Reading when all went through;
// otherwise what stopped it, with `typed` the number of bytes sent.
Wait type(const Pad &pad, std::string_view keys, int timeoutMs, std::size_t *typed = nullptr);

// Sends bytes all at once, as one burst on the line, and waits until the
// program has read every one of them (or ends).
Wait burst(const Pad &pad, std::string_view bytes, int timeoutMs);

// Waits for the program to end without reaping it, so that its figures
// in /proc stay readable.
Wait waitEnded(const Pad &pad, int timeoutMs);

// After this, SIGINT, SIGTERM, SIGHUP and SIGQUIT make the waits above
// return Interrupted, instead of ending this process.
void interruptOnSignals();

// The signal that interrupted the last wait, 0 if none; it counts as
// handled from then on, so that the next wait goes on until another comes.
int takeInterrupt();

}  // namespace vpad
