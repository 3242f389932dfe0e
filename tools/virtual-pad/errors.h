// SPDX-License-Identifier: MIT
// The pad's own failure texts.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace vpad {

// "what: reason", the reason from errno.
inline std::string errnoText(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace vpad
