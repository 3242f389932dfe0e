// The virtual-pad tool from its command line.
#include "support.h"

#include <cstddef>
#include <functional>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using support::kPrompt;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs the tool with args and the given standard input; `prepare` runs in
// the child just before the tool starts.
ToolRun runTool(const std::vector<std::string> &args, const std::string &input = "",
            const std::function<void()> &prepare = nullptr) {
  const int in = memfd_create("stdin", MFD_CLOEXEC);
  const int out = memfd_create("stdout", MFD_CLOEXEC);
  const int err = memfd_create("stderr", MFD_CLOEXEC);
  EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(in, 0, SEEK_SET);
  std::vector<std::string> command{VPAD_PATH};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char *> argv = support::argvOf(command);
  const pid_t child = fork();
  if (child == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (prepare) prepare();
    execv(VPAD_PATH, argv.data());
    _exit(99);
  }
  ToolRun r;
  int st = 0;
  waitpid(child, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = support::readAll(out);
  r.err = support::readAll(err);
  for (const int f : {in, out, err}) close(f);
  return r;
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
};
void PrintTo(const ToolCase &c, std::ostream *os) { *os << c.name; }

class Tool : public testing::TestWithParam<ToolCase> {};

TEST_P(Tool, Runs) {
  NEED_NAMESPACE();
  const ToolCase &c = GetParam();
  const ToolRun r = runTool(c.args, c.input);
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
        ToolCase{"UnknownEscape", {"--keys", "\\q", "--", "true"}, "", 2, "", {"unknown escape \\q"}}),
    [](const testing::TestParamInfo<ToolCase> &info) { return std::string(info.param.name); });

// Where the system refuses every kind of namespace, the tool says so in
// one line and runs nothing: it never falls back to the real port.
TEST(ToolNamespace, RefusedNamespaceRunsNothing) {
  const auto refuseUnshare = [] {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unshare, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(98);
    }
  };
  const ToolRun r = runTool({"--keys", "#", "--", "sh", "-c", "echo ran"}, "", refuseUnshare);
  EXPECT_EQ(r.status, 125);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("virtual-pad: cannot make a private mount namespace: Operation not permitted", 0), 0U)
      << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line:\n" << r.err;
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
