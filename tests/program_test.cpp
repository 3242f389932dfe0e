// SPDX-License-Identifier: MIT
// exPin end to end: the real program on the virtual pad.
#include "support.h"

#include <fcntl.h>

namespace {

using support::Program;
using support::kPrompt;
using support::kTimeoutMs;

struct EntryCase {
  const char *name;
  std::string keys;
  std::vector<std::string> extraArgs;
  std::string result;  // the line after the prompt
};
void PrintTo(const EntryCase &c, std::ostream *os) { *os << c.name; }

class Entry : public testing::TestWithParam<EntryCase> {};

TEST_P(Entry, PrintsTheResultAndPutsThePortBack) {
  const EntryCase &c = GetParam();
  Program p;
  std::vector<std::string> args = support::expinCommand();
  args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
  START_OR_SKIP(p, args);

  ASSERT_EQ(vpad::waitReading(p.pad, kTimeoutMs), vpad::Wait::Reading);
  support::expectSameSettings(support::padSettings(), p.settings());
  // The port as exPin holds it: not a standard stream, not inherited by
  // what it might start, and blocking (the open did not wait for carrier,
  // but the reads must wait for keys).
  const int port = vpad::proc::readingFd(p.pad.pid);
  EXPECT_GT(port, 2);
  const int flags = support::openFlags(p.pad.pid, port);
  EXPECT_EQ(flags & (O_NONBLOCK | O_CLOEXEC), O_CLOEXEC) << std::oct << flags;

  std::size_t typed = 0;
  EXPECT_EQ(vpad::type(p.pad, c.keys, kTimeoutMs, &typed), vpad::Wait::Ended);
  EXPECT_EQ(typed, c.keys.size());
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.stdoutText(), kPrompt + c.result);
  EXPECT_EQ(p.stderrText(), "");
  support::expectSameSettings(p.before, p.settings());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Entry,
    testing::Values(EntryCase{"FourDigits", "1234#", {}, "1234[4]\n"},
                    EntryCase{"ConfirmAlone", "#", {}, "[0]\n"},
                    EntryCase{"CancelAfterDigits", "12*", {}, "E[-1]\n"},
                    EntryCase{"CancelAlone", "*", {}, "E[-1]\n"},
                    EntryCase{"OtherBytesCounted", "1\r2#", {}, "1\r2[3]\n"},
                    EntryCase{"ZeroByteEndsTheString", std::string("5\0" "6#", 4), {}, "5[3]\n"},
                    EntryCase{"ArgumentsIgnored", "907#", {"--help", "-x", "/dev/null"}, "907[3]\n"}),
    [](const testing::TestParamInfo<EntryCase> &info) { return std::string(info.param.name); });

struct NoPortCase {
  const char *name;
  vpad::Port port;
  std::string message;
};
void PrintTo(const NoPortCase &c, std::ostream *os) { *os << c.name; }

class NoPort : public testing::TestWithParam<NoPortCase> {};

TEST_P(NoPort, OneErrorLineAndStatus255) {
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH}, GetParam().port);
  EXPECT_EQ(p.finish(), 255);
  EXPECT_EQ(p.stdoutText(), "");
  EXPECT_EQ(p.stderrText(), "/dev/ttyS0: " + GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(Port, NoPort,
                         testing::Values(NoPortCase{"Missing", vpad::Port::Missing, "No such file or directory"},
                                         NoPortCase{"Denied", vpad::Port::Denied, "Permission denied"}),
                         [](const testing::TestParamInfo<NoPortCase> &info) { return std::string(info.param.name); });

TEST(Program, KeysSentBeforeTheOpenAreNotPartOfTheEntry) {
  Program p;
  const std::string early = "98*\r\n#";
  ASSERT_EQ(write(p.pad.master, early.data(), early.size()), static_cast<ssize_t>(early.size()));
  START_OR_SKIP(p, {EXPIN_PATH});
  EXPECT_EQ(vpad::type(p.pad, "1#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.stdoutText(), kPrompt + "1[1]\n");
}

class EndingSignal : public testing::TestWithParam<int> {};

// Stopped while it waits for a key, the program still puts the port back.
TEST_P(EndingSignal, PutsThePortBackAndEndsByTheSignal) {
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH});
  ASSERT_EQ(vpad::type(p.pad, "12", kTimeoutMs), vpad::Wait::Reading);
  kill(p.pad.pid, GetParam());
  EXPECT_EQ(p.finish(), 128 + GetParam());
  support::expectSameSettings(p.before, p.settings());
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE));

// The start-up order: a signal that comes the moment the pad's settings
// go on still finds the port put back, and no input is dropped before
// they are on (see signal_on_setup.c).
TEST(Program, StartUpOrderIsSafe) {
  Program p;
  START_OR_SKIP(p, {"env", "LD_PRELOAD=" SIGNAL_ON_SETUP_PATH, EXPIN_PATH});
  EXPECT_EQ(p.finish(), 128 + SIGTERM);
  support::expectSameSettings(p.before, p.settings());
  EXPECT_EQ(p.stderrText(), "");
}

struct UnwritableCase {
  const char *name;
  int stdoutFd;  // opened by the test, or vpad::kClosed
  std::string reason;
};
void PrintTo(const UnwritableCase &c, std::ostream *os) { *os << c.name; }

class Unwritable : public testing::TestWithParam<UnwritableCase> {};

// An entry that cannot be shown is reported, and nothing meant for the
// console goes down the line instead.
TEST_P(Unwritable, ResultIsReportedAsNotWritten) {
  const UnwritableCase &c = GetParam();
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH}, vpad::Port::Pad, c.stdoutFd);
  EXPECT_EQ(vpad::type(p.pad, "12#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.stderrText(), "exPin: cannot write the entry to standard output: " + c.reason + "\n");
  support::expectSameSettings(p.before, p.settings());
}

INSTANTIATE_TEST_SUITE_P(
    Stdout, Unwritable,
    testing::Values(UnwritableCase{"Full", open("/dev/full", O_WRONLY | O_CLOEXEC), "No space left on device"},
                    UnwritableCase{"Closed", vpad::kClosed, "Bad file descriptor"}),
    [](const testing::TestParamInfo<UnwritableCase> &info) { return std::string(info.param.name); });

// A program that reads exPin through a pipe sees the prompt before the
// first key.
TEST(Program, PromptThroughAPipeComesBeforeTheFirstKey) {
  Program p;
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
  START_OR_SKIP(p, {EXPIN_PATH}, vpad::Port::Pad, pipeEnds[1]);
  close(pipeEnds[1]);
  ASSERT_EQ(vpad::waitReading(p.pad, kTimeoutMs), vpad::Wait::Reading);
  char shown[64] = {};
  EXPECT_EQ(read(pipeEnds[0], shown, sizeof shown), static_cast<ssize_t>(kPrompt.size()));
  EXPECT_EQ(shown, kPrompt);
  EXPECT_EQ(vpad::type(p.pad, "#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 0);
  close(pipeEnds[0]);
}

}  // namespace
