// Crash-time code: constant tables only.
#include "VUCrashAsyncSignalInfo.h"

#include <signal.h>

namespace {

struct SignalName {
  int signo;
  const char *name;
};

// Searched in order: the first match wins, so 6 is SIGABRT, never SIGIOT.
const SignalName signal_names[] = {
    {1, "SIGHUP"},     {2, "SIGINT"},    {3, "SIGQUIT"},   {4, "SIGILL"},   {5, "SIGTRAP"},
    {6, "SIGABRT"},    {6, "SIGIOT"},    {7, "SIGEMT"},    {8, "SIGFPE"},   {9, "SIGKILL"},
    {10, "SIGBUS"},    {11, "SIGSEGV"},  {12, "SIGSYS"},   {13, "SIGPIPE"}, {14, "SIGALRM"},
    {15, "SIGTERM"},   {16, "SIGURG"},   {17, "SIGSTOP"},  {18, "SIGTSTP"}, {19, "SIGCONT"},
    {20, "SIGCHLD"},   {21, "SIGTTIN"},  {22, "SIGTTOU"},  {23, "SIGIO"},   {24, "SIGXCPU"},
    {25, "SIGXFSZ"},   {26, "SIGVTALRM"}, {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGINFO"},
    {30, "SIGUSR1"},   {31, "SIGUSR2"},
};

struct SignalCode {
  int signo;
  int code;
  const char *name;
};

const SignalCode signal_codes[] = {
    {4, 0, "ILL_NOOP"},    {4, 1, "ILL_ILLOPC"},  {4, 2, "ILL_ILLTRP"},  {4, 3, "ILL_PRVOPC"},
    {4, 4, "ILL_ILLOPN"},  {4, 5, "ILL_ILLADR"},  {4, 6, "ILL_PRVREG"},  {4, 7, "ILL_COPROC"},
    {4, 8, "ILL_BADSTK"},  {8, 0, "FPE_NOOP"},    {8, 1, "FPE_FLTDIV"},  {8, 2, "FPE_FLTOVF"},
    {8, 3, "FPE_FLTUND"},  {8, 4, "FPE_FLTRES"},  {8, 5, "FPE_FLTINV"},  {8, 6, "FPE_FLTSUB"},
    {8, 7, "FPE_INTDIV"},  {8, 8, "FPE_INTOVF"},  {11, 0, "SEGV_NOOP"},  {11, 1, "SEGV_MAPERR"},
    {11, 2, "SEGV_ACCERR"}, {10, 0, "BUS_NOOP"},  {10, 1, "BUS_ADRALN"}, {10, 2, "BUS_ADRERR"},
    {10, 3, "BUS_OBJERR"}, {5, 1, "TRAP_BRKPT"},  {5, 2, "TRAP_TRACE"},  {6, 0, "#0"},
};

}  // namespace

int vucrash_async_signal_report_signo(int signo) {
  switch (signo) {
    case SIGHUP: return 1;
    case SIGINT: return 2;
    case SIGQUIT: return 3;
    case SIGILL: return 4;
    case SIGTRAP: return 5;
    case SIGABRT: return 6;
    case SIGFPE: return 8;
    case SIGKILL: return 9;
    case SIGBUS: return 10;
    case SIGSEGV: return 11;
    case SIGSYS: return 12;
    case SIGPIPE: return 13;
    case SIGALRM: return 14;
    case SIGTERM: return 15;
    case SIGURG: return 16;
    case SIGSTOP: return 17;
    case SIGTSTP: return 18;
    case SIGCONT: return 19;
    case SIGCHLD: return 20;
    case SIGTTIN: return 21;
    case SIGTTOU: return 22;
    case SIGIO: return 23;
    case SIGXCPU: return 24;
    case SIGXFSZ: return 25;
    case SIGVTALRM: return 26;
    case SIGPROF: return 27;
    case SIGWINCH: return 28;
    case SIGUSR1: return 30;
    case SIGUSR2: return 31;
    default: return 0;
  }
}

int vucrash_async_signal_report_code(int signo, int code) {
  if (code <= 0)
    return 0;  // SI_USER, SI_QUEUE, SI_TKILL, ...: sent, not caused by a fault
  switch (signo) {
    case SIGILL:
      switch (code) {
        case ILL_ILLOPC: return 1;
        case ILL_ILLTRP: return 2;
        case ILL_PRVOPC: return 3;
        case ILL_ILLOPN: return 4;
        case ILL_ILLADR: return 5;
        case ILL_PRVREG: return 6;
        case ILL_COPROC: return 7;
        case ILL_BADSTK: return 8;
      }
      break;
    case SIGFPE:
      switch (code) {
        case FPE_FLTDIV: return 1;
        case FPE_FLTOVF: return 2;
        case FPE_FLTUND: return 3;
        case FPE_FLTRES: return 4;
        case FPE_FLTINV: return 5;
        case FPE_FLTSUB: return 6;
        case FPE_INTDIV: return 7;
        case FPE_INTOVF: return 8;
      }
      break;
    case SIGTRAP:
      // int3 arrives as the kernel's own code, not TRAP_BRKPT.
      if (code == SI_KERNEL)
        return 1;
      break;
  }
  return code;
}

const char *vucrash_async_signal_signame(int signo) {
  for (const SignalName &entry : signal_names)
    if (entry.signo == signo)
      return entry.name;
  return nullptr;
}

const char *vucrash_async_signal_sigcode(int signo, int si_code) {
  for (const SignalCode &entry : signal_codes)
    if (entry.signo == signo && entry.code == si_code)
      return entry.name;
  return nullptr;
}
