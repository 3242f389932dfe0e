// SPDX-License-Identifier: MIT
// The namespace in which /dev/ttyS0 is the pad. The machine's safety rests
// on this one file's worth of code: the program must never reach the
// machine's own /dev/ttyS0, nor any other serial port of the machine, and
// nothing may change on the machine's /dev.
#pragma once

#include <string>

namespace vpad {

struct Pad;

// What /dev/ttyS0 is in the program's namespace.
enum class Port {
  Pad,      // the slave side of the pad's pseudo-terminal
  Missing,  // nothing at all
  Denied,   // the pad, but without permission to open it
};

// Puts this process into a private mount namespace, in which every mount
// is private before anything is mounted, so that no mount made there can
// reach the machine. A user without the right to make one gets a user
// namespace of its own too, keeping its uid and gid. False, with the
// reason in why, if that cannot be done.
bool enterPrivateMounts(std::string &why);

// Puts this process into a private mount namespace (see
// enterPrivateMounts) with a /dev of its own: the machine's entries,
// mounted one by one, but for its serial ports, and /dev/ttyS0 as `port`
// says. /dev/console is /dev/null there: on many machines the console is
// a serial port.
//
// False, with the reason in why, if any step fails; the process must then
// not go on to use /dev/ttyS0. Changes the calling process for good: call
// it in a child made for the purpose.
bool isolate(const Pad &pad, Port port, std::string &why);

// In the first process of a new PID namespace, or one it started: mounts
// that namespace's own /proc over the machine's.
bool mountOwnProc(std::string &why);

// Where the pad is denied, gives up for good the powers that would open it
// all the same.
bool keepOutOfDeniedPort(Port port, std::string &why);

// Seals what isolate() made: a user namespace of its own, in which the
// process keeps its uid and gid (root stays root), and in which every
// mount made so far is locked. There, not even root can unmount the pad
// to uncover what lies beneath, nor make a device node; and a port denied
// stays denied. Call it last, just before the exec.
bool seal(Port port, std::string &why);

}  // namespace vpad
