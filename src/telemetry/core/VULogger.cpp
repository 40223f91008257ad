#include "telemetry/core/VULogger.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::atomic<unsigned> gLogLevel{VULogLevelAssert};
std::atomic<bool> gUserDefined{false};

std::mutex &handlerLock()
{
    static std::mutex lock;
    return lock;
}

// Replaced as a whole; readers copy the pointer under the lock and call it outside, so a
// swap never frees a handler that is still running.
std::shared_ptr<const VULogHandler> &handlerSlot()
{
    static std::shared_ptr<const VULogHandler> slot =
        std::make_shared<const VULogHandler>(VULogger::defaultLogHandler());
    return slot;
}

} // namespace

unsigned VULogger::currentLogLevel()
{
    return gLogLevel.load();
}

void VULogger::setCurrentLogLevel(unsigned level)
{
    gUserDefined = true;
    gLogLevel = level;
}

void VULogger::setLogHandler(VULogHandler handler)
{
    auto replacement = handler ? std::make_shared<const VULogHandler>(std::move(handler))
                               : std::shared_ptr<const VULogHandler>();
    std::lock_guard guard(handlerLock());
    gUserDefined = true;
    handlerSlot() = std::move(replacement);
}

void VULogger::logMessage(const VULogMessageProvider &message, unsigned level, const QString &tag,
                          const char *file, const char *function, unsigned line)
{
    std::shared_ptr<const VULogHandler> handler;
    {
        std::lock_guard guard(handlerLock());
        handler = handlerSlot();
    }
    if (handler && *handler)
        (*handler)(message, level, tag, file, function, line);
}

bool VULogger::isUserDefinedLogLevel()
{
    return gUserDefined.load();
}

void VULogger::setIsUserDefinedLogLevel(bool userDefined)
{
    gUserDefined = userDefined;
}

QString VULogger::levelName(unsigned level)
{
    switch (level) {
    case VULogLevelVerbose: return QStringLiteral("VERBOSE");
    case VULogLevelDebug: return QStringLiteral("DEBUG");
    case VULogLevelInfo: return QStringLiteral("INFO");
    case VULogLevelWarning: return QStringLiteral("WARNING");
    case VULogLevelError: return QStringLiteral("ERROR");
    case VULogLevelAssert: return QStringLiteral("ASSERT");
    default: return QStringLiteral("(null)");
    }
}

std::optional<QString> VULogger::formatLine(const VULogMessageProvider &message, unsigned level,
                                            const QString &tag, const char *function,
                                            unsigned line)
{
    if (!message || level == VULogLevelNone || level < currentLogLevel())
        return std::nullopt;
    return QStringLiteral("[%1] %2: %3/%4 %5")
        .arg(tag, levelName(level), QString::fromUtf8(function ? function : ""))
        .arg(line)
        .arg(message());
}

VULogHandler VULogger::defaultLogHandler()
{
    return [](const VULogMessageProvider &message, unsigned level, const QString &tag,
              const char *, const char *function, unsigned line) {
        if (auto text = formatLine(message, level, tag, function, line))
            std::fprintf(stderr, "%s\n", text->toUtf8().constData());
    };
}

void VULogger::resetToDefaults()
{
    {
        std::lock_guard guard(handlerLock());
        handlerSlot() = std::make_shared<const VULogHandler>(defaultLogHandler());
    }
    gLogLevel = VULogLevelAssert;
    gUserDefined = false;
}
