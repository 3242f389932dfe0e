// SPDX-License-Identifier: MIT
// Starting a program on the pad, and ending it with everything it started.
//
// The program is a child of the caller, in the namespace of isolate.h and
// in a PID namespace of its own, with every process it starts. The first
// process of that namespace is also a child of the caller; it takes in
// what the program leaves orphaned, and when it ends, the kernel ends all
// the others. So reap(), and the caller's own death, leave nothing behind.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "isolate.h"

namespace vpad {

struct Pad;

// Standard streams of the started program: a descriptor, kKeep for the
// caller's own, or kClosed to start the program with that stream closed.
constexpr int kKeep = -1;
constexpr int kClosed = -2;
struct Stdio {
  int in = kKeep;
  int out = kKeep;
  int err = kKeep;
};

// What to start.
struct Launch {
  char *const *argv = nullptr;  // the program and its arguments, ended by a null
  std::function<int()> body;    // or code to run in its place (no PID namespace); it returns the exit status
  Port port = Port::Pad;
  Stdio stdio;
  bool stopBeforeExec = false;  // stop (SIGSTOP) just before the exec, to be measured from there
};

// Exit statuses of a program that could not be started, as a shell has them.
constexpr int kNoNamespace = 125;
constexpr int kNotRunnable = 126;
constexpr int kNotFound = 127;

// Starts the program. False, with the reason in why, if the namespace
// could not be made or the program could not be run; `status` then says
// which (kNoNamespace, kNotRunnable or kNotFound).
bool start(Pad &pad, const Launch &launch, std::string &why, int &status);

// Sends sig to the program and to every process of its namespace, and
// SIGCONT after it, so that a stopped one takes it.
void signalAll(const Pad &pad, int sig);

// Reaps the program and ends everything it left running. Returns its
// status as a shell reports it: the exit status, or 128 plus the number of
// the signal that ended it.
int reap(Pad &pad);

}  // namespace vpad
