#pragma once
// The signal handler's two lists, shared by registration and the crash-time dispatch.
// Zero-initialised statics: valid before any constructor has run.

#include "VUCrashAsyncList.h"
#include "VUCrashSignalHandler.h"

extern vucrash::VU::async::async_list<vucrash_signal_user_callback> vucrash_signal_callbacks;
extern vucrash::VU::async::async_list<vucrash_signal_handler_action>
    vucrash_signal_previous_actions;

// The installed handler and the callback that hands a signal to the action installed before
// ours. Crash-time code.
void vucrash_signal_handler(int signo, siginfo_t *info, void *uap);
bool vucrash_signal_previous_action_callback(int signo, siginfo_t *info, ucontext_t *uap,
                                             void *context, VUCrashSignalHandlerCallback *next);
