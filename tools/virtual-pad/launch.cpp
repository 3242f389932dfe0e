// SPDX-License-Identifier: MIT
#include "launch.h"

#include "errors.h"
#include "pad.h"
#include "signals.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

// Every process of a start dies with the caller (the parent-death
// signal), and checks once that the caller is still there: had it died
// before the signal was set, nothing would come. The lifeline is a pipe
// whose write end only the caller holds; it hangs up when the caller is
// gone. (A process of a new PID namespace sees no parent pid to compare.)
void dieWithCaller(int lifeline) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  pollfd gone{lifeline, POLLIN, 0};
  if (poll(&gone, 1, 0) != 0) _exit(kNoNamespace);
}

// ---- the first process of the program's PID namespace ------------------

// To every process of the namespace but this one; a stopped one is
// woken to take the signal.
void passOn(int sig) {
  kill(-1, sig);
  if (sig != SIGCONT) kill(-1, SIGCONT);
}
void wake(int /*sig*/) {}

// Reaps what is orphaned in the namespace, and passes the signals that the
// caller sends it on to every process there. Once its handlers are in
// place it closes everything, the report pipe with the rest: it holds
// nothing open, so that unplugging the pad, for one, is felt at once.
int nsInit(void *lifeline) {
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  act.sa_handler = passOn;
  for (const int sig : kInterruptingSignals) sigaction(sig, &act, nullptr);
  sigaction(SIGCONT, &act, nullptr);
  act.sa_handler = wake;  // so that pause() returns when a child ends
  sigaction(SIGCHLD, &act, nullptr);
  dieWithCaller(*static_cast<int *>(lifeline));  // and the namespace with it
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
  int lifeline;
};

// Runs in the program's own process, in the namespace; never returns.
// (Made by clone(), so it uses no C library call that trusts a thread's
// cached identity, such as raise().)
int execProgram(void *arg) {
  const auto *what = static_cast<const ProgramStart *>(arg);
  const Launch &launch = *what->launch;
  dieWithCaller(what->lifeline);  // nothing started here outlives the one who started it
  std::string why;
  if (!mountOwnProc(why) || !seal(launch.port, why)) fail(what->report, kNoNamespace, why);
  restoreSignalMask();
  const int streams[] = {launch.stdio.in, launch.stdio.out, launch.stdio.err};
  for (int target = 0; target < 3; ++target) {
    if (streams[target] == kClosed) close(target);
    if (streams[target] >= 0 && streams[target] != target) dup2(streams[target], target);
  }
  if (launch.stopBeforeExec) kill(getpid(), SIGSTOP);
  execvp(launch.argv[0], launch.argv);
  fail(what->report, errno == ENOENT ? kNotFound : kNotRunnable, errnoText(launch.argv[0]));
}

// A stack for the clones, as large as a program's own: before the exec,
// the program runs the C library's execvp, which for a script without
// "#!" copies every argument onto it. Each clone gets its own copy.
char *cloneStackTop() {
  rlimit limit{};
  std::size_t size = 8U << 20U;
  if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > size) {
    size = limit.rlim_cur;
  }
  void *stack = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  return stack == MAP_FAILED ? nullptr : static_cast<char *>(stack) + size;
}

// The process the caller forks: it makes the namespaces, starts their
// first process and the program, says which they are, and ends. Code run
// in place of a program runs here, in the mount namespace; it starts
// nothing and needs no PID namespace.
[[noreturn]] void setUp(const Pad &pad, const Launch &launch, int report, int lifeline, pid_t caller) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != caller) _exit(kNoNamespace);
  std::string why;
  if (!isolate(pad, launch.port, why)) fail(report, kNoNamespace, why);
  if (launch.body) {
    // The caller's own code, not a program to contain: no seal, which a
    // threaded process (qemu-user's, for one) could not make anyway.
    if (!keepOutOfDeniedPort(launch.port, why)) fail(report, kNoNamespace, why);
    restoreSignalMask();
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
  char *const stackTop = cloneStackTop();
  if (stackTop == nullptr) fail(report, kNoNamespace, errnoText("cannot make a stack"));
  const pid_t init = clone(nsInit, stackTop, CLONE_PARENT | SIGCHLD, &lifeline);
  if (init < 0) fail(report, kNoNamespace, errnoText("cannot start a PID namespace"));
  ProgramStart what{&launch, report, lifeline};
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

// Reads one record whole, whatever signals come meanwhile; false at the
// end of the pipe.
bool readRecord(int from, Record &r) {
  ssize_t n = 0;
  do {
    n = read(from, &r, sizeof r);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof r);
}

}  // namespace

bool start(Pad &pad, const Launch &launch, std::string &why, int &status) {
  status = kNoNamespace;
  int report[2];
  int lifeline[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    why = errnoText("cannot make a pipe");
    return false;
  }
  if (pipe2(lifeline, O_CLOEXEC) != 0) {
    why = errnoText("cannot make a pipe");
    close(report[0]);
    close(report[1]);
    return false;
  }
  const pid_t caller = getpid();
  const pid_t helper = fork();
  if (helper < 0) {
    why = errnoText("cannot start a process");
    for (const int f : {report[0], report[1], lifeline[0], lifeline[1]}) close(f);
    return false;
  }
  if (helper == 0) {
    close(report[0]);
    close(lifeline[1]);
    setUp(pad, launch, report[1], lifeline[0], caller);
  }
  close(report[1]);
  close(lifeline[0]);
  // Read until every process of the start has closed the pipe; a program
  // that stops before its exec has said all it will once it is there.
  Record failure;
  for (Record r; readRecord(report[0], r);) {
    if (r.program > 0) pad.pid = r.program;
    if (r.init > 0) pad.init = r.init;
    if (r.status != 0) failure = r;
    if (r.status == 0 && launch.stopBeforeExec) break;
  }
  close(report[0]);
  pad.lifeline = lifeline[1];  // until the program is reaped
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
  // The program's processes, as its own /proc lists them; where it has
  // none (code run in place of a program), the program alone is looked at.
  const std::string ownProc = "/proc/" + std::to_string(pad.pid) + "/root/proc";
  const int procDir = launch.body ? -1 : open(ownProc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  proc::beginSearch(pad.readers, procDir, pad.slavePath.c_str());
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
  if (pad.lifeline >= 0) close(pad.lifeline);
  pad.lifeline = -1;
  proc::endSearch(pad.readers);
  if (pad.pidfd >= 0) close(pad.pidfd);
  pad.pidfd = -1;
  endNamespace(pad);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace vpad
