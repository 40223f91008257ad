// Registration of the crash signals' handler and the chain of callbacks, in forked children
// so that this program's own signal actions stay as they were.
#include "VUCrashSignalHandler.h"
#include "VUCrashSignalHandlerLists.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gEarlierHandlerRuns = 0;
volatile sig_atomic_t gCallbackRuns = 0;

void earlierHandler(int) {
  gEarlierHandlerRuns = gEarlierHandlerRuns + 1;
}

bool forwardingCallback(int signo, siginfo_t *info, ucontext_t *uap, void *,
                        VUCrashSignalHandlerCallback *next) {
  gCallbackRuns = gCallbackRuns + 1;
  return VUCrashSignalHandlerForward(next, signo, info, uap);
}

// Runs body in a child; the child's exit status is the number of the first failed check.
int inChild(int (*body)()) {
  pid_t pid = fork();
  if (pid == 0)
    _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(SignalHandler, CallbacksForwardToTheEarlierActionAndResetPutsItBack) {
  EXPECT_EQ(inChild([]() -> int {
              signal(SIGUSR1, earlierHandler);
              VUCrashReporterError error = {};
              if (!VUCrashSignalHandler::sharedHandler()->registerHandlerForSignal(
                      SIGUSR1, forwardingCallback, nullptr, &error))
                return 1;
              raise(SIGUSR1);
              if (gCallbackRuns != 1 || gEarlierHandlerRuns != 1)
                return 2;
              // Our handler must not stay installed over an emptied list: it would raise the
              // signal again on every delivery.
              VUCrashSignalHandler::resetHandlers();
              struct sigaction now;
              sigaction(SIGUSR1, nullptr, &now);
              if (now.sa_handler != earlierHandler)
                return 3;
              raise(SIGUSR1);
              if (gCallbackRuns != 1 || gEarlierHandlerRuns != 2)
                return 4;
              return 0;
            }),
            0);
}

TEST(SignalHandler, EarlierIgnoredCountsAsHandledAndDefaultDoesNot) {
  EXPECT_EQ(inChild([]() -> int {
              signal(SIGUSR2, SIG_IGN);
              signal(SIGWINCH, SIG_DFL);
              VUCrashReporterError error = {};
              auto *handler = VUCrashSignalHandler::sharedHandler();
              if (!handler->registerHandlerWithSignal(SIGUSR2, &error) ||
                  !handler->registerHandlerWithSignal(SIGWINCH, &error))
                return 1;
              siginfo_t info = {};
              if (!vucrash_signal_previous_action_callback(SIGUSR2, &info, nullptr, nullptr,
                                                           nullptr))
                return 2;
              if (vucrash_signal_previous_action_callback(SIGWINCH, &info, nullptr, nullptr,
                                                          nullptr))
                return 3;
              // Registering again keeps the first earlier action, not our own handler.
              if (!handler->registerHandlerWithSignal(SIGUSR2, &error))
                return 4;
              if (!vucrash_signal_previous_action_callback(SIGUSR2, &info, nullptr, nullptr,
                                                           nullptr))
                return 5;
              return 0;
            }),
            0);
}

TEST(SignalHandler, ThreadsStartedAfterRegistrationGetTheirOwnAlternateStack) {
  EXPECT_EQ(inChild([]() -> int {
              VUCrashReporterError error = {};
              if (!VUCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR2,
                                                                                   &error))
                return 1;
              stack_t mainStack;
              sigaltstack(nullptr, &mainStack);
              if (mainStack.ss_flags & SS_DISABLE)
                return 2;
              pthread_t thread;
              static stack_t seen;
              pthread_create(
                  &thread, nullptr,
                  [](void *) -> void * {
                    sigaltstack(nullptr, &seen);
                    return nullptr;
                  },
                  nullptr);
              pthread_join(thread, nullptr);
              if (seen.ss_flags & SS_DISABLE)
                return 3;
              if (seen.ss_sp == mainStack.ss_sp || seen.ss_size < 65536)
                return 4;
              return 0;
            }),
            0);
}

}  // namespace
