// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashSignalHandlerLists.h"

#include <errno.h>
#include <signal.h>

using CallbackList = vucrash::VU::async::async_list<vucrash_signal_user_callback>;

namespace {

// Calls the callback after `after` (the first for nullptr), handing it the rest of the
// chain as its "next".
bool internal_callback_iterator(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                                VUCrashSignalHandlerCallback *) {
  CallbackList::node *after = static_cast<CallbackList::node *>(context);
  vucrash_signal_callbacks.set_reading(true);
  CallbackList::node *node = vucrash_signal_callbacks.next(after);
  if (node == nullptr) {
    vucrash_signal_callbacks.set_reading(false);
    return false;
  }
  VUCrashSignalHandlerCallback next = {internal_callback_iterator, node};
  const vucrash_signal_user_callback entry = node->value();
  const bool handled =
      entry.callback(signo, info, uap, entry.context, node->next() != nullptr ? &next : nullptr);
  vucrash_signal_callbacks.set_reading(false);
  return handled;
}

}  // namespace

bool VUCrashSignalHandlerForward(VUCrashSignalHandlerCallback *next, int signo, siginfo_t *info,
                                 ucontext_t *uap) {
  if (next == nullptr)
    return false;
  return next->callback(signo, info, uap, next->context, nullptr);
}

void vucrash_signal_handler(int signo, siginfo_t *info, void *uap) {
  const int savedErrno = errno;
  if (!internal_callback_iterator(signo, info, static_cast<ucontext_t *>(uap), nullptr, nullptr)) {
    // Delivered again once we return, with whatever action is installed by then.
    raise(signo);
  }
  errno = savedErrno;
}

bool vucrash_signal_previous_action_callback(int signo, siginfo_t *info, ucontext_t *uap,
                                             void *, VUCrashSignalHandlerCallback *next) {
  if (next != nullptr && VUCrashSignalHandlerForward(next, signo, info, uap))
    return true;

  bool found = false;
  struct sigaction action;
  vucrash_signal_previous_actions.set_reading(true);
  for (auto *node = vucrash_signal_previous_actions.next(nullptr); node != nullptr;
       node = vucrash_signal_previous_actions.next(node)) {
    if (node->value_ptr()->signo == signo) {
      action = node->value_ptr()->action;
      found = true;
      break;
    }
  }
  vucrash_signal_previous_actions.set_reading(false);
  if (!found)
    return false;

  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signo, info, uap);
    return true;
  }
  if (action.sa_handler == SIG_IGN)
    return true;
  if (action.sa_handler == SIG_DFL)
    return false;
  action.sa_handler(signo);
  return true;
}
