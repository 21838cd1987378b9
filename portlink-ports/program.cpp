// Running the program: its standard descriptors as the caller left them, the
// search of PATH, the child that does not outlive this process, and the
// signals held until it runs and passed on to it while it runs.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "portlink-ports.h"

namespace {

// Signals passed on to the program while it runs; before it runs, one of them
// ends this process, nothing started. Those the caller ignores stay ignored.
const int passed_on[] = {SIGINT, SIGTERM, SIGHUP};

// Runs `program`, whose name has no slash, from the first folder of PATH that
// has it, as a shell does (but never hands a file of an unknown kind to a
// shell). Returns why it could not: ENOENT when no folder has it, EACCES when
// one has it but it may not be run, else the reason of the first that failed.
int run_from_path(char *const program[]) {
  const char *name = program[0];
  const char *path = getenv("PATH");
  if (path == nullptr) {
    path = "/usr/local/bin:/usr/bin:/bin";
  }
  bool denied = false;
  for (const char *dir = path;; ++dir) {
    const char *end = strchr(dir, ':');
    const size_t length = end != nullptr ? static_cast<size_t>(end - dir) : strlen(dir);
    char full[PATH_MAX];
    if (length < sizeof full) {
      memcpy(full, dir, length);  // an empty entry is the current folder
      full[length] = '\0';
      if (join(full + length, sizeof full - length, length > 0 ? "/" : "", name)) {
        (void)execve(full, program, environ);
        if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
          return errno;
        }
        denied = denied || errno == EACCES;
      }
    }
    if (end == nullptr) {
      return denied ? EACCES : ENOENT;
    }
    dir = end;
  }
}

// Runs `program` (searched in PATH when its name has no slash) in this
// process. When it cannot, says why and ends with status 127 (not found) or
// 126 (found but not runnable).
[[noreturn]] void run(char *const program[]) {
  const char *name = program[0];
  int code = ENOENT;
  if (strchr(name, '/') != nullptr) {
    (void)execve(name, program, environ);
    code = errno;
  } else if (name[0] != '\0') {
    code = run_from_path(program);
  }
  if (code == ENOEXEC) {
    say(name, ": ", strerror(code),
        ": this kernel cannot run that kind of program (one built for another processor, ",
        "or a 32-bit one on a kernel without 32-bit support)");
  } else {
    say(name, ": ", strerror(code));
  }
  _exit(code == ENOENT || code == ENOTDIR ? 127 : 126);
}

}  // namespace

void hold_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    if (open("/dev/null", O_RDWR | O_CLOEXEC) < 0 && open("/", O_RDONLY | O_CLOEXEC) < 0) {
      exit(2);  // nothing to say it on
    }
  }
}

void hold_signals(sigset_t &watched, sigset_t &original, struct sigaction &child_action) {
  (void)sigemptyset(&watched);
  (void)sigaddset(&watched, SIGCHLD);
  for (const int signal : passed_on) {
    struct sigaction action = {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      (void)sigaddset(&watched, signal);
    }
  }
  (void)sigprocmask(SIG_BLOCK, &watched, &original);
  // SIGCHLD must be delivered (not ignored) for wait_for() to see the end.
  struct sigaction child_default = {};
  child_default.sa_handler = SIG_DFL;
  (void)sigaction(SIGCHLD, &child_default, &child_action);
}

namespace {

// The signal of `watched` that asks to end (not SIGCHLD) and is pending;
// 0 when none is.
int pending_end(const sigset_t &watched) {
  sigset_t pending;
  (void)sigpending(&pending);
  for (const int signal : passed_on) {
    if (sigismember(&watched, signal) == 1 && sigismember(&pending, signal) == 1) {
      return signal;
    }
  }
  return 0;
}

}  // namespace

bool asked_to_end(const sigset_t &watched) { return pending_end(watched) != 0; }

void end_if_signalled(const sigset_t &watched) {
  const int signal = pending_end(watched);
  if (signal == 0) {
    return;
  }
  sigset_t one;
  (void)sigemptyset(&one);
  (void)sigaddset(&one, signal);
  (void)sigprocmask(SIG_UNBLOCK, &one, nullptr);
  _exit(128 + signal);  // only when the signal did not end it
}

pid_t start_program(char *const program[], const sigset_t &original,
                    const struct sigaction &child_action) {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    fail_device(program[0], strerror(errno));
  }
  if (child == 0) {
    // The program does not outlive this process.
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(2);
    }
    (void)sigaction(SIGCHLD, &child_action, nullptr);
    (void)sigprocmask(SIG_SETMASK, &original, nullptr);
    run(program);
  }
  return child;
}

int wait_for(pid_t child, const sigset_t &watched, bool &signalled) {
  signalled = false;
  for (;;) {
    siginfo_t info = {};
    const int signal = sigwaitinfo(&watched, &info);
    if (signal == SIGCHLD) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      }
    } else if (signal > 0) {
      signalled = true;
      if (info.si_code != SI_KERNEL) {
        (void)kill(child, signal);
      }
    }
  }
}
