#include "launch.h"

#include "errors.h"
#include "pad.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vpad {
namespace {

// What the processes of a start tell the caller through a pipe: the
// program and the first process of its PID namespace once they are
// there, and why something failed if it did. The pipe ends once the
// program has been exec'd and the namespace's first process is ready. A
// record is written whole (it is smaller than a pipe's atomic write).
struct Record {
  int status = 0;  // 0: all is well so far
  pid_t program = -1;
  pid_t init = -1;
  char why[480] = {};
};

void send(int report, int status, pid_t program, pid_t init, const std::string &why) {
  Record r;
  r.status = status;
  r.program = program;
  r.init = init;
  why.copy(r.why, sizeof r.why - 1);
  if (write(report, &r, sizeof r) < 0) {
    // The caller then sees no record and a bare failure; nothing else to do.
  }
}

[[noreturn]] void fail(int report, int status, const std::string &why) {
  send(report, status, -1, -1, why);
  _exit(status);
}

// ---- the first process of the program's PID namespace ------------------

void passOn(int sig) { kill(-1, sig); }  // to every process of the namespace but this one
void wake(int /*sig*/) {}

// Reaps what is orphaned in the namespace, and passes the signals that the
// caller sends it on to every process there. Once its handlers are in
// place it closes everything, the report pipe with the rest: it holds
// nothing open, so that unplugging the pad, for one, is felt at once.
int nsInit(void * /*unused*/) {
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  act.sa_handler = passOn;
  for (const int sig : kInterruptingSignals) sigaction(sig, &act, nullptr);
  act.sa_handler = wake;  // so that pause() returns when a child ends
  sigaction(SIGCHLD, &act, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // it dies with the caller, and the namespace with it
  setsid();                          // a terminal's Ctrl-C reaches the program, not this process
  if (close_range(0, ~0U, 0) != 0) {
    for (int f = 0; f < 1024; ++f) close(f);  // kernels before 5.9
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (;;) {
    if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) pause();
  }
}

// ---- the program -------------------------------------------------------

struct ProgramStart {
  const Launch *launch;
  int report;
};

// Runs in the program's own process, in the namespace; never returns.
// (Made by clone(), so it uses no C library call that trusts a thread's
// cached identity, such as raise().)
int execProgram(void *arg) {
  const auto *what = static_cast<const ProgramStart *>(arg);
  const Launch &launch = *what->launch;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // nothing started here outlives the one who started it
  const int streams[] = {launch.stdio.in, launch.stdio.out, launch.stdio.err};
  for (int target = 0; target < 3; ++target) {
    if (streams[target] == kClosed) close(target);
    if (streams[target] >= 0 && streams[target] != target) dup2(streams[target], target);
  }
  if (launch.stopBeforeExec) kill(getpid(), SIGSTOP);
  execvp(launch.argv[0], launch.argv);
  fail(what->report, errno == ENOENT ? kNotFound : kNotRunnable, errnoText(launch.argv[0]));
}

alignas(16) char cloneStack[64 * 1024];  // each clone gets its own copy of it

// The process the caller forks: it makes the namespaces, starts their
// first process and the program, says which they are, and ends. Code run
// in place of a program runs here, in the mount namespace; it starts
// nothing and needs no PID namespace.
[[noreturn]] void setUp(const Pad &pad, const Launch &launch, int report, pid_t caller) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != caller) _exit(kNoNamespace);
  std::string why;
  if (!isolate(pad, launch.port, why)) fail(report, kNoNamespace, why);
  if (launch.body) {
    send(report, 0, getpid(), -1, "");
    close(report);
    _exit(launch.body());
  }
  // The program and everything it starts live in a PID namespace of
  // their own; its first process and the program are both children of
  // the caller (CLONE_PARENT), so that the caller can wait for the
  // program, and the program, not being the namespace's first process,
  // takes signals as any program does.
  if (unshare(CLONE_NEWPID) != 0) fail(report, kNoNamespace, errnoText("cannot make a PID namespace"));
  char *const stackTop = cloneStack + sizeof cloneStack;
  const pid_t init = clone(nsInit, stackTop, CLONE_PARENT | SIGCHLD, nullptr);
  if (init < 0) fail(report, kNoNamespace, errnoText("cannot start a PID namespace"));
  ProgramStart what{&launch, report};
  const pid_t program = clone(execProgram, stackTop, CLONE_PARENT | SIGCHLD, &what);
  if (program < 0) {
    kill(init, SIGKILL);
    fail(report, kNoNamespace, errnoText("cannot start a process"));
  }
  send(report, 0, program, init, "");
  _exit(0);
}

// Reaps a child, whatever signals come meanwhile; false if it cannot.
bool reapChild(pid_t pid, int *status) {
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void endNamespace(Pad &pad) {
  if (pad.init <= 0) return;
  kill(pad.init, SIGKILL);  // and with it every process left in the namespace
  reapChild(pad.init, nullptr);
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
  const pid_t caller = getpid();
  const pid_t helper = fork();
  if (helper < 0) {
    why = errnoText("cannot start a process");
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (helper == 0) {
    close(report[0]);
    setUp(pad, launch, report[1], caller);
  }
  close(report[1]);
  // Read until every process of the start has closed the pipe; a program
  // that stops before its exec has said all it will once it is there.
  Record failure;
  for (Record r; read(report[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);) {
    if (r.program > 0) pad.pid = r.program;
    if (r.init > 0) pad.init = r.init;
    if (r.status != 0) failure = r;
    if (r.status == 0 && launch.stopBeforeExec) break;
  }
  close(report[0]);
  if (pad.pid != helper) reapChild(helper, nullptr);
  if (failure.status != 0 || pad.pid <= 0) {
    status = failure.status != 0 ? failure.status : kNoNamespace;
    why = failure.status != 0 ? failure.why : "the program could not be started";
    if (pad.pid > 0) {
      reap(pad);
    } else {
      endNamespace(pad);
    }
    return false;
  }
  pad.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pad.pid, 0));  // -1 before Linux 5.3
  status = 0;
  return true;
}

void signalAll(const Pad &pad, int sig) {
  // The namespace's first process passes it on to every other one; where
  // there is none, the program alone gets it.
  if (pad.init > 0) {
    kill(pad.init, sig);
  } else if (pad.pid > 0) {
    kill(pad.pid, sig);
  }
}

int reap(Pad &pad) {
  int st = 0;
  if (!reapChild(pad.pid, &st)) st = W_EXITCODE(kNoNamespace, 0);
  pad.pid = -1;
  pad.lastReader = -1;
  if (pad.pidfd >= 0) close(pad.pidfd);
  pad.pidfd = -1;
  endNamespace(pad);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace vpad
