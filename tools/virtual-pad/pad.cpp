// SPDX-License-Identifier: MIT
#include "pad.h"

#include "errors.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vpad {

bool openPad(Pad &pad, std::string &why) {
  char name[128] = {};
  if (openpty(&pad.master, &pad.slave, name, nullptr, nullptr) != 0) {
    why = errnoText("cannot open a pseudo-terminal");
    return false;
  }
  pad.slavePath = name;
  fcntl(pad.master, F_SETFD, FD_CLOEXEC);
  fcntl(pad.slave, F_SETFD, FD_CLOEXEC);
  fcntl(pad.master, F_SETFL, fcntl(pad.master, F_GETFL) | O_NONBLOCK);
  struct stat st {};
  fstat(pad.slave, &st);
  pad.device = st.st_rdev;
  return true;
}

void unplug(Pad &pad) {
  if (pad.master >= 0) close(pad.master);
  pad.master = -1;
}

void closePad(Pad &pad) {
  unplug(pad);
  if (pad.slave >= 0) close(pad.slave);
  pad.slave = -1;
  if (pad.lifeline >= 0) close(pad.lifeline);
  pad.lifeline = -1;
  proc::endSearch(pad.readers);
}

bool settings(const Pad &pad, termios &out) { return tcgetattr(pad.slave, &out) == 0; }

// A poll first moves what was written on the other side into the line
// discipline, so that a key just sent is never taken for one read.
bool unread(int line) {
  pollfd input{line, POLLIN, 0};
  return poll(&input, 1, 0) == 1 && (input.revents & POLLIN) != 0;
}

bool heldBack(int line) {
  termios t{};
  return tcgetattr(line, &t) == 0 && ((t.c_lflag & ICANON) != 0 || t.c_cc[VMIN] > 1);
}

}  // namespace vpad
