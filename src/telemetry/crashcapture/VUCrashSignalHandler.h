#pragma once
// The process-wide handler of the crash signals, and the callbacks registered with it.
//
// One handler (vucrash_signal_handler) is installed per registered signal, with SA_SIGINFO
// and SA_ONSTACK, on a 64 KiB alternate stack that every thread gets: the registering thread
// at registration, threads created later through our pthread_create wrapper (installed
// with the first registration). At signal time the handler walks the user callbacks without
// locks or allocation; each callback decides whether the chain goes on
// (VUCrashSignalHandlerForward). When no callback handled the signal it is raised again and
// ends the process with whatever action is then installed.
//
// Registration and reset run at ordinary times, serialised by one mutex. Not for crash time.

#include "VUCrashAsyncList.h"
#include "VUCrashReporterError.h"

#include <signal.h>

struct VUCrashSignalHandlerCallback;

// A callback: (signal, info, ucontext, its context, the next callback or nullptr) → handled.
typedef bool (*VUCrashSignalHandlerCallbackFunc)(int signo, siginfo_t *info, ucontext_t *uap,
                                                 void *context,
                                                 VUCrashSignalHandlerCallback *next);

struct VUCrashSignalHandlerCallback {
  VUCrashSignalHandlerCallbackFunc callback;
  void *context;
};

// Calls next (false when there is none).
bool VUCrashSignalHandlerForward(VUCrashSignalHandlerCallback *next, int signo, siginfo_t *info,
                                 ucontext_t *uap);

struct vucrash_signal_user_callback {
  VUCrashSignalHandlerCallbackFunc callback;
  void *context;
};

struct vucrash_signal_handler_action {
  int signo;
  struct sigaction action;
};

class VUCrashSignalHandler {
 public:
  // The one instance; false from init-time failures is reported by registration.
  static VUCrashSignalHandler *sharedHandler();

  // Installs the handler for signo once and puts (callback, context) at the head of the
  // callback list.
  bool registerHandlerForSignal(int signo, VUCrashSignalHandlerCallbackFunc callback,
                                void *context, VUCrashReporterError *error);
  bool registerHandlerWithSignal(int signo, VUCrashReporterError *error);
  // Puts back the actions that were installed before registration and empties both lists.
  static void resetHandlers();

  // The alternate signal stack size every thread gets.
  static constexpr size_t kAlternateStackSize = 65536;

 private:
  VUCrashSignalHandler() = default;
  stack_t _sigstk = {};
};

// Gives the calling thread its own alternate signal stack unless it has one; the stack is
// released when the thread ends. Called for every thread our pthread_create wrapper starts.
bool vucrash_thread_install_alternate_stack(void);
