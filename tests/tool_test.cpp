// The virtual-pad tool from its command line.
#include "support.h"

#include <cstddef>
#include <functional>

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
        ToolCase{"KeysWithoutText", {"--keys"}, "", 2, "", {"--keys (it needs the keys)"}},
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
                 noSerialPorts}),
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

INSTANTIATE_TEST_SUITE_P(Signals, ToolStop, testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT));

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

}  // namespace
