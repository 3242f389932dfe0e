#include "launch.h"

#include "errors.h"
#include "pad.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vpad {
namespace {

// What the started child tells its parent, once or twice, through a pipe
// that the exec closes: the first process of its PID namespace, and why it
// failed if it did. One record is written whole (it is smaller than a
// pipe's atomic write).
struct Record {
  int status = 0;  // 0: ready to run the program
  pid_t init = -1;
  char why[480] = {};
};

void send(int report, int status, pid_t init, const std::string &why) {
  Record r;
  r.status = status;
  r.init = init;
  why.copy(r.why, sizeof r.why - 1);
  if (write(report, &r, sizeof r) < 0) {
    // The parent then sees no record and a bare failure; nothing else to do.
  }
}

[[noreturn]] void fail(int report, int status, pid_t init, const std::string &why) {
  send(report, status, init, why);
  _exit(status);
}

// ---- the first process of the program's PID namespace ------------------

void passOn(int sig) { kill(-1, sig); }  // to every process of the namespace but this one
void wake(int /*sig*/) {}

// Reaps what is orphaned in the namespace and passes the signals that the
// caller sends it on to every process there. It holds nothing open, so
// that unplugging the pad, for one, is felt by the program at once.
int nsInit(void * /*unused*/) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // it dies with the caller, and the namespace with it
  setsid();                          // a terminal's Ctrl-C reaches the program, not this process
  if (close_range(0, ~0U, 0) != 0) {
    for (int f = 0; f < 1024; ++f) close(f);  // kernels before 5.9
  }
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  act.sa_handler = passOn;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &act, nullptr);
  act.sa_handler = wake;  // so that pause() returns when a child ends
  sigaction(SIGCHLD, &act, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (;;) {
    if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) pause();
  }
}

alignas(16) char initStack[64 * 1024];

// The child: namespaces, then the program. Never returns.
[[noreturn]] void runChild(const Pad &pad, const Launch &launch, int report, pid_t parent) {
  // Nothing started here outlives the one who started it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(kNoNamespace);
  std::string why;
  if (!isolate(pad, launch.port, why)) fail(report, kNoNamespace, -1, why);
  // Every process the program starts goes into a PID namespace whose
  // first process is a sibling of the program (CLONE_PARENT): the
  // program sees no child of its own that it did not start.
  if (unshare(CLONE_NEWPID) != 0) fail(report, kNoNamespace, -1, errnoText("cannot make a PID namespace"));
  const pid_t init = clone(nsInit, initStack + sizeof initStack, CLONE_PARENT | SIGCHLD, nullptr);
  if (init < 0) fail(report, kNoNamespace, -1, errnoText("cannot start a PID namespace"));

  const int streams[] = {launch.stdio.in, launch.stdio.out, launch.stdio.err};
  for (int target = 0; target < 3; ++target) {
    if (streams[target] == kClosed) close(target);
    if (streams[target] >= 0 && streams[target] != target) dup2(streams[target], target);
  }
  send(report, 0, init, "");
  if (launch.body) {
    close(report);
    _exit(launch.body());
  }
  if (launch.stopBeforeExec) raise(SIGSTOP);
  execvp(launch.argv[0], launch.argv);
  fail(report, errno == ENOENT ? kNotFound : kNotRunnable, init, errnoText(launch.argv[0]));
}

ino_t pidNamespaceOf(pid_t pid) {
  struct stat st {};
  return stat(("/proc/" + std::to_string(pid) + "/ns/pid").c_str(), &st) == 0 ? st.st_ino : 0;
}

// Ends the namespace: its first process, and with it every process left
// there. Those the program left behind when it ended became our children
// (we are their subreaper), and the namespace is gone only once we have
// reaped them too.
void endNamespace(Pad &pad) {
  if (pad.init <= 0) return;
  const ino_t ns = pidNamespaceOf(pad.init);
  kill(pad.init, SIGKILL);
  const std::string self = "/proc/self/task/" + std::to_string(gettid()) + "/children";
  while (waitpid(pad.init, nullptr, WNOHANG) == 0) {
    std::ifstream children(self);
    for (pid_t child = 0; children >> child;) {
      if (child != pad.init && ns != 0 && pidNamespaceOf(child) == ns) waitpid(child, nullptr, WNOHANG);
    }
    const timespec pause{0, 200'000};
    nanosleep(&pause, nullptr);
  }
  pad.init = -1;
}

}  // namespace

bool start(Pad &pad, const Launch &launch, std::string &why, int &status) {
  status = kNoNamespace;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    why = errnoText("cannot make a pipe");
    return false;
  }
  // What the program leaves running when it ends becomes ours, not the
  // machine's, so that it can be reaped at once (see endNamespace).
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    why = errnoText("cannot start a process");
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (pid == 0) {
    close(report[0]);
    runChild(pad, launch, report[1], parent);
  }
  close(report[1]);
  // Read until the exec closes the pipe; a program that stops before its
  // exec has said all it will once it is ready.
  Record failure;
  for (Record r; read(report[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);) {
    if (r.init > 0) pad.init = r.init;
    if (r.status != 0) failure = r;
    if (r.status == 0 && launch.stopBeforeExec) break;
  }
  close(report[0]);
  pad.pid = pid;
  if (failure.status != 0) {
    status = failure.status;
    why = failure.why;
    reap(pad);
    return false;
  }
  pad.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));  // -1 before Linux 5.3
  status = 0;
  return true;
}

void signalAll(const Pad &pad, int sig) {
  if (pad.pid > 0) kill(pad.pid, sig);
  if (pad.init > 0) kill(pad.init, sig);
}

int reap(Pad &pad) {
  int st = 0;
  while (waitpid(pad.pid, &st, 0) < 0) {
    if (errno != EINTR) {
      st = W_EXITCODE(kNoNamespace, 0);
      break;
    }
  }
  pad.pid = -1;
  pad.lastReader = -1;
  if (pad.pidfd >= 0) close(pad.pidfd);
  pad.pidfd = -1;
  endNamespace(pad);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace vpad
