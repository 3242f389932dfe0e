// SPDX-License-Identifier: MIT
// The driver on its own: the entry reader fed through a socket that hands
// over exactly one message per read (or a stream, for keys that arrive
// together), and the port's setup and restore on a pseudo-terminal and in
// a private namespace.
#include "pin.h"
#include "pin.hpp"
#include "support.h"

#include <pty.h>
#include <sys/time.h>
#include <stdexcept>
#include <thread>

#include <array>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using Messages = std::vector<std::string>;

// One message per key.
Messages keys(const std::string &text) {
  Messages m;
  for (const char c : text) m.emplace_back(1, c);
  return m;
}

// An entry buffer that ends where a readable page ends: any store past it
// faults. It starts full of "#", so a byte that no read delivered would
// end the entry and show.
class GuardedBuffer {
 public:
  GuardedBuffer() {
    base_ = static_cast<char *>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
    buf = base_ + page_ - PIN_BUF_SIZE;
    std::memset(buf, '#', PIN_BUF_SIZE);
  }
  ~GuardedBuffer() { munmap(base_, 2 * page_); }
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;

  char *buf = nullptr;

 private:
  std::size_t page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  char *base_ = nullptr;
};

// How a Line carries its messages.
enum class Carry {
  OnePerRead,  // each message is what one read returns; an empty one reads as end of file
  Stream,      // the bytes of all the messages, as they come: keys that arrive together
  StreamThenSilence,  // a stream, and then nothing, not even end of file
};

// A line that delivers the given messages, and then end of file. A child
// process sends them, so that any number fits.
class Line {
 public:
  explicit Line(const Messages &messages, const std::function<void(pid_t reader, int fd)> &beforeEach = nullptr,
                Carry carry = Carry::OnePerRead) {
    socketpair(AF_UNIX, (carry == Carry::OnePerRead ? SOCK_SEQPACKET : SOCK_STREAM) | SOCK_CLOEXEC, 0, ends_);
    const pid_t reader = getpid();
    writer_ = fork();
    if (writer_ == 0) {
      ::close(ends_[0]);  // the number stays meaningful to beforeEach: it is the reader's
      for (const std::string &m : messages) {
        if (beforeEach) beforeEach(reader, ends_[0]);
        if (send(ends_[1], m.data(), m.size(), MSG_NOSIGNAL) < 0) break;  // the reader is done
      }
      char none = 0;
      while (carry == Carry::StreamThenSilence && read(ends_[1], &none, 1) < 0 && errno == EINTR) {
        // until the reader is done
      }
      _exit(0);
    }
    ::close(ends_[1]);
    fd = ends_[0];
  }
  ~Line() {
    ::close(ends_[0]);
    waitpid(writer_, nullptr, 0);
  }
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

 private:
  int ends_[2] = {-1, -1};
  pid_t writer_ = -1;
};

struct ReaderCase {
  const char *name;
  Messages messages;
  int result;
  std::string stored;  // the entry's bytes when confirmed
  std::vector<std::pair<int, char>> mapcharEdits = {};
  std::vector<std::pair<int, char>> mapconvEdits = {};
  Carry carry = Carry::OnePerRead;
};
void PrintTo(const ReaderCase &c, std::ostream *os) { *os << c.name; }

class Reader : public testing::TestWithParam<ReaderCase> {
 protected:
  void SetUp() override {
    std::memcpy(savedChar_, mapchar, sizeof savedChar_);
    std::memcpy(savedConv_, mapconv, sizeof savedConv_);
  }
  void TearDown() override {
    std::memcpy(mapchar, savedChar_, sizeof savedChar_);
    std::memcpy(mapconv, savedConv_, sizeof savedConv_);
  }

 private:
  char savedChar_[PIN_MAP_SIZE] = {};
  char savedConv_[PIN_MAP_SIZE] = {};
};

// The whole buffer: the entry's bytes (or "E"), then zero bytes to the
// end, so that no key of the entry, nor any byte a read dropped, remains.
void expectEntry(const char *buf, int got, int want, const std::string &stored) {
  ASSERT_EQ(got, want);
  std::string whole = want < 0 ? "E" : stored;
  whole.resize(PIN_BUF_SIZE, '\0');
  EXPECT_EQ(std::string(buf, PIN_BUF_SIZE), whole);
}

TEST_P(Reader, ReadsOneEntry) {
  const ReaderCase &c = GetParam();
  for (const auto &[i, code] : c.mapcharEdits) mapchar[i] = code;
  for (const auto &[i, code] : c.mapconvEdits) mapconv[i] = code;
  GuardedBuffer entry;
  Line line(c.messages, nullptr, c.carry);
  expectEntry(entry.buf, vGetPinBuf(entry.buf), c.result, c.stored);
}

const std::string k255(255, '7');
const std::string kLongRead(255, '5');

INSTANTIATE_TEST_SUITE_P(
    Entries, Reader,
    testing::Values(
        ReaderCase{"FourDigits", keys("1234#"), 4, "1234"},
        ReaderCase{"ConfirmFirst", keys("#"), 0, ""},
        ReaderCase{"CancelFirst", keys("*"), -1, ""},
        ReaderCase{"CancelAfterDigits", keys("98*"), -1, ""},
        ReaderCase{"OtherBytesStoredAndCounted", keys("1\r2#"), 3, "1\r2"},
        ReaderCase{"ZeroByteStored", keys(std::string("1\0" "2#", 4)), 3, std::string("1\0" "2", 3)},
        ReaderCase{"KeysTogetherAllTaken", Messages{"12", "3", "#"}, 3, "123", {}, {}, Carry::Stream},
        ReaderCase{"ConfirmTogetherWithKeys", Messages{"1234#"}, 4, "1234", {}, {}, Carry::Stream},
        ReaderCase{"CancelTogetherWithKeys", Messages{"5*", "#"}, -1, "", {}, {}, Carry::Stream},
        ReaderCase{"FullBurstAtTheStart", Messages{kLongRead, "#"}, 255, kLongRead, {}, {}, Carry::Stream},
        ReaderCase{"EndOfFileMidEntry", keys("12"), -1, ""},
        ReaderCase{"EndOfFileAtOnce", Messages{}, -1, ""},
        ReaderCase{"EmptyReadEndsTheEntry", Messages{"1", "", "2", "#"}, -1, ""},
        ReaderCase{"LongestEntryFits", keys(k255 + "#"), 255, k255},
        ReaderCase{"BurstPastTheEnd", Messages{std::string(254, '7'), kLongRead + "#"}, -1, "", {}, {}, Carry::Stream},
        ReaderCase{"OneTooManyIsRejected", keys(k255 + "1#"), -1, ""},
        ReaderCase{"FarTooLongIsRejected", keys(std::string(1000, '3') + "#"), -1, ""},
        ReaderCase{"TooLongThenCancelled", keys(std::string(300, '3') + "*"), -1, ""},
        ReaderCase{"TooLongThenEndOfFile", keys(std::string(300, '3')), -1, ""},
        ReaderCase{"LowerIndexWins", keys("31#"), 2, "3A", {{3, '1'}}, {{1, 'A'}, {3, 'B'}}},
        ReaderCase{"TranslatedOnlyOnce", keys("1#"), 1, "2", {}, {{1, '2'}, {2, 'X'}}},
        ReaderCase{"ChangedCodeCountsOnce", keys("55#"), 2, "xx", {}, {{5, 'x'}}},
        ReaderCase{"TranslatedToConfirmIsStored", keys("4#"), 1, "#", {}, {{4, '#'}}},
        ReaderCase{"TranslatedToCancelIsStored", keys("4#"), 1, "*", {}, {{4, '*'}}},
        ReaderCase{"KeysTestedBeforeTranslation", keys("*"), -1, "", {{0, '*'}}, {{0, '1'}}},
        ReaderCase{"LetterTranslated", keys("a#"), 1, "0", {{0, 'a'}}, {}},
        ReaderCase{"LastTwoEntriesNeverConsulted", keys("ab#"), 2, "ab", {{10, 'a'}, {11, 'b'}},
                   {{10, 'X'}, {11, 'Y'}}}),
    [](const testing::TestParamInfo<ReaderCase> &info) { return std::string(info.param.name); });

volatile sig_atomic_t gSignals = 0;
void countSignal(int /*signal*/) { gSignals = gSignals + 1; }

TEST(ReaderFailure, ReadErrorCancelsTheEntry) {
  GuardedBuffer entry;
  fd = -1;
  expectEntry(entry.buf, vGetPinBuf(entry.buf), -1, "");
  expectEntry(entry.buf, vGetPinEntry(entry.buf, 1000), PIN_LINE_LOST, "");
}

// Keys typed together: the ones after "#" begin the next entry.
TEST(ReaderBurst, KeysAfterTheConfirmBeginTheNextEntry) {
  GuardedBuffer entry;
  Line line(Messages{"12#34*5#"}, nullptr, Carry::Stream);
  expectEntry(entry.buf, vGetPinBuf(entry.buf), 2, "12");
  expectEntry(entry.buf, vGetPinBuf(entry.buf), -1, "");
  expectEntry(entry.buf, vGetPinBuf(entry.buf), 1, "5");
}

struct TimedCase {
  const char *name;
  Messages messages;
  Carry carry;
  int keyTimeoutMs;
  int result;
  std::string stored;
};
void PrintTo(const TimedCase &c, std::ostream *os) { *os << c.name; }

class TimedReader : public testing::TestWithParam<TimedCase> {};

// Every way an entry ends, told apart.
TEST_P(TimedReader, TellsTheOutcomeApart) {
  const TimedCase &c = GetParam();
  GuardedBuffer entry;
  Line line(c.messages, nullptr, c.carry);
  expectEntry(entry.buf, vGetPinEntry(entry.buf, c.keyTimeoutMs), c.result, c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TimedReader,
    testing::Values(TimedCase{"Confirmed", keys("12#"), Carry::OnePerRead, 5000, 2, "12"},
                    TimedCase{"ConfirmedWithoutLimit", keys("3#"), Carry::OnePerRead, -1, 1, "3"},
                    TimedCase{"Cancelled", keys("1*"), Carry::OnePerRead, 5000, PIN_CANCELLED, ""},
                    TimedCase{"NoKeyAtAll", Messages{}, Carry::StreamThenSilence, 50, PIN_TIMED_OUT, ""},
                    TimedCase{"NoKeyAfterTwo", Messages{"12"}, Carry::StreamThenSilence, 50, PIN_TIMED_OUT, ""},
                    TimedCase{"LineLost", keys("12"), Carry::OnePerRead, 5000, PIN_LINE_LOST, ""},
                    TimedCase{"EmptyReadIsLineLost", Messages{"1", ""}, Carry::OnePerRead, 5000, PIN_LINE_LOST, ""},
                    TimedCase{"TooLong", Messages{std::string(256, '7') + "#"}, Carry::Stream, 5000, PIN_TOO_LONG, ""},
                    TimedCase{"CancelledWhenTooLong", Messages{std::string(300, '7') + "*"}, Carry::Stream, 5000,
                              PIN_CANCELLED, ""}),
    [](const testing::TestParamInfo<TimedCase> &info) { return std::string(info.param.name); });

using Ms = std::chrono::milliseconds;

Ms since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start);
}

// The limit is for each key: slow keys, each within it, make an entry
// longer than the limit. Signals every few milliseconds neither end the
// wait early nor make it last longer.
TEST(TimedReaderClock, LimitIsPerKeyAndSignalsDoNotMoveIt) {
  struct sigaction act {};
  struct sigaction old {};
  act.sa_handler = countSignal;  // without SA_RESTART: every signal interrupts the wait
  sigemptyset(&act.sa_mask);
  sigaction(SIGALRM, &act, &old);
  GuardedBuffer entry;
  {
    const auto slowly = [](pid_t /*reader*/, int /*fd*/) { std::this_thread::sleep_for(Ms(120)); };
    Line line(keys("12#"), slowly);
    const auto start = std::chrono::steady_clock::now();
    expectEntry(entry.buf, vGetPinEntry(entry.buf, 300), 2, "12");
    EXPECT_GE(since(start), Ms(300));
  }
  {
    Line line(Messages{}, nullptr, Carry::StreamThenSilence);
    const itimerval every5ms{{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &every5ms, nullptr);
    gSignals = 0;
    const auto start = std::chrono::steady_clock::now();
    expectEntry(entry.buf, vGetPinEntry(entry.buf, 200), PIN_TIMED_OUT, "");
    const Ms waited = since(start);
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    EXPECT_GT(gSignals, 5) << "the wait was not interrupted";
    EXPECT_GE(waited, Ms(200));
    EXPECT_LT(waited, Ms(400));
  }
  sigaction(SIGALRM, &old, nullptr);
}

// ---- setup and restore, in a namespace where /dev/ttyS0 is the pad ----

// Runs body in place of a program on p's pad, where /dev/ttyS0 is the
// pad, and hands back the record it returns; nothing if the namespace
// could not be made (p.why says why).
template <typename Report>
std::optional<Report> inNamespace(support::Program &p, const std::function<Report()> &body) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return std::nullopt;
  vpad::Launch launch;
  launch.body = [&] {
    const Report report = body();
    return write(pipeEnds[1], &report, sizeof report) == sizeof report ? 0 : 1;
  };
  const bool started = p.start(launch);
  ::close(pipeEnds[1]);
  Report report{};
  const ssize_t got = started ? read(pipeEnds[0], &report, sizeof report) : 0;
  ::close(pipeEnds[0]);
  if (!started) return std::nullopt;
  EXPECT_EQ(p.finish(), 0) << p.stderrText();
  EXPECT_EQ(got, static_cast<ssize_t>(sizeof report));
  return report;
}

TEST(Port, OpenSavesSetsUpAndCloseRestores) {
  support::Program p;
  const std::string early = "123";  // typed before anybody listened
  ASSERT_EQ(write(p.pad.master, early.data(), early.size()), 3);

  struct Report {
    termios saved, during, after;
    int pending, closeResult;
    bool stillOpen;
  };
  const auto body = [] {
    Report r{};
    vOpenPin(&r.saved);
    ioctl(fd, FIONREAD, &r.pending);
    tcgetattr(fd, &r.during);
    r.closeResult = vClosePin(&r.saved);
    tcgetattr(fd, &r.after);
    r.stillOpen = fcntl(fd, F_GETFD) != -1;
    return r;
  };
  const auto r = inNamespace<Report>(p, body);
  if (!r) NOT_STARTED(p);
  support::expectSameSettings(p.before, r->saved);
  support::expectSameSettings(support::padSettings(), r->during);
  EXPECT_EQ(r->pending, 0) << "bytes from before the open survived";
  EXPECT_EQ(r->closeResult, 0);
  support::expectSameSettings(p.before, r->after);
  EXPECT_TRUE(r->stillOpen);
}

// The port's descriptor, whatever the program left closed and however
// often it opens: above the standard streams, kept from programs it starts,
// blocking, and the same one each time, without a descriptor more.
TEST(Port, HeldAboveTheStandardStreamsClosedOnExecAndReused) {
  support::Program p;
  struct Report {
    int first, flags, descriptorFlags, cycles, last;
    termios after;
  };
  const auto body = [] {
    Report r{};
    for (int stream = 0; stream < 3; ++stream) ::close(stream);
    termios saved{};
    vOpenPin(&saved);
    r.first = fd;
    r.flags = fcntl(fd, F_GETFL);
    r.descriptorFlags = fcntl(fd, F_GETFD);
    vClosePin(&saved);
    // A program that opens once per entry, long past its descriptor limit.
    const rlimit few{16, 16};
    setrlimit(RLIMIT_NOFILE, &few);
    for (; r.cycles < 2000 && fd == r.first; ++r.cycles) {
      vOpenPin(&saved);
      vClosePin(&saved);
    }
    r.last = fd;
    tcgetattr(fd, &r.after);
    return r;
  };
  const auto r = inNamespace<Report>(p, body);
  if (!r) NOT_STARTED(p);
  EXPECT_GT(r->first, 2);
  EXPECT_EQ(r->flags & O_NONBLOCK, 0) << "reads would not wait for a key";
  EXPECT_EQ(r->descriptorFlags & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(r->cycles, 2000);
  EXPECT_EQ(r->last, r->first);
  support::expectSameSettings(p.before, r->after);
}

// A record the driver never filled is never applied.
TEST(Port, CloseWithoutOpenAppliesNothing) {
  support::Program p;
  fd = p.pad.slave;
  const termios neverFilled = support::padSettings();
  EXPECT_EQ(vClosePin(&neverFilled), -1);
  support::expectSameSettings(p.before, p.settings());
}

TEST(Port, CloseAppliesNothingWhenTheSettingsCouldNotBeRead) {
  support::Program p;
  // /dev/ttyS0 is /dev/null here: it opens, but has no settings to read.
  const std::string padPath = p.pad.slavePath;
  const dev_t padDevice = p.pad.device;
  p.pad.slavePath = "/dev/null";
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  p.pad.device = st.st_rdev;

  struct Report {
    int closeResult;
    termios after;
  };
  const int port = p.pad.slave;
  const auto body = [port] {
    Report r{};
    termios saved = support::padSettings();
    vOpenPin(&saved);
    dup2(port, fd);  // now fd is a terminal that vClosePin could change
    r.closeResult = vClosePin(&saved);
    tcgetattr(fd, &r.after);
    return r;
  };
  const auto r = inNamespace<Report>(p, body);
  p.pad.slavePath = padPath;
  p.pad.device = padDevice;
  if (!r) NOT_STARTED(p);
  EXPECT_EQ(r->closeResult, -1);
  support::expectSameSettings(p.before, r->after);
}

// ---- a port of the caller's choice, on a pseudo-terminal ----------------

// A pseudo-terminal standing for a pad on a port of its own (a USB pad,
// say): no namespace is needed, as it is not /dev/ttyS0.
struct PtyPort {
  PtyPort() {
    char name[128] = {};
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
    const termios t = support::earlierSettings();
    tcsetattr(slave, TCSANOW, &t);
    tcgetattr(slave, &before);
  }
  ~PtyPort() {
    ::close(master);
    ::close(slave);
  }
  PtyPort(const PtyPort &) = delete;
  PtyPort &operator=(const PtyPort &) = delete;
  termios now() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  int master = -1;
  int slave = -1;
  std::string path;
  termios before{};
};

struct OpenFailureCase {
  const char *name;
  const char *path;
  int error;
};
void PrintTo(const OpenFailureCase &c, std::ostream *os) { *os << c.name; }

class OpenAtFailure : public testing::TestWithParam<OpenFailureCase> {};

// A port that will not do is reported, and changes nothing: not the
// process, not fd, not the caller's record.
TEST_P(OpenAtFailure, ReturnsTheReasonAndChangesNothing) {
  fd = 1234;
  termios saved = support::padSettings();
  errno = 0;
  EXPECT_EQ(vOpenPinAt(GetParam().path, &saved), -1);
  EXPECT_EQ(errno, GetParam().error) << std::strerror(errno);
  EXPECT_EQ(fd, 1234);
  support::expectSameSettings(support::padSettings(), saved);
}

INSTANTIATE_TEST_SUITE_P(Ports, OpenAtFailure,
                         testing::Values(OpenFailureCase{"Missing", "/nonexistent/ttyUSB0", ENOENT},
                                         OpenFailureCase{"NotATerminal", "/dev/null", ENOTTY},
                                         OpenFailureCase{"Directory", "/", EISDIR}),
                         [](const testing::TestParamInfo<OpenFailureCase> &info) { return std::string(info.param.name); });

TEST(OpenAt, SetsUpAnyPortAndRestoresIt) {
  PtyPort port;
  termios saved{};
  ASSERT_EQ(vOpenPinAt(port.path.c_str(), &saved), 0);
  support::expectSameSettings(port.before, saved);
  support::expectSameSettings(support::padSettings(), port.now());
  const int held = fd;
  ASSERT_EQ(vOpenPinAt(port.path.c_str(), &saved), 0);  // the pad's own settings, on the same descriptor
  EXPECT_EQ(fd, held);
  EXPECT_EQ(vClosePin(&saved), 0);
  support::expectSameSettings(support::padSettings(), port.now());
}

// The C++ port object: one at a time, errors as exceptions, the earlier
// settings back however the scope ends, outcomes told apart.
TEST(CxxPort, OneAtATimeAndPutBackOnEveryExit) {
  PtyPort port;
  try {
    ttypinpad::Port pad(port.path.c_str());
    support::expectSameSettings(support::padSettings(), port.now());
    try {
      ttypinpad::Port second(port.path.c_str());
      ADD_FAILURE() << "a second port was opened";
    } catch (const std::system_error &e) {
      EXPECT_EQ(e.code(), std::errc::device_or_resource_busy);
    }
    throw std::runtime_error("the kiosk gives up");
  } catch (const std::runtime_error &) {
  }
  support::expectSameSettings(port.before, port.now());
  try {
    ttypinpad::Port missing("/nonexistent/ttyACM0");
    ADD_FAILURE() << "a missing port was opened";
  } catch (const std::system_error &e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
}

TEST(CxxPort, ReadsEntriesWithATimeLimit) {
  PtyPort port;
  ttypinpad::Port pad(port.path.c_str());
  ttypinpad::Pin pin;
  EXPECT_EQ(pad.read(pin, Ms(20)), ttypinpad::Outcome::TimedOut);
  EXPECT_TRUE(pin.empty());
  ASSERT_EQ(write(port.master, "42#7*", 5), 5);
  EXPECT_EQ(pad.read(pin, Ms(5000)), ttypinpad::Outcome::Confirmed);
  EXPECT_EQ(pin.digits(), "42");
  EXPECT_EQ(pad.read(pin), ttypinpad::Outcome::Cancelled);
  EXPECT_TRUE(pin.empty());
  ::close(port.master);  // the pad unplugged
  port.master = -1;
  EXPECT_EQ(pad.read(pin, Ms(5000)), ttypinpad::Outcome::LineLost);
}

}  // namespace
