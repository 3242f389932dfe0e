// SPDX-License-Identifier: MIT
// The virtual-pad tool from its command line.
#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using support::kPrompt;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// The tool as the test starts it: standard input, output and error are
// memory files unless the test gives its own; `prepare` runs in the
// child just before the tool starts.
class ToolProcess {
 public:
  explicit ToolProcess(const std::vector<std::string> &args, const std::string &input = "",
                       const std::function<void()> &prepare = nullptr, int stdinFd = -1, int stdoutFd = -1) {
    EXPECT_EQ(write(in_, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in_, 0, SEEK_SET);
    std::vector<std::string> command{VPAD_PATH};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char *> argv = support::argvOf(command);
    pid = fork();
    if (pid == 0) {
      dup2(stdinFd >= 0 ? stdinFd : in_, 0);
      dup2(stdoutFd >= 0 ? stdoutFd : out_, 1);
      dup2(err_, 2);
      if (prepare) prepare();
      execv(VPAD_PATH, argv.data());
      _exit(99);
    }
  }
  ~ToolProcess() {
    if (pid > 0) finish();
    for (const int f : {in_, out_, err_}) close(f);
  }
  ToolProcess(const ToolProcess &) = delete;
  ToolProcess &operator=(const ToolProcess &) = delete;

  // Waits for the tool to end, and kills it if it takes longer than any
  // test should; its status as a shell reports it.
  ToolRun finish() {
    ToolRun r;
    int st = 0;
    for (int waitedMs = 0; waitpid(pid, &st, WNOHANG) == 0; ++waitedMs) {
      if (waitedMs == support::kTimeoutMs) kill(pid, SIGKILL);
      usleep(1000);
    }
    pid = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = support::readAll(out_);
    r.err = support::readAll(err_);
    return r;
  }

  pid_t pid = -1;

 private:
  int in_ = memfd_create("stdin", MFD_CLOEXEC);
  int out_ = memfd_create("stdout", MFD_CLOEXEC);
  int err_ = memfd_create("stderr", MFD_CLOEXEC);
};

ToolRun runTool(const std::vector<std::string> &args, const std::string &input = "",
                const std::function<void()> &prepare = nullptr) {
  return ToolProcess(args, input, prepare).finish();
}

// In the child before the tool starts: the system call nr fails with err,
// as where a kernel or a filter does not allow it.
void refuse(long nr, int err) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(err)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(98);
  }
}

// In the child before the tool starts: a machine whose /dev is a tmpfs
// with its own devpts and no serial port, as in a container. A user who is
// not root makes it in a user namespace of its own.
void noSerialPorts() {
  std::string why;
  if (!vpad::enterPrivateMounts(why)) _exit(98);
  const int machineDev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);  // the namespace's own view of it
  const std::string null = "/proc/self/fd/" + std::to_string(machineDev) + "/null";
  if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
      mknod("/dev/null", S_IFREG | 0666, 0) != 0 || mount(null.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0 ||
      mkdir("/dev/pts", 0755) != 0 || mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0 ||
      symlink("pts/ptmx", "/dev/ptmx") != 0) {
    _exit(98);
  }
}

// Goes on in a new child; this process waits for it and ends as it did.
void goOnInAChild() {
  const pid_t child = fork();
  if (child < 0) _exit(98);
  if (child == 0) return;
  int status = 0;
  waitpid(child, &status, 0);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// The same, in a PID namespace of its own with its own /proc, as in a
// container: the tool is not its first process, but a child of it.
void containerLike() {
  noSerialPorts();
  if (unshare(CLONE_NEWPID) != 0) _exit(98);
  goOnInAChild();  // the container's first process
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) _exit(98);
  goOnInAChild();  // the tool
}

// The same, where /dev/ttyS0 is a link to a port the machine lacks.
void danglingPortLink() {
  noSerialPorts();
  if (symlink("ttyAMA0", "/dev/ttyS0") != 0) _exit(98);
}

void closeStream(int stream) {
  if (close(stream) != 0) _exit(98);
}

// Asked once: whether the tool can make its namespace here, and if not why.
bool haveNamespace(std::string &why) {
  static const ToolRun probe = runTool({"--", "true"});
  why = probe.err;
  return probe.status == 0;
}

#define NEED_NAMESPACE()                           \
  do {                                             \
    std::string why_;                              \
    if (!haveNamespace(why_)) SKIP_OR_FAIL(why_);  \
  } while (false)

struct ToolCase {
  const char *name;
  std::vector<std::string> args;
  std::string input;
  int status;
  std::string out;
  std::vector<std::string> errHas;  // lines or parts of lines on standard error
  std::function<void()> prepare = nullptr;
};
void PrintTo(const ToolCase &c, std::ostream *os) { *os << c.name; }

class Tool : public testing::TestWithParam<ToolCase> {};

TEST_P(Tool, Runs) {
  NEED_NAMESPACE();
  const ToolCase &c = GetParam();
  const ToolRun r = runTool(c.args, c.input, c.prepare);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.out, c.out);
  for (const std::string &part : c.errHas) EXPECT_NE(r.err.find(part), std::string::npos) << part << " in:\n" << r.err;
  if (c.errHas.empty()) {
    EXPECT_EQ(r.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Tool,
    testing::Values(
        ToolCase{"TypesKeysAndShowsSettings",
                 {"--show-settings", "--keys", "1234#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "1234[4]\n",
                 {"speed 2400 baud (in 2400, out 2400); 8 data bits, no parity, 1 stop bit;",
                  "; flow control RTS/CTS; min = 1; time = 0;",
                  "cs8 -parenb -parodd hupcl -cstopb cread clocal crtscts",
                  "-ignbrk -brkint ignpar -parmrk", "-opost", "-isig -icanon -iexten -echo", "intr = <undef>;"}},
        ToolCase{"EscapesInKeys", {"--keys", "1\\r\\x32\\\\#", "--", EXPIN_PATH}, "", 0, kPrompt + "1\r2\\[4]\n", {}},
        ToolCase{"PassesOnInputKeyByKey", {"--", EXPIN_PATH}, "56#", 0, kPrompt + "56[2]\n", {}},
        ToolCase{"CommandEndsEarly",
                 {"--keys", "1*99", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "E[-1]\n",
                 {"ended before it read every key (2 of 4 typed)"}},
        ToolCase{"NoPort",
                 {"--no-port", "--keys", "#", "--", EXPIN_PATH},
                 "",
                 255,
                 "",
                 {"/dev/ttyS0: No such file or directory\n"}},
        ToolCase{"DeniedPort", {"--deny-port", "--", EXPIN_PATH}, "", 255, "", {"/dev/ttyS0: Permission denied\n"}},
        ToolCase{"CommandStatusPassedOn", {"--", "sh", "-c", "exit 7"}, "", 7, "", {}},
        ToolCase{"CommandNotFound", {"--", "/nonexistent/command"}, "", 127, "", {"No such file or directory"}},
        ToolCase{"CommandNotRunnable", {"--", "/dev/null"}, "", 126, "", {"Permission denied"}},
        ToolCase{"NoCommand", {"--keys", "1#"}, "", 2, "", {"no COMMAND to run"}},
        ToolCase{"KeysWithoutText", {"--keys"}, "", 2, "", {"--keys (it needs a value)"}},
        ToolCase{"TimeoutNotANumber", {"--timeout", "soon", "--", "true"}, "", 2, "", {"--timeout needs a number"}},
        ToolCase{"UnknownOption", {"--fast", "--", "true"}, "", 2, "", {"unknown option --fast"}},
        ToolCase{"UnknownEscape", {"--keys", "\\q", "--", "true"}, "", 2, "", {"unknown escape \\q"}},
        ToolCase{"UnknownShortOption", {"-x", "--", "true"}, "", 2, "", {"unknown option -x"}},
        ToolCase{"HexWithASign", {"--keys", "\\x-1", "--", "true"}, "", 2, "", {"\\x needs two hexadecimal digits"}},
        ToolCase{"HexWithAPlus", {"--keys", "\\x+f", "--", "true"}, "", 2, "", {"\\x needs two hexadecimal digits"}},
        ToolCase{"ReaderLineByLine",
                 {"--keys", "12\\n", "--", "sh", "-c", "read -r line </dev/ttyS0; echo \"[$line]\""},
                 "",
                 0,
                 "[12]\n",
                 {}},
        ToolCase{"NoPidfdOpen", {"--", "sh", "-c", "exit 3"}, "", 3, "", {}, [] { refuse(SYS_pidfd_open, ENOSYS); }},
        ToolCase{"MachineWithoutSerialPorts",
                 {"--keys", "12#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "12[2]\n",
                 {},
                 noSerialPorts},
        ToolCase{"ContainerLike",
                 {"--keys", "12#", "--", "sh", "-c",
                  std::string(EXPIN_PATH) + "; cat /proc/$$/comm; stat -c %t:%T /dev/console"},
                 "",
                 0,
                 kPrompt + "12[2]\nsh\n1:3\n",
                 {},
                 containerLike},
        ToolCase{"UartWithoutQemu",
                 {"--uart", "--", "true"},
                 "",
                 125,
                 "",
                 {"virtual-pad: --uart needs qemu-system-x86_64 (apt-get install qemu-system-x86)\n"},
                 [] { setenv("PATH", "/nonexistent", 1); }},
        ToolCase{"UartWithoutKernel",
                 {"--uart", "--", "true"},
                 "",
                 125,
                 "",
                 {"virtual-pad: --uart needs Debian's kernel in /nonexistent/guest"},
                 [] { setenv("TTYPINPAD_GUEST", "/nonexistent/guest", 1); }},
        ToolCase{"NoCarrierWithoutUart", {"--no-carrier", "--", "true"}, "", 2, "", {"--no-carrier needs --uart"}},
        ToolCase{"DanglingPortLink", {"--keys", "12#", "--", EXPIN_PATH}, "", 0, kPrompt + "12[2]\n", {}, danglingPortLink},
        ToolCase{"KeysGivenTwiceGoOutInOrder", {"--keys", "1", "--keys", "2#", "--", EXPIN_PATH}, "", 0, kPrompt + "12[2]\n", {}},
        ToolCase{"BurstOfQueuedKeys",
                 {"--timeout", "5", "--keys", "1", "--burst", "23#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "123[3]\n",
                 {}},
        ToolCase{"HangUpOnceTyped", {"--keys", "12", "--hang-up", "--", EXPIN_PATH}, "", 0, kPrompt + "E[-1]\n", {}},
        ToolCase{"TimeLimit",
                 {"--timeout", "0.3", "--keys", "12", "--", EXPIN_PATH},
                 "",
                 124,
                 kPrompt,
                 {"exPin timed out after 0.3 s (2 of 2 keys typed); ending it"}},
        ToolCase{"StandardErrorClosed",
                 {"--show-settings", "--keys", "12#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "12[2]\n",
                 {},
                 [] { closeStream(2); }},
        ToolCase{"StandardInputClosedForCommandToo",
                 {"--keys", "", "--", "sh", "-c", "[ -e /proc/self/fd/0 ] && echo open || echo closed"},
                 "",
                 0,
                 "closed\n",
                 {},
                 [] { closeStream(0); }},
        ToolCase{"HighControlCharacterShown",
                 {"--show-settings", "--keys", "1", "--", "sh", "-c",
                  "stty -F /dev/ttyS0 raw -echo intr \"$(printf '\\201')\"; head -c1 /dev/ttyS0 >/dev/null"},
                 "",
                 0,
                 "",
                 {"intr = M-^A;"}},
        // Not even root gets out: /proc is the command's own, the pad cannot
        // be unmounted nor /dev taken away, no device node can be made, the
        // console is /dev/null and no serial port of the machine is there.
        ToolCase{"CommandStaysInside",
                 {"--", "sh", "-c",
                  "cat /proc/$$/comm /proc/1/comm; umount /dev/ttyS0 2>/dev/null; umount -l /dev 2>/dev/null; "
                  "mknod /dev/shm/port c 4 64 2>/dev/null && echo made; stat -c '%t:%T' /dev/console; "
                  "stat -c %t /dev/ttyS0; ls /dev | grep -c '^tty[SA]'"},
                 "",
                 0,
                 "sh\nvirtual-pad\n1:3\n88\n1\n",
                 {}}),
    [](const testing::TestParamInfo<ToolCase> &info) { return std::string(info.param.name); });

struct AbiCase {
  const char *name;
  unsigned char bits;  // ELFCLASS32 or ELFCLASS64
  bool bigEndian;
  std::uint16_t machine;
  long readCall;
};
void PrintTo(const AbiCase &c, std::ostream *os) { *os << c.name; }

class ReaderAbi : public testing::TestWithParam<AbiCase> {};

// The pad knows a program blocked in read() by the call's number in the
// program's own ABI, which a 64-bit pad pacing a 32-bit program must not
// take for its own.
TEST_P(ReaderAbi, ReadCallOfTheProgramsOwnAbi) {
  const AbiCase &c = GetParam();
  unsigned char header[vpad::proc::kElfHeadSize] = {0x7f, 'E', 'L', 'F', c.bits,
                                                    static_cast<unsigned char>(c.bigEndian ? 2 : 1), 1};
  header[c.bigEndian ? 19 : 18] = static_cast<unsigned char>(c.machine & 0xff);
  header[c.bigEndian ? 18 : 19] = static_cast<unsigned char>(c.machine >> 8);
  EXPECT_EQ(vpad::proc::readCallOfElf(header), c.readCall);
}

INSTANTIATE_TEST_SUITE_P(Cpus, ReaderAbi,
                         testing::Values(AbiCase{"x86_64", 2, false, 62, 0}, AbiCase{"i386", 1, false, 3, 3},
                                         AbiCase{"x32", 1, false, 62, 0x40000000}, AbiCase{"armhf", 1, false, 40, 3},
                                         AbiCase{"arm64", 2, false, 183, 63}, AbiCase{"s390x", 2, true, 22, 3},
                                         AbiCase{"riscv64", 2, false, 243, 63}),
                         [](const testing::TestParamInfo<AbiCase> &info) { return std::string(info.param.name); });

// Where the system refuses every kind of namespace, the tool says so in
// one line and runs nothing: it never falls back to the real port.
TEST(ToolNamespace, RefusedNamespaceRunsNothing) {
  const ToolRun r = runTool({"--keys", "#", "--", "sh", "-c", "echo ran"}, "", [] { refuse(SYS_unshare, EPERM); });
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("virtual-pad: cannot make a private mount namespace: Operation not permitted", 0), 0U)
      << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line:\n" << r.err;
}

TEST(ToolCommandLine, ShortHelpIsHelp) {
  const ToolRun shortHelp = runTool({"-h"});
  EXPECT_EQ(shortHelp.status, 0);
  EXPECT_EQ(shortHelp.out, runTool({"--help"}).out);
}

// Reads what arrives on fd until it holds want or ends; what it read.
std::string readUntil(int fd, const std::string &want) {
  std::string got;
  char chunk[256];
  pollfd ready{fd, POLLIN, 0};
  while (got.find(want) == std::string::npos && poll(&ready, 1, support::kTimeoutMs) == 1) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}

// True once every process that could write to fd has closed it, within a
// second of the call.
bool closedByAll(int fd) {
  char chunk[256];
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, 1000) == 1) {
    if (read(fd, chunk, sizeof chunk) <= 0) return true;
  }
  return false;
}

// A signal that stops the tool ends COMMAND and everything COMMAND
// started, and puts the user's terminal back. The background sleep holds
// the pipe of standard output: the pipe ends only once it is gone.
class ToolStop : public testing::TestWithParam<int> {};

TEST_P(ToolStop, EndsTheWholeTreeAndPutsTheTerminalBack) {
  NEED_NAMESPACE();
  int terminal = -1;
  int user = -1;
  ASSERT_EQ(openpty(&terminal, &user, nullptr, nullptr, nullptr), 0);
  termios before{};
  tcgetattr(user, &before);
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ToolProcess tool({"--", "sh", "-c", "sleep 30 & exec " EXPIN_PATH}, "", nullptr, user, output[1]);
  close(output[1]);
  ASSERT_EQ(readUntil(output[0], kPrompt), kPrompt);
  termios raw{};
  for (int waitedMs = 0; tcgetattr(user, &raw) == 0 && (raw.c_lflag & ECHO) != 0; ++waitedMs) {
    ASSERT_LT(waitedMs, support::kTimeoutMs) << "the terminal was never made raw";
    usleep(1000);
  }

  kill(tool.pid, GetParam());
  EXPECT_EQ(tool.finish().status, 128 + GetParam());
  termios after{};
  tcgetattr(user, &after);
  support::expectSameSettings(before, after);
  EXPECT_TRUE(closedByAll(output[0])) << "something COMMAND started still runs";
  for (const int f : {terminal, user, output[0]}) close(f);
}

// The first four are passed on; the others end the tool (and all it
// started) as they would any program, but the terminal goes back first.
INSTANTIATE_TEST_SUITE_P(Signals, ToolStop, testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM));

// With --keys, a signal that comes once every key has been typed, while
// COMMAND waits for more, still reaches it.
TEST(ToolStopAfterKeys, SignalAfterTheLastKeyEndsTheTree) {
  NEED_NAMESPACE();
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ToolProcess tool({"--keys", "1\\n", "--", "sh", "-c", "read -r a </dev/ttyS0; echo \"$a\"; read -r b </dev/ttyS0"}, "",
                   nullptr, -1, output[1]);
  close(output[1]);
  ASSERT_EQ(readUntil(output[0], "1\n"), "1\n");
  kill(tool.pid, SIGTERM);
  EXPECT_EQ(tool.finish().status, 128 + SIGTERM);
  close(output[0]);
}

// A COMMAND that ignores Ctrl-C: the second one ends it, with a word.
TEST(ToolStopTwice, SecondInterruptEndsACommandThatIgnoresIt) {
  NEED_NAMESPACE();
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ToolProcess tool({"--", "sh", "-c", "trap '' INT; exec " EXPIN_PATH}, "", nullptr, -1, output[1]);
  close(output[1]);
  ASSERT_EQ(readUntil(output[0], kPrompt), kPrompt);
  for (int i = 0; i < 2; ++i) {
    kill(tool.pid, SIGINT);
    while (vpad::proc::signalPending(tool.pid)) sched_yield();  // taken before the next one goes
    // The same signal from the same sender at once would count as one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  const ToolRun r = tool.finish();
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_NE(r.err.find("did not end on SIGINT; killing it"), std::string::npos) << r.err;
  close(output[0]);
}

// Without the right to make a mount namespace, as for a user who is not
// root, the tool makes a user namespace of its own and goes on.
TEST(ToolNamespace, UserNamespaceWhenMountsAreNotAllowed) {
  NEED_NAMESPACE();
  const auto dropAdmin = [] {
    if (geteuid() == 0 && prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) != 0) _exit(98);
  };
  const ToolRun r = runTool({"--keys", "77#", "--", EXPIN_PATH}, "", dropAdmin);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kPrompt + "77[2]\n");
}

// A signal at a random moment of the tool's life, start-up included, with
// or without keys to type: the tool always ends, with the signal's status,
// and nothing COMMAND started goes on (it would print "ran"). SIGKILL
// gives the tool no chance to clean up: the namespace must still die.
TEST(ToolStress, SignalAtARandomMomentEndsEverything) {
  NEED_NAMESPACE();
  const unsigned seed = std::random_device{}();  // other moments on every run; the seed tells which
  std::mt19937 random(seed);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL};
  for (int run = 0; run < 150; ++run) {
    const int sig = signals[random() % 5];
    const auto delay = std::chrono::microseconds(random() % 30000);
    const bool withKeys = random() % 2 == 0;
    std::vector<std::string> args{"--", "sh", "-c", "sleep 0.4; echo ran"};
    if (withKeys) args.insert(args.begin(), {"--keys", "1"});
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ToolProcess tool(args, "", nullptr, -1, output[1]);
    close(output[1]);
    std::this_thread::sleep_for(delay);
    kill(tool.pid, sig);
    const ToolRun r = tool.finish();
    EXPECT_EQ(r.status, 128 + sig) << "SIG" << sigabbrev_np(sig) << " after " << delay.count() << " us, seed " << seed
                                   << r.err;
    EXPECT_EQ(readUntil(output[0], "ran"), "") << "SIG" << sigabbrev_np(sig) << " after " << delay.count() << " us";
    close(output[0]);
    if (HasFailure()) break;
  }
}

// timeout(1) sends its one signal to the tool, then to the tool's whole
// process group: one signal, which COMMAND's own handler answers.
TEST(ToolStress, SignalToTheProcessGroupCountsOnce) {
  NEED_NAMESPACE();
  for (int run = 0; run < 30 && !HasFailure(); ++run) {
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ToolProcess tool({"--", "sh", "-c", "trap 'sleep 0.05; exit 3' TERM; echo ready; while :; do sleep 1 & wait $!; done"},
                     "", [] { setpgid(0, 0); }, -1, output[1]);
    close(output[1]);
    ASSERT_EQ(readUntil(output[0], "ready\n"), "ready\n");
    kill(tool.pid, SIGTERM);
    kill(-tool.pid, SIGTERM);
    const ToolRun r = tool.finish();
    EXPECT_EQ(r.status, 3) << r.err;
    close(output[0]);
  }
}

// Ctrl-C at the terminal reaches COMMAND once: the terminal sends it to
// the tool's process group, COMMAND's too, and the tool does not pass on
// another. COMMAND counts what it gets for a while after the first.
TEST(ToolStress, OneCtrlCIsOneSignal) {
  NEED_NAMESPACE();
  int terminal = -1;
  int user = -1;
  ASSERT_EQ(openpty(&terminal, &user, nullptr, nullptr, nullptr), 0);
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  const auto ownTerminal = [user] {
    if (setsid() < 0 || ioctl(user, TIOCSCTTY, 0) != 0) _exit(98);
  };
  ToolProcess tool({"--keys", "", "--", "sh", "-c",
                    "n=0; trap 'n=$((n+1))' INT; echo ready; while [ $n -eq 0 ]; do sleep 0.01; done; sleep 0.3; echo $n"},
                   "", ownTerminal, user, output[1]);
  close(output[1]);
  ASSERT_EQ(readUntil(output[0], "ready\n"), "ready\n");
  ASSERT_EQ(write(terminal, "\x03", 1), 1);
  EXPECT_EQ(tool.finish().status, 0);
  EXPECT_EQ(readUntil(output[0], "\n"), "1\n");
  for (const int f : {terminal, user, output[0]}) close(f);
}

// A key is taken once it has left the line, whoever took it: here each
// of eight processes reads one and ends at once.
TEST(ToolStress, KeysReadByProcessesThatEndAtOnce) {
  NEED_NAMESPACE();
  for (int run = 0; run < 100 && !HasFailure(); ++run) {
    const std::string eightReaders =
        "stty -F /dev/ttyS0 -icanon min 1 -echo; for i in 1 2 3 4 5 6 7 8; do head -c1 /dev/ttyS0; done; echo";
    const ToolRun r = runTool({"--keys", "12345678", "--", "sh", "-c", eightReaders});
    EXPECT_EQ(r.status, 0) << "run " << run << ": " << r.err;
    EXPECT_EQ(r.out, "12345678\n") << "run " << run;
  }
}

class ReaderKind : public testing::TestWithParam<const char *> {};

// Every way a program waits for input gets its keys.
TEST_P(ReaderKind, GetsEveryKey) {
  NEED_NAMESPACE();
  const ToolRun r = runTool({"--keys", "1\\x002#", "--", PORT_READER_PATH, GetParam()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string("1\0" "2\n", 4));
}

INSTANTIATE_TEST_SUITE_P(Waits, ReaderKind, testing::Values("read", "readv", "poll", "select", "epoll", "nonblock"));

// The state letter of a process (R, S, T, ...), from /proc.
char stateOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

// The tool's children: COMMAND and the first process of its namespace.
std::vector<pid_t> childrenOf(pid_t pid) {
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> children;
  for (pid_t child = 0; list >> child;) children.push_back(child);
  return children;
}

// More processes than a 4 KiB list of children holds.
const std::string kSpawnMany = "i=0; while [ $i -lt 800 ]; do sleep 60 & i=$((i+1)); done; ";

// Hundreds of other processes neither hide the reader nor make the
// pacing dearer; a stopped COMMAND ends on the first signal.
TEST(ToolManyProcesses, ReaderAmongHundredsIsFound) {
  NEED_NAMESPACE();
  const ToolRun r = runTool({"--keys", "7#", "--", "sh", "-c", kSpawnMany + "sleep 60 & sleep 60 & " EXPIN_PATH});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kPrompt + "7[1]\n");
}

TEST(ToolManyProcesses, StoppedCommandCostsLittleAndEndsOnTheFirstSignal) {
  NEED_NAMESPACE();
  ToolProcess tool({"--keys", "1", "--", "sh", "-c", kSpawnMany + "kill -STOP $$"});
  const auto stopped = [&] {
    const std::vector<pid_t> children = childrenOf(tool.pid);
    return std::any_of(children.begin(), children.end(), [](pid_t child) { return stateOf(child) == 'T'; });
  };
  for (int waitedMs = 0; !stopped(); ++waitedMs) {
    ASSERT_LT(waitedMs, support::kTimeoutMs) << "COMMAND never stopped";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::uint64_t before = vpad::proc::cpuNs(tool.pid);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::uint64_t spent = vpad::proc::cpuNs(tool.pid) - before;
  // The once-over of 800 new processes falls in this second; the looks
  // after it cost about a millisecond a second.
#ifdef PIN_SANITIZED
  EXPECT_LT(spent, 100'000'000U);
#else
  EXPECT_LT(spent, 30'000'000U) << "the tool used " << static_cast<double>(spent) / 1e7 << "% of a core watching";
#endif
  kill(tool.pid, SIGTERM);
  EXPECT_EQ(tool.finish().status, 128 + SIGTERM);
}

// A script without "#!" is run by the shell, which the C library's execvp
// does by copying every argument onto the stack.
TEST(ToolCommandLine, ScriptWithoutInterpreterLineAndManyArguments) {
  NEED_NAMESPACE();
  char script[] = "/tmp/vpad-script-XXXXXX";
  const int f = mkstemp(script);
  ASSERT_GE(f, 0);
  ASSERT_EQ(write(f, "exit 3\n", 7), 7);
  fchmod(f, 0755);
  close(f);
  std::vector<std::string> args{"--", script};
  args.resize(20002, "argument");
  EXPECT_EQ(runTool(args).status, 3);
  unlink(script);
}

// ---- the pad on a real serial driver: virtual-pad --uart ----------------

// Asked once: whether the machine with the UART can run here, and if not
// why (QEMU or Debian's kernel missing).
bool haveUart(std::string &why) {
  static const ToolRun probe = runTool({"--uart", "--", "true"});
  why = probe.err;
  return probe.status == 0;
}

class Uart : public testing::TestWithParam<ToolCase> {};

// What a pseudo-terminal hides, a UART shows: the speed, data bits,
// parity and stop bits on the wire, carrier, BREAK, and the settings put
// back in full (a pseudo-terminal forces 8 data bits and no parity).
TEST_P(Uart, Runs) {
  std::string why;
  if (!haveUart(why)) SKIP_OR_FAIL(why);
  const ToolCase &c = GetParam();
  const ToolRun r = runTool(c.args, c.input);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.out, c.out);
  for (const std::string &part : c.errHas) EXPECT_NE(r.err.find(part), std::string::npos) << part << " in:\n" << r.err;
}

// Settings unlike the pad's in every field a UART keeps: 19200 baud,
// 7 data bits, odd parity, 2 stop bits, no clocal.
const std::string kEarlier = "stty -F /dev/ttyS0 19200 cs7 parenb parodd cstopb -clocal -crtscts icrnl ixon opost";

INSTANTIATE_TEST_SUITE_P(
    Line, Uart,
    testing::Values(
        ToolCase{"EntryOnTheWire",
                 {"--uart", "--show-settings", "--keys", "1234#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "1234[4]\n",
                 {"2400 baud, 8 data bits, no parity, 1 stop bit; DTR on, RTS on"}},
        ToolCase{"Cancelled", {"--uart", "--keys", "12*", "--", EXPIN_PATH}, "", 0, kPrompt + "E[-1]\n", {}},
        ToolCase{"ConfirmAlone", {"--uart", "--keys", "#", "--", EXPIN_PATH}, "", 0, kPrompt + "[0]\n", {}},
        ToolCase{"OtherBytesCounted", {"--uart", "--keys", "1\\r2#", "--", EXPIN_PATH}, "", 0, kPrompt + "1\r2[3]\n", {}},
        ToolCase{"BreakAndBurst",
                 {"--uart", "--keys", "1", "--break", "--burst", "23#", "--", EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "1[4]\n",
                 {}},
        ToolCase{"EarlierSettingsPutBack",
                 {"--uart", "--keys", "5#", "--", "sh", "-c",
                  kEarlier + "; stty -F /dev/ttyS0 -g >/tmp/before; " EXPIN_PATH
                             "; stty -F /dev/ttyS0 -g >/tmp/after; cmp -s /tmp/before /tmp/after && echo put back"},
                 "",
                 0,
                 kPrompt + "5[1]\nput back\n",
                 {}},
        ToolCase{"NoCarrier",
                 {"--uart", "--no-carrier", "--timeout", "60", "--keys", "7#", "--", "sh", "-c",
                  kEarlier + "; " EXPIN_PATH},
                 "",
                 0,
                 kPrompt + "7[1]\n",
                 {}},
        ToolCase{"HungUp", {"--uart", "--keys", "12", "--hang-up", "--", EXPIN_PATH}, "", 0, kPrompt + "E[-1]\n", {}},
        ToolCase{"PassesOnInput", {"--uart", "--", EXPIN_PATH}, "56#", 0, kPrompt + "56[2]\n", {}},
        // The guest's own /proc and /sys, not the host's folders under them.
        ToolCase{"StatusPassedOn",
                 {"--uart", "--", "sh", "-c", "test -e /proc/self/exe && test -e /sys/class/tty/ttyS0 && exit 7"},
                 "",
                 7,
                 "",
                 {}}),
    [](const testing::TestParamInfo<ToolCase> &info) { return std::string(info.param.name); });

}  // namespace
