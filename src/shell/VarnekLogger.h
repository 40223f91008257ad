#pragma once
// Quillon's diagnostic log: one file per run in the log folder, written only while the
// DEBUG_LOG preference is on. Every subsystem logs through VarnekLog; the calls are cheap
// no-ops until the process-wide logger exists and while file logging is off.
//
// Callable from any thread.

#include <QString>

// printf-style; pass QStrings through qUtf8Printable.
void VarnekLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void VarnekLog(const QString &message);
// Copies a diagnostic file into the log folder (only while file logging is on).
void VarnekLogAFile(const QString &path);
