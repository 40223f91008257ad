// Registration of the crash signals' handler. Not for crash time: it allocates and locks.
#include "VUCrashSignalHandler.h"

#include "VUCrashSignalHandlerLists.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

// Defined here rather than beside the crash-time dispatch: destroying them at exit frees
// nodes, which crash-time code never does.
vucrash::VU::async::async_list<vucrash_signal_user_callback> vucrash_signal_callbacks;
vucrash::VU::async::async_list<vucrash_signal_handler_action> vucrash_signal_previous_actions;

// Turns on the alternate stack for threads started from now on (VUCrashThreadStacks.cpp).
void vucrash_thread_stacks_enable(void);

namespace {
pthread_mutex_t registerHandlers = PTHREAD_MUTEX_INITIALIZER;

struct MutexGuard {
  explicit MutexGuard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
  ~MutexGuard() { pthread_mutex_unlock(mutex); }
  pthread_mutex_t *mutex;
};
}  // namespace

VUCrashSignalHandler *VUCrashSignalHandler::sharedHandler() {
  static VUCrashSignalHandler handler;
  return &handler;
}

bool VUCrashSignalHandler::registerHandlerForSignal(int signo,
                                                    VUCrashSignalHandlerCallbackFunc callback,
                                                    void *context,
                                                    VUCrashReporterError *error) {
  if (!registerHandlerWithSignal(signo, error))
    return false;
  vucrash_signal_callbacks.nasync_prepend({callback, context});
  return true;
}

bool VUCrashSignalHandler::registerHandlerWithSignal(int signo, VUCrashReporterError *error) {
  MutexGuard guard(&registerHandlers);

  if (_sigstk.ss_sp == nullptr) {
    void *stack = malloc(kAlternateStackSize);
    if (stack == nullptr) {
      vucrash_populate_posix_error(error, ENOMEM, "Could not initialize alternative signal stack");
      return false;
    }
    _sigstk.ss_sp = stack;
    _sigstk.ss_size = kAlternateStackSize;
    _sigstk.ss_flags = 0;
  }
  // The registering thread uses ours unless it has one already; later threads get their own.
  stack_t current;
  if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0) {
    if (sigaltstack(&_sigstk, nullptr) != 0) {
      vucrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
      return false;
    }
  }
  vucrash_thread_stacks_enable();

  vucrash_signal_callbacks.nasync_append({vucrash_signal_previous_action_callback, nullptr});

  bool registered = false;
  vucrash_signal_previous_actions.set_reading(true);
  for (auto *node = vucrash_signal_previous_actions.next(nullptr); node != nullptr && !registered;
       node = vucrash_signal_previous_actions.next(node))
    registered = node->value_ptr()->signo == signo;
  vucrash_signal_previous_actions.set_reading(false);
  if (registered)
    return true;

  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_sigaction = vucrash_signal_handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(signo, &action, &previous) != 0) {
    vucrash_populate_posix_error(error, errno, "Failed to register signal handler");
    return false;
  }
  vucrash_signal_previous_actions.nasync_append({signo, previous});
  return true;
}

void VUCrashSignalHandler::resetHandlers() {
  MutexGuard guard(&registerHandlers);
  // Put back what was there before us first: an installed handler with an empty callback
  // list would raise its signal again on every delivery.
  vucrash_signal_previous_actions.set_reading(true);
  for (auto *node = vucrash_signal_previous_actions.next(nullptr); node != nullptr;
       node = vucrash_signal_previous_actions.next(node))
    sigaction(node->value_ptr()->signo, &node->value_ptr()->action, nullptr);
  vucrash_signal_previous_actions.set_reading(false);

  for (;;) {
    vucrash_signal_previous_actions.set_reading(true);
    auto *node = vucrash_signal_previous_actions.next(nullptr);
    vucrash_signal_previous_actions.set_reading(false);
    if (node == nullptr)
      break;
    vucrash_signal_previous_actions.nasync_remove_node(node);
  }
  for (;;) {
    vucrash_signal_callbacks.set_reading(true);
    auto *node = vucrash_signal_callbacks.next(nullptr);
    vucrash_signal_callbacks.set_reading(false);
    if (node == nullptr)
      break;
    vucrash_signal_callbacks.nasync_remove_node(node);
  }
}
