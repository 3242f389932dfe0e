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
  std::vector<std::string> args{EXPIN_PATH};
  args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
  START_OR_SKIP(p, args);

  ASSERT_EQ(vpad::waitReading(p.pad, kTimeoutMs), vpad::Wait::Reading);
  support::expectSameSettings(support::padSettings(), p.settings());

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

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(Program, ResultThatCannotBeWrittenIsReported) {
  Program p;
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  START_OR_SKIP(p, {EXPIN_PATH}, vpad::Port::Pad, full);
  close(full);
  EXPECT_EQ(vpad::type(p.pad, "12#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 1);
  EXPECT_EQ(p.stderrText(), "exPin: cannot write the entry to standard output: No space left on device\n");
  support::expectSameSettings(p.before, p.settings());
}

}  // namespace
