#pragma once
// Quillon's diagnostic log: one file per run in the log folder, written only while the
// DEBUG_LOG preference is on. Every subsystem logs through VarnekLog; the calls are cheap
// no-ops until the process-wide logger exists and while file logging is off.
//
// Ownership: gMainLogger is made once at start-up (FRWindow's class load) and never freed,
// so a thread that read the pointer may keep using it.
// Threads: every operation may be called from any thread. mLogLock serialises lines and file
// switches; the on/off flag is an atomic so a reader never sees a torn value.

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>

class QFile;

class VarnekLogger
{
public:
    // Tests replace the clock to get known file names and time stamps.
    using Clock = std::function<QDateTime()>;

    // Makes the process-wide logger, stores it in gMainLogger and returns it. A logger made
    // earlier stays alive (threads may still hold it) but no longer receives lines.
    static VarnekLogger *createDefaultLoggerToFile(bool toFile, bool toStdOut);
    // The running program's executable file name.
    static QString getAppName();

    // `logFolder` empty means the user's log folder plus the executable name.
    VarnekLogger(bool toFile, bool toStdOut, const QString &logFolder = {}, Clock clock = {});
    ~VarnekLogger();
    VarnekLogger(const VarnekLogger &) = delete;
    VarnekLogger &operator=(const VarnekLogger &) = delete;

    void log(const QString &message);
    // Copies a diagnostic file into the log folder, only while file logging is on.
    void addFile(const QString &path);
    // The settings' debug switch: every switch-on starts a new file.
    void setLogToFile(bool on);
    bool logToFile() const { return mLogToFile.load(); }
    void flush();

    QString logFileLocation() const { return mLogFileLocation; }
    QString logFilePath() const;

private:
    void createLogFile();           // mLogLock held
    void markLog();                 // mLogLock held
    void flushLocked();             // mLogLock held
    QDateTime now() const;

    std::atomic<bool> mLogToFile{false};
    bool mLogToStdOut = false; // kept for the creation call's signature; nothing turns it on
    QString mAppName;
    QString mLogFileLocation;
    QString mLogFilePath;
    QFile *mFileHandle = nullptr;
    mutable std::mutex mLogLock;
    Clock mClock;
};

extern std::atomic<VarnekLogger *> gMainLogger;

// printf-style; pass QStrings through qUtf8Printable.
void VarnekLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
void VarnekLog(const QString &message);
// Copies a diagnostic file into the log folder (only while file logging is on).
void VarnekLogAFile(const QString &path);

// "<base> <time>.log" in `folder`, never an existing file's name: a second file within the
// same second gets " 2", " 3", ... before the extension. Used for every file the log folder
// receives, so nothing written there replaces an earlier file.
QString uniqueLogFileName(const QString &folder, const QString &base, const QDateTime &time);
