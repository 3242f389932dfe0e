// SPDX-License-Identifier: MIT
// The virtual pad: a pseudo-terminal that stands in for the PIN pad on
// /dev/ttyS0, and the means to run a program against it and play keys.
//
// The program runs in private namespaces in which /dev/ttyS0 is the slave
// side of a fresh pseudo-terminal; the pad holds the master side. Nothing
// here ever opens the machine's own /dev/ttyS0: where the namespaces
// cannot be made, the program is not started.
//
// Keys go out one at a time, each only once the program is waiting for
// input on the port, so every key arrives by itself, as from a person at
// the pad, and no timing is guessed. The virtual-pad tool, the tests and
// the benchmark use this same code (vpad.h brings it all):
//   pad.h        the pseudo-terminal (this file);
//   isolate.h    the namespace in which /dev/ttyS0 is the pad;
//   launch.h     starting the program in it, and ending its whole tree;
//   pacing.h     typing keys as the program waits for them;
//   signals.h    the signals that interrupt those waits;
//   proc.h       what /proc tells about the program.
#pragma once

#include "proc.h"

#include <sys/types.h>
#include <termios.h>

#include <string>

namespace vpad {

// A pad and, once started, the program it serves.
struct Pad {
  int master = -1;
  int slave = -1;  // held open so the line stays up while nobody else has it
  dev_t device = 0;
  std::string slavePath;
  pid_t pid = -1;     // the program, once started: a child of this process
  pid_t init = -1;    // the first process of the program's PID namespace, also our child
  int pidfd = -1;     // readable once the program has ended; -1 where the system gives none
  int lifeline = -1;  // held while the program runs: the processes of its start see us alive
  mutable proc::ReaderSearch readers;  // where to look for the program waiting for a key
};

// Opens a fresh pseudo-terminal for the pad. False, with the reason in
// why, if the system has none to give.
bool openPad(Pad &pad, std::string &why);

// Closes the pad's master side: the pad is unplugged, and the program's
// reads of the port fail from then on.
void unplug(Pad &pad);

// Closes both sides of the line.
void closePad(Pad &pad);

// The line settings as the program left them (the slave's settings).
bool settings(const Pad &pad, termios &out);

// Of a terminal line's reading side (the pad's slave, or a UART): true
// while bytes sent on the line wait there unread.
bool unread(int line);

// True while the line discipline holds keys back from a reader: whole
// lines only, or several bytes at once. A key then stays there until the
// reader takes them all, and the next may go out at once.
bool heldBack(int line);

}  // namespace vpad
