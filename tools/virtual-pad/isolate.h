// The namespace in which /dev/ttyS0 is the pad. The machine's safety rests
// on this one file's worth of code: the program must never reach the
// machine's own /dev/ttyS0, and nothing may change on the machine's /dev.
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

// Puts this process into a private mount namespace (and, for a user
// without the right to make one, a user namespace of its own) in which
// /dev/ttyS0 is as `port` says. Mounts are made private, recursively,
// before anything is mounted. Where the machine has no /dev/ttyS0 to
// mount the pad on, the namespace gets a /dev of its own: the machine's
// entries, mounted one by one, and the pad.
//
// False, with the reason in why, if any step fails; the process must then
// not go on to use /dev/ttyS0. Changes the calling process for good: call
// it in a child made for the purpose.
bool isolate(const Pad &pad, Port port, std::string &why);

}  // namespace vpad
