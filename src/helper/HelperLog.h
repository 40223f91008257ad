#pragma once
// The helper's log: one line per call on standard error, which the login session keeps
// (the journal). printf-style.

void helperLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
