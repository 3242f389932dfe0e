// The driver on its own: the entry reader fed through a socket that hands
// over exactly one message per read, and the port's setup and restore in
// a private namespace.
#include "pin.h"
#include "support.h"

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

Messages operator+(Messages a, const Messages &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

// A line that delivers the given messages, one per read, and then end of
// file. A child process sends them, so that any number fits.
class Line {
 public:
  explicit Line(const Messages &messages, const std::function<void(pid_t reader, int fd)> &beforeEach = nullptr) {
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_);
    const pid_t reader = getpid();
    writer_ = fork();
    if (writer_ == 0) {
      for (const std::string &m : messages) {
        if (beforeEach) beforeEach(reader, ends_[0]);
        if (send(ends_[1], m.data(), m.size(), MSG_NOSIGNAL) < 0) break;  // the reader is done
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
  Line line(c.messages);
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
        ReaderCase{"LaterBytesOfAReadDropped", Messages{"12", "3", "#"}, 2, "13"},
        ReaderCase{"ConfirmLaterInAReadDropped", Messages{"1#", "2", "#"}, 2, "12"},
        ReaderCase{"CancelLaterInAReadDropped", Messages{"5*", "#"}, 1, "5"},
        ReaderCase{"FullReadAtTheStart", Messages{kLongRead, "#"}, 1, "5"},
        ReaderCase{"EndOfFileMidEntry", keys("12"), -1, ""},
        ReaderCase{"EndOfFileAtOnce", Messages{}, -1, ""},
        ReaderCase{"EmptyReadEndsTheEntry", Messages{"1", "", "2", "#"}, -1, ""},
        ReaderCase{"LongestEntryFits", keys(k255 + "#"), 255, k255},
        ReaderCase{"LongReadsNearTheEnd", keys(std::string(254, '7')) + Messages{kLongRead, kLongRead}, -1, ""},
        ReaderCase{"LongReadThenConfirmAtTheEnd", keys(std::string(254, '7')) + Messages{kLongRead, "#"}, 255,
                   std::string(254, '7') + "5"},
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

TEST(ReaderFailure, ReadErrorCancelsTheEntry) {
  GuardedBuffer entry;
  fd = -1;
  expectEntry(entry.buf, vGetPinBuf(entry.buf), -1, "");
}

volatile sig_atomic_t gSignals = 0;
void countSignal(int /*signal*/) { gSignals = gSignals + 1; }

// A signal handler installed without SA_RESTART makes a waiting read fail
// with EINTR. Before every key the writer waits until the reader blocks,
// signals it, and waits until the signal was handled and the reader blocks
// again: the entry must go on as if nothing happened.
TEST(ReaderSignals, InterruptedReadsAreStartedAgain) {
  struct sigaction act {};
  struct sigaction old {};
  act.sa_handler = countSignal;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, &old);
  gSignals = 0;

  GuardedBuffer entry;
  const auto signalFirst = [](pid_t reader, int readerFd) {
    // Bounded, so that a reader that gave up does not leave us waiting.
    const auto waitFor = [](const std::function<bool()> &done) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!done() && std::chrono::steady_clock::now() < end) sched_yield();
    };
    waitFor([&] { return vpad::proc::blockedInRead(reader, readerFd); });
    kill(reader, SIGUSR1);
    waitFor([&] {
      return !vpad::proc::signalPending(reader) && vpad::proc::blockedInRead(reader, readerFd);
    });
  };
  {
    Line line(keys("42#"), signalFirst);
    expectEntry(entry.buf, vGetPinBuf(entry.buf), 2, "42");
  }
  EXPECT_EQ(gSignals, 3);
  sigaction(SIGUSR1, &old, nullptr);
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

}  // namespace
