// SPDX-License-Identifier: MIT
// The user's terminal while what they type goes to the pad.
#pragma once

#include <termios.h>
#include <unistd.h>

// The user's terminal while keys are passed on: keys go out as typed,
// unseen (a pad does not echo), with Ctrl-C and Ctrl-\ still signals and
// output unchanged. Put back however the tool ends: every signal that
// ends it is one it waits for (see signals.h).
class KeyboardMode {
 public:
  KeyboardMode() {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;  // a stopped tool would leave the terminal raw
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
  }
  ~KeyboardMode() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  KeyboardMode(const KeyboardMode &) = delete;
  KeyboardMode &operator=(const KeyboardMode &) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};
