// SPDX-License-Identifier: MIT
// What the line and the world can do to a running exPin: the pad pulled
// out, floods of bytes, signals, and a memory checker watching it all.
#include "support.h"

#include <regex>

namespace {

using support::Program;
using support::kPrompt;
using support::kTimeoutMs;

// CPU the program may spend between the unplugging and its end: enough
// for a few system calls and the exit (and the sanitizers' exit work),
// far below what a loop on the dead line would burn.
#ifdef PIN_SANITIZED
constexpr std::uint64_t kUnplugCpuNs = 50'000'000;
#else
constexpr std::uint64_t kUnplugCpuNs = 5'000'000;
#endif

TEST(Faults, PadUnpluggedMidEntryEndsTheEntryAtOnce) {
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH});
  ASSERT_EQ(vpad::type(p.pad, "12", kTimeoutMs), vpad::Wait::Reading);
  const std::uint64_t cpuBefore = vpad::proc::cpuNs(p.pad.pid);
  vpad::unplug(p.pad);
  ASSERT_EQ(vpad::waitEnded(p.pad, 1000), vpad::Wait::Ended) << "still running a second after the unplug";
  const std::uint64_t cpuAfter = vpad::proc::cpuNs(p.pad.pid);
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.stdoutText(), kPrompt + "E[-1]\n");
  EXPECT_LT(cpuAfter - cpuBefore, kUnplugCpuNs);
}

// Every byte value but the two keys, in a fixed pseudo-random order.
std::string noise(std::size_t n) {
  std::string bytes;
  unsigned state = 12345;
  while (bytes.size() < n) {
    state = state * 1103515245 + 12345;
    const char c = static_cast<char>(state >> 16);
    if (c != '#' && c != '*') bytes += c;
  }
  return bytes;
}

TEST(Faults, BurstOfTenThousandBytesThenConfirm) {
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH});
  ASSERT_EQ(vpad::burst(p.pad, noise(10000), kTimeoutMs), vpad::Wait::Reading);
  EXPECT_EQ(vpad::type(p.pad, "#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 0);

  // However the burst was cut into reads: a well-formed result line.
  const std::string out = p.stdoutText();
  ASSERT_EQ(out.compare(0, kPrompt.size(), kPrompt), 0) << out;
  std::smatch m;
  const std::string result = out.substr(kPrompt.size());
  ASSERT_TRUE(std::regex_match(result, m, std::regex("([^\\n]*)\\[(-?[0-9]+)\\]\\n"))) << result;
  const int length = std::stoi(m[2]);
  if (length < 0) {
    EXPECT_EQ(m[1], "E");
  } else {
    EXPECT_LE(length, 255);
    EXPECT_LE(m[1].length(), static_cast<std::size_t>(length));  // a zero byte may end the string early
  }
}

TEST(Faults, ThousandKeysTypedOneByOneAreRejected) {
  Program p;
  START_OR_SKIP(p, {EXPIN_PATH});
  EXPECT_EQ(vpad::type(p.pad, std::string(1000, '8') + "#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.stdoutText(), kPrompt + "E[-1]\n");
}

TEST(Faults, SignalWhileWaitingForAKeyDoesNotEndTheEntry) {
  Program p;
  START_OR_SKIP(p, {SIGNAL_PROBE_PATH});
  for (const char key : std::string("31#")) {
    ASSERT_EQ(vpad::waitReading(p.pad, kTimeoutMs), vpad::Wait::Reading);
    kill(p.pad.pid, SIGUSR1);
    // Handled, and back in its read, before the key goes out.
    while (vpad::proc::signalPending(p.pad.pid)) sched_yield();
    vpad::type(p.pad, std::string(1, key), kTimeoutMs);
  }
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.stdoutText(), "31[2] signals=3\n");
}

#ifndef PIN_SANITIZED  // the sanitizers and memcheck do not run together
TEST(Faults, NoMemoryErrorsUnderMemcheckAndNoHeap) {
  if (access(VALGRIND_PATH, X_OK) != 0) SKIP_OR_FAIL("valgrind is not installed");
  Program p;
  START_OR_SKIP(p, {VALGRIND_PATH, "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=all",
                    EXPIN_PATH});
  EXPECT_EQ(vpad::type(p.pad, "1234#", kTimeoutMs), vpad::Wait::Ended);
  EXPECT_EQ(p.finish(), 0) << p.stderrText();
  EXPECT_EQ(p.stdoutText(), kPrompt + "1234[4]\n");
  EXPECT_NE(p.stderrText().find("total heap usage: 0 allocs"), std::string::npos) << p.stderrText();
}
#endif

}  // namespace
