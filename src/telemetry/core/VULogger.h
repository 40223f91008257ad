#pragma once
// The telemetry component's own levelled logger (it does not write to VarnekLog).
//
// A message is handed to the current handler together with its level, tag, source file,
// function and line; the text itself is built only when the handler asks for it, so
// filtered messages cost nothing. The default handler prints one line to standard error
// when the level is at or above the current level; level 99 never prints.
//
// Thread-safe: the level is atomic and the handler is swapped under a lock and called
// outside it, so a handler may be replaced while another thread is logging.

#include <QString>

#include <functional>
#include <optional>

enum VULogLevel : unsigned {
    VULogLevelVerbose = 2,
    VULogLevelDebug = 3,
    VULogLevelInfo = 4,
    VULogLevelWarning = 5,
    VULogLevelError = 6,
    VULogLevelAssert = 7,
    VULogLevelNone = 99,
};

using VULogMessageProvider = std::function<QString()>;
using VULogHandler = std::function<void(const VULogMessageProvider &message, unsigned level,
                                        const QString &tag, const char *file,
                                        const char *function, unsigned line)>;

class VULogger
{
public:
    static unsigned currentLogLevel();
    // Marks the level as chosen by the user.
    static void setCurrentLogLevel(unsigned level);
    // Marks the level as chosen by the user; an empty handler silences all output.
    static void setLogHandler(VULogHandler handler);
    static void logMessage(const VULogMessageProvider &message, unsigned level,
                           const QString &tag, const char *file, const char *function,
                           unsigned line);
    static bool isUserDefinedLogLevel();
    static void setIsUserDefinedLogLevel(bool userDefined);

    // The handler installed at start: prints lines made by formatLine.
    static VULogHandler defaultLogHandler();
    // "[tag] LEVEL: function/line message", or nothing when the level filters it out.
    static std::optional<QString> formatLine(const VULogMessageProvider &message, unsigned level,
                                             const QString &tag, const char *function,
                                             unsigned line);
    // "VERBOSE" ... "ASSERT"; "(null)" for values outside the table.
    static QString levelName(unsigned level);

    // Back to the start state (level 7, default handler, not user defined). For tests.
    static void resetToDefaults();
};

// The component's log tag.
inline QString VULogTag() { return QStringLiteral("VovUdezir"); }

#define VULOG_AT(lvl, tag, ...) \
    VULogger::logMessage([&]() -> QString { return QString::asprintf(__VA_ARGS__); }, (lvl), (tag), \
                         __FILE__, __func__, __LINE__)
#define VULogVerbose(tag, ...) VULOG_AT(VULogLevelVerbose, tag, __VA_ARGS__)
#define VULogDebug(tag, ...) VULOG_AT(VULogLevelDebug, tag, __VA_ARGS__)
#define VULogInfo(tag, ...) VULOG_AT(VULogLevelInfo, tag, __VA_ARGS__)
#define VULogWarning(tag, ...) VULOG_AT(VULogLevelWarning, tag, __VA_ARGS__)
#define VULogError(tag, ...) VULOG_AT(VULogLevelError, tag, __VA_ARGS__)
