// SPDX-License-Identifier: MIT
// virtual-pad's command line: its options, and the escapes in --keys.
#pragma once

#include "isolate.h"

#include <string>
#include <string_view>
#include <vector>

// What the pad sends, in the order of the command line.
struct Step {
  enum Kind { Type, Burst, Break } kind;
  std::string bytes;  // with the escapes turned into bytes
};

struct Options {
  std::vector<Step> steps;
  bool hangUp = false;       // unplug the pad once every step is done
  int timeoutMs = -1;        // end COMMAND after this long; -1: never
  std::string timeoutText;   // as given, for the message
  bool showSettings = false;
  bool uart = false;         // the pad on a real serial driver, in a QEMU machine
  bool noCarrier = false;    // there, a pad that drives no carrier
  vpad::Port port = vpad::Port::Pad;
  char **command = nullptr;  // COMMAND and its arguments, ended by a null

  // True when the pad plays what the command line says rather than what
  // the user types.
  bool scripted() const { return !steps.empty() || hangUp; }
};

// Exit status when COMMAND ran past --timeout, as timeout(1) has it.
constexpr int kTimedOut = 124;
// How long COMMAND has to end on SIGTERM once its time is up.
constexpr int kGraceMs = 2000;

enum class Parsed { Run, Help, Wrong };

// Reads the command line into opt. Wrong after saying why on standard
// error; Help when the help was asked for.
Parsed parse(int argc, char **argv, Options &opt);

extern const char kUsageText[];

// Turns "\r", "\n", "\t", "\0", "\\" and "\xHH" into bytes; false, with
// the reason in why, on an escape it does not know or a \x without two
// hexadecimal digits.
bool unescape(std::string_view text, std::string &out, std::string &why);

// Writes "virtual-pad: text" on standard error.
void say(const std::string &text);

// The tool's words on how a run went, the same on either line.
void sayTimedOut(const Options &opt, std::size_t typed, std::size_t total);
void sayEndedEarly(const Options &opt, std::size_t typed, std::size_t total);
void sayKilling(const Options &opt, int firstSignal);
