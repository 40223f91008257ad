#pragma once
// Names of signals and signal codes as reports carry them, and the translation of this
// system's numbers into the numbering those names are kept in (the one report readers
// expect: SIGBUS is 10, FPE_INTDIV is 7, and so on).
//
// Constant tables and pure functions: safe at crash time.

// The report numbering of a signal of this system; 0 when it has no counterpart.
int vucrash_async_signal_report_signo(int signo);
// The report numbering of a signal code (si_code) of this system. Codes set by a sender
// rather than by a fault (kill, tgkill, sigqueue, abort) become 0; a breakpoint trap the
// kernel reports as its own becomes TRAP_BRKPT; codes without a counterpart stay as they are.
int vucrash_async_signal_report_code(int signo, int code);

// Names in the report numbering; nullptr for an unknown number or code.
const char *vucrash_async_signal_signame(int signo);
const char *vucrash_async_signal_sigcode(int signo, int si_code);
