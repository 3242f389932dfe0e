// SPDX-License-Identifier: MIT
// Typing keys as the program waits for them, and waiting for it.
//
// A key goes out only once the program, or a process it started, waits
// for input on the port, and the next only once the line holds no unread
// byte. A program whose line discipline holds keys back (it reads line
// by line, or waits for several bytes at once) gets each key as soon as
// it waits, since the keys stay with the line discipline until then.
//
// Every wait also ends when a signal of signals.h comes (once the tool has
// called interruptOnSignals), however it falls between the looks.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace vpad {

struct Pad;

// Waits without a limit.
constexpr int kForever = -1;

// A time limit that runs from its making; -1 ms: none.
struct Deadline {
  explicit Deadline(int ms) : forever(ms < 0), end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
  bool passed() const { return !forever && std::chrono::steady_clock::now() >= end; }
  // Milliseconds left, never below zero; -1 without a limit.
  int msLeft() const {
    if (forever) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool forever;
  std::chrono::steady_clock::time_point end;
};

// Where the system gives no pidfd (before Linux 5.3, or where a filter
// refuses it), how often a wait looks for the program's end.
constexpr int kEndLookMs = 50;

// What a wait came to.
enum class Wait {
  Reading,      // the program waits for input on the port
  Ended,        // the program has ended (not yet reaped)
  TimedOut,
  Interrupted,  // a signal reached this process (see signals.h)
};

// Waits until the program, or a process it started, waits for input on
// the port, or until the program ends.
Wait waitReading(const Pad &pad, int timeoutMs);

// Types bytes as keys: each goes out alone, once the program waits for
// it, and is taken before the next. Reading when all went through;
// otherwise what stopped it, with `typed` the number of bytes sent. The
// time limit is for all of them.
Wait type(const Pad &pad, std::string_view keys, int timeoutMs, std::size_t *typed = nullptr);

// Sends bytes all at once, as one burst on the line, once the program
// waits for input, and waits until it has taken every one of them and
// waits again (or ends). `sent` tells whether they went out.
Wait burst(const Pad &pad, std::string_view bytes, int timeoutMs, bool *sent = nullptr);

// Waits for the program to end without reaping it, so that its figures
// in /proc stay readable.
Wait waitEnded(const Pad &pad, int timeoutMs);

}  // namespace vpad
