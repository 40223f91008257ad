#include "VarnekLogger.h"

#include <QByteArray>
#include <cstdarg>
#include <cstdio>

// Until the logger lands these calls only format, so callers can log from day one.
void VarnekLog(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    QByteArray buffer(size > 0 ? size : 0, Qt::Uninitialized);
    if (size > 0)
        std::vsnprintf(buffer.data(), size_t(size) + 1, format, args);
    va_end(args);
    VarnekLog(QString::fromUtf8(buffer));
}

void VarnekLog(const QString &) {}
void VarnekLogAFile(const QString &) {}
