// Thread-sanitizer builds of the test programs only: children are started by a plain fork.
//
// QProcess starts a child with a clone that shares the parent's memory until the child runs
// its program. The sanitizer's own handling of clone treats the child as a forked copy of a
// multi-threaded process and marks that in the memory both share: the test process itself
// then stops checking its main thread (and the orderings it makes), and dies at the next
// thread it starts. Such a clone is turned into a fork here, which the sanitizer follows
// correctly; every other clone goes on to the sanitizer as before. Compiled into each test
// program (a definition in the program wins over the sanitizer's and is what Qt calls).
#if defined(__SANITIZE_THREAD__)

#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace {

using CloneFn = int (*)(int (*)(void *), void *, int, void *, ...);

#ifndef CLONE_PIDFD
constexpr int CLONE_PIDFD = 0x1000;
#endif

} // namespace

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    pid_t *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    pid_t *childTid = va_arg(rest, pid_t *);
    va_end(rest);

    const int vforkLike = CLONE_VM | CLONE_VFORK;
    const int handled = vforkLike | CLONE_PIDFD | CSIGNAL;
    if ((flags & vforkLike) != vforkLike || (flags & ~handled) != 0 || (flags & CSIGNAL) != SIGCHLD) {
        static const auto next = reinterpret_cast<CloneFn>(dlsym(RTLD_NEXT, "clone"));
        return next(fn, stack, flags, arg, parentTid, tls, childTid);
    }
    const pid_t pid = fork();
    if (pid == 0)
        _exit(fn(arg));
    if (pid < 0)
        return -1;
    if (flags & CLONE_PIDFD) {
        const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) {
            const int error = errno;
            kill(pid, SIGKILL);
            errno = error;
            return -1;
        }
        *parentTid = pidfd;
    }
    return pid;
}

#endif
