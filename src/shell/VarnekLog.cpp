#include "VarnekLogger.h"

#include <QByteArray>
#include <cstdarg>
#include <cstdio>

void VarnekLog(const char *format, ...)
{
    VarnekLogger *logger = gMainLogger.load(std::memory_order_acquire);
    // Formatting costs more than the check: skip it while nothing would be written.
    if (!logger || !logger->logToFile())
        return;
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
    logger->log(QString::fromUtf8(buffer));
}

void VarnekLog(const QString &message)
{
    if (VarnekLogger *logger = gMainLogger.load(std::memory_order_acquire))
        logger->log(message);
}

void VarnekLogAFile(const QString &path)
{
    if (VarnekLogger *logger = gMainLogger.load(std::memory_order_acquire))
        logger->addFile(path);
}
