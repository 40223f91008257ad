#pragma once
// The exception server: a thread of its own that receives every fault of the process before
// it ends the process, writes the report and answers. The fault handler of the crash signals
// turns a fault into the exception the kernel of the format's home system would have raised
// (type and codes), sends it with the thread, the signal's information and its machine
// context through a pipe to the server, waits on a futex for the answer, and then lets the
// signal end the process.
//
// Life: create (pipe and thread exist, receiving) → destroy (stop flag set, stop message
// sent, wait until the thread says it stopped, then everything freed). A server whose thread
// never started is freed without waiting. The reporter never destroys its server.
//
// The earlier handlers of the format's home system (exception ports) have no counterpart
// here: the saved set is always empty, and forwarding finds no target.

#include "VUCrashAsync.h"
#include "VUCrashReporterError.h"

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <ucontext.h>

typedef int32_t vucrash_kern_return_t;
inline constexpr vucrash_kern_return_t VUCRASH_KERN_SUCCESS = 0;
inline constexpr vucrash_kern_return_t VUCRASH_KERN_FAILURE = 5;

// Exception types (the format's numbering).
enum : uint64_t {
  VUCRASH_EXC_BAD_ACCESS = 1,
  VUCRASH_EXC_BAD_INSTRUCTION = 2,
  VUCRASH_EXC_ARITHMETIC = 3,
  VUCRASH_EXC_EMULATION = 4,
  VUCRASH_EXC_SOFTWARE = 5,
  VUCRASH_EXC_BREAKPOINT = 6,
  VUCRASH_EXC_SYSCALL = 7,
  VUCRASH_EXC_MACH_SYSCALL = 8,
  VUCRASH_EXC_RPC_ALERT = 9,
  VUCRASH_EXC_CRASH = 10,
  VUCRASH_EXC_GUARD = 12,
};
inline constexpr uint32_t VUCRASH_EXC_TYPES_COUNT = 14;

// The registrations that were in place before ours: always empty on this system.
struct vucrash_mach_exception_port_set {
  uint32_t count;
  uint32_t masks[VUCRASH_EXC_TYPES_COUNT];
  uint32_t ports[VUCRASH_EXC_TYPES_COUNT];
  int32_t behaviors[VUCRASH_EXC_TYPES_COUNT];
  int32_t flavors[VUCRASH_EXC_TYPES_COUNT];
};
inline constexpr uint32_t VUCRASH_MACH_PORT_NULL = 0;
inline constexpr uint32_t VUCRASH_MACH_PORT_DEAD = UINT32_MAX;

// The server's callback: (task, faulting thread, exception type, codes, count, the faulting
// thread's machine context, context) → the answer. Runs on the server thread.
typedef vucrash_kern_return_t (*VUCrashMachExceptionCallback)(
    vucrash_task_t task, vucrash_thread_t thread, uint64_t exception_type, const uint64_t *codes,
    uint32_t code_count, const siginfo_t *info, ucontext_t *uap, void *context);

// Crash-time helpers, async-signal-safe.
uint32_t exception_to_mask(uint64_t exception_type);
// The entry of the set that would take the exception (a live port whose mask covers it), or
// -1.
int vucrash_mach_exception_forward_target(const vucrash_mach_exception_port_set *set,
                                          uint64_t exception_type);
// Hands the exception to the handler registered before ours. No such handler can exist on
// this system: VUCRASH_KERN_FAILURE, with a log line if the set names one anyway.
vucrash_kern_return_t VUCrashMachExceptionForward(vucrash_task_t task, vucrash_thread_t thread,
                                                  uint64_t exception_type, const uint64_t *codes,
                                                  uint32_t code_count,
                                                  const vucrash_mach_exception_port_set *set);
// The signal an exception becomes, in the report numbering; false when it has none.
bool vucrash_async_mach_exception_get_siginfo(uint64_t exception_type, const uint64_t *codes,
                                              uint32_t code_count, uint64_t cpu_type,
                                              siginfo_t *info);
// The exception a fault signal stands for (this system's numbering in, two codes out).
bool vucrash_async_signal_to_mach_exception(int signo, const siginfo_t *info,
                                            uint64_t *exception_type, uint64_t codes[2]);

class VUCrashMachExceptionServer {
 public:
  // A running server, or nullptr with the error filled in.
  static VUCrashMachExceptionServer *create(VUCrashMachExceptionCallback callback, void *context,
                                            VUCrashReporterError *error);
  // Stops the thread (when it runs) and frees everything.
  static void destroy(VUCrashMachExceptionServer *server);

  vucrash_thread_t serverThread();

  // Crash time: sends a fault to the server and waits (bounded) for its answer. False when
  // the server cannot take it: the caller is the server thread itself, the pipe is gone, or
  // no answer came; the caller then handles the fault on its own.
  bool deliver(vucrash_thread_t thread, uint64_t exception_type, const uint64_t *codes,
               uint32_t code_count, const siginfo_t *info, ucontext_t *uap,
               vucrash_kern_return_t *answer);

  // The request descriptor, for tests that send malformed requests.
  int requestDescriptorForTesting() const;

 private:
  VUCrashMachExceptionServer() = default;
  static void *serverMain(void *self);
  void serve();

  VUCrashMachExceptionCallback _callback = nullptr;
  void *_context = nullptr;
  int _requestPipe[2] = {-1, -1};
  pthread_mutex_t _mutex;
  pthread_cond_t _condition;
  vucrash_thread_t _serverThread = 0;
  bool _threadStarted = false;
  uint32_t _stop = 0;
  bool _stopped = false;
};
