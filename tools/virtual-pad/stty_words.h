// SPDX-License-Identifier: MIT
// Line settings in the words of stty -a, for --show-settings.
#pragma once

#include <termios.h>

#include <string>

// The settings in words a person knows from stty -a, a few lines.
std::string describe(const termios &t);
