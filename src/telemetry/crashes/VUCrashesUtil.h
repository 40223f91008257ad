#pragma once
// The crash service's folders, relative to the telemetry data folder: "crashes" (stored
// report files and the analyzer marker), "crasheslogbuffer" (the crash-safe log buffer) and
// "crasheswrapperexceptions". Each accessor makes its folder the first time it is asked
// in a process (again after resetDirectory). Thread-safe.

#include <QString>

class VUCrashesUtil
{
public:
    static QString crashesDir();
    static QString logBufferDir();
    static QString wrapperExceptionsDir();
    static void resetDirectory();
};
