// SPDX-License-Identifier: MIT
// Shared by the tests that run programs on the virtual pad.
#pragma once

#include "vpad.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

namespace support {

// exPin's prompt, before every entry.
const std::string kPrompt = "Digite <*> para sair \n";

// An argument vector for exec: pointers into args, ended by a null.
inline std::vector<char *> argvOf(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// exPin as the tests run it: the one built here, or the command that
// PIN_EXPIN holds, split at blanks, such as an exPin built for another CPU
// under qemu-user.
inline std::vector<std::string> expinCommand() {
  const char *command = std::getenv("PIN_EXPIN");
  if (command == nullptr || *command == '\0') return {EXPIN_PATH};
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// No wait in the tests is meant to come near this; it only keeps a broken
// build from hanging the suite.
constexpr int kTimeoutMs = 20000;

// Where a test cannot run (no namespace can be made, a tool is missing),
// it is skipped, unless the run demands every test (CI does:
// PIN_REQUIRE_NAMESPACE=1).
inline bool namespaceRequired() {
  const char *v = std::getenv("PIN_REQUIRE_NAMESPACE");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

inline std::string readAll(int fd) {
  std::string text;
  char chunk[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

// The file status flags (O_NONBLOCK, O_CLOEXEC, ...) with which pid holds
// its descriptor fd, as /proc shows them; -1 if it cannot be told.
inline int openFlags(pid_t pid, int fd) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd);
  const int info = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (info < 0) return -1;
  const std::string text = readAll(info);
  ::close(info);
  const std::size_t at = text.find("flags:");
  return at == std::string::npos ? -1 : static_cast<int>(std::strtol(text.c_str() + at + 6, nullptr, 8));
}

// Settings a port might have had before the driver came: unlike the
// pad's in every word, so that a restore that misses a field shows.
inline termios earlierSettings() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXOFF | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  t.c_cc[VINTR] = 3;
  t.c_cc[VEOF] = 4;
  t.c_cc[VMIN] = 5;
  t.c_cc[VTIME] = 7;
  t.c_cc[VSTART] = 17;
  t.c_cc[VSTOP] = 19;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

// Compares what a port reports, field by field, with what it should.
inline void expectSameSettings(const termios &want, const termios &got) {
  EXPECT_EQ(want.c_iflag, got.c_iflag);
  EXPECT_EQ(want.c_oflag, got.c_oflag);
  EXPECT_EQ(want.c_cflag, got.c_cflag);
  EXPECT_EQ(want.c_lflag, got.c_lflag);
  EXPECT_EQ(want.c_line, got.c_line);
  for (std::size_t i = 0; i < NCCS; ++i) EXPECT_EQ(want.c_cc[i], got.c_cc[i]) << "control character " << i;
  EXPECT_EQ(cfgetispeed(&want), cfgetispeed(&got));
  EXPECT_EQ(cfgetospeed(&want), cfgetospeed(&got));
}

// The pad's settings, written out from its data sheet rather than taken
// from the driver.
inline termios padSettings() {
  termios t{};
  t.c_iflag = IGNPAR;
  t.c_cflag = B2400 | CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
  t.c_cc[VMIN] = 1;
  return t;
}

// A program on a fresh virtual pad whose port starts with
// earlierSettings(); standard output and error are kept for the test.
struct Program {
  Program() {
    opened = vpad::openPad(pad, why);
    EXPECT_TRUE(opened) << why;
    if (opened) {
      const termios t = earlierSettings();
      tcsetattr(pad.slave, TCSANOW, &t);
      tcgetattr(pad.slave, &before);
    }
  }
  ~Program() {
    if (pad.pid > 0) {
      kill(pad.pid, SIGKILL);
      vpad::reap(pad);
    }
    vpad::closePad(pad);
    ::close(out);
    ::close(err);
  }
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  // Starts what launch says, with the test's standard output and error
  // unless it names others; false with why if it could not be started.
  bool start(vpad::Launch launch) {
    if (launch.stdio.out == vpad::kKeep) launch.stdio.out = out;
    if (launch.stdio.err == vpad::kKeep) launch.stdio.err = err;
    int status = 0;
    started = opened && vpad::start(pad, launch, why, status);
    noNamespace = !started && status == vpad::kNoNamespace;
    return started;
  }
  bool start(const std::vector<std::string> &args, vpad::Port port = vpad::Port::Pad, int stdoutFd = vpad::kKeep) {
    std::vector<char *> argv = argvOf(args);
    vpad::Launch launch;
    launch.argv = argv.data();
    launch.port = port;
    launch.stdio.out = stdoutFd;
    return start(launch);
  }

  std::string stdoutText() const { return readAll(out); }
  std::string stderrText() const { return readAll(err); }
  termios settings() const {
    termios t{};
    vpad::settings(pad, t);
    return t;
  }
  // Waits for the program to end; one that does not is killed with its
  // tree, so that the test fails on its own limit, not ctest's.
  int finish() {
    const vpad::Wait w = vpad::waitEnded(pad, kTimeoutMs);
    EXPECT_EQ(w, vpad::Wait::Ended);
    if (w != vpad::Wait::Ended) vpad::signalAll(pad, SIGKILL);
    return vpad::reap(pad);
  }

  vpad::Pad pad;
  termios before{};
  bool opened = false;
  bool started = false;
  bool noNamespace = false;
  std::string why;
  int out = memfd_create("stdout", MFD_CLOEXEC);
  int err = memfd_create("stderr", MFD_CLOEXEC);
};

}  // namespace support

// Ends a test that cannot run here (no namespace, a tool missing):
// skipped, with the reason, unless the run demands every test (CI does:
// PIN_REQUIRE_NAMESPACE=1), where it fails instead.
#define SKIP_OR_FAIL(why)                                                        \
  do {                                                                           \
    if (!support::namespaceRequired()) GTEST_SKIP() << "cannot run here: " << (why); \
    FAIL() << (why);                                                             \
  } while (false)

// Ends a test whose Program could not be started: skipped where no
// namespace can be made (unless the run demands it), failed otherwise.
#define NOT_STARTED(program)                                \
  do {                                                      \
    if ((program).noNamespace) SKIP_OR_FAIL((program).why); \
    FAIL() << (program).why;                                \
  } while (false)

// Starts a Program, or ends the test where no namespace can be made.
#define START_OR_SKIP(program, ...)                          \
  do {                                                       \
    if (!(program).start(__VA_ARGS__)) NOT_STARTED(program); \
  } while (false)
