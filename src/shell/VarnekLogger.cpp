#include "VarnekLogger.h"

#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

std::atomic<VarnekLogger *> gMainLogger{nullptr};

namespace {

QString fileTimeText(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd 'at' HH.mm.ss"));
}

// The C library's own representation of the locale's date and time ("%x %X").
QString localeDateTimeText(const QDateTime &time)
{
    const std::time_t seconds = static_cast<std::time_t>(time.toSecsSinceEpoch());
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char buffer[128];
    const size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &parts);
    return QString::fromLocal8Bit(buffer, qsizetype(n));
}

void systemLog(const QString &text)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(text));
}

} // namespace

QString uniqueLogFileName(const QString &folder, const QString &base, const QDateTime &time)
{
    const QString stem = folder + QLatin1Char('/') + base + QLatin1Char(' ') + fileTimeText(time);
    QString candidate = stem + QStringLiteral(".log");
    for (int n = 2; QFileInfo::exists(candidate) && n < 10000; ++n)
        candidate = stem + QStringLiteral(" %1.log").arg(n);
    return candidate;
}

VarnekLogger *VarnekLogger::createDefaultLoggerToFile(bool toFile, bool toStdOut)
{
    auto *logger = new VarnekLogger(toFile, toStdOut);
    // Never freed: worker threads may hold the previous pointer for the rest of the run.
    VarnekLogger *previous = gMainLogger.exchange(logger, std::memory_order_acq_rel);
    if (previous)
        previous->setLogToFile(false);
    return logger;
}

QString VarnekLogger::getAppName()
{
    QString path;
    if (QCoreApplication::instance())
        path = QCoreApplication::applicationFilePath();
    if (path.isEmpty())
        path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? QStringLiteral("Quillon") : name;
}

VarnekLogger::VarnekLogger(bool toFile, bool toStdOut, const QString &logFolder, Clock clock)
    : mLogToStdOut(false)
    , mAppName(getAppName())
    , mClock(std::move(clock))
{
    Q_UNUSED(toStdOut);
    mLogFileLocation = logFolder.isEmpty() ? Paths::logsRoot() + QLatin1Char('/') + mAppName
                                           : logFolder;
    mLogToFile.store(toFile);
    if (toFile) {
        std::lock_guard lock(mLogLock);
        createLogFile();
    }
}

VarnekLogger::~VarnekLogger()
{
    std::lock_guard lock(mLogLock);
    delete mFileHandle;
}

QDateTime VarnekLogger::now() const
{
    return mClock ? mClock() : QDateTime::currentDateTime();
}

QString VarnekLogger::logFilePath() const
{
    std::lock_guard lock(mLogLock);
    return mLogFilePath;
}

void VarnekLogger::createLogFile()
{
    delete mFileHandle;
    mFileHandle = nullptr;
    mLogFilePath.clear();

    QDir().mkpath(mLogFileLocation);
    if (!QFileInfo(mLogFileLocation).isDir()) {
        systemLog(QStringLiteral("%1: Couldn't create log file folder at %2").arg(mAppName, mLogFileLocation));
        return;
    }

    // Created exclusively: a second file within the same second gets its own name instead
    // of truncating the first.
    auto file = std::make_unique<QFile>();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = uniqueLogFileName(mLogFileLocation, mAppName, now());
        file->setFileName(path);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            mLogFilePath = path;
            break;
        }
        if (QFileInfo::exists(path))
            continue; // another logger took the name between the check and the open
        systemLog(QStringLiteral("%1: Couldn't open log file for writing at %2").arg(mAppName, path));
        return;
    }
    if (mLogFilePath.isEmpty()) {
        systemLog(QStringLiteral("%1: Couldn't create log file at %2").arg(mAppName, mLogFileLocation));
        return;
    }
    mFileHandle = file.release();
    markLog();
}

void VarnekLogger::markLog()
{
    if (!mLogToFile.load() || !mFileHandle)
        return;
    const QString mark = QStringLiteral("===== %1 =====\n").arg(localeDateTimeText(now()));
    mFileHandle->write(mark.toUtf8());
    flushLocked();
}

void VarnekLogger::log(const QString &message)
{
    if (!mLogToFile.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(mLogLock);
    if (!mLogToFile.load() || !mFileHandle)
        return;
    QString line = now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")) + message;
    if (!line.endsWith(QLatin1Char('\n')))
        line += QLatin1Char('\n');
    mFileHandle->write(line.toUtf8());
    // QFile buffers; lines must reach the file at once so a crash loses nothing.
    mFileHandle->flush();
}

void VarnekLogger::addFile(const QString &path)
{
    // Diagnostic files may hold personal data: they are kept only while the user asked for
    // a log.
    if (!mLogToFile.load())
        return;
    const QFileInfo source(path);
    if (!source.isFile())
        return;
    QDir().mkpath(mLogFileLocation);
    const QString target = uniqueLogFileName(mLogFileLocation, source.completeBaseName(), now());
    QFile::copy(path, target); // never replaces an existing file; errors are not reported
}

void VarnekLogger::setLogToFile(bool on)
{
    std::lock_guard lock(mLogLock);
    if (on && !mLogToFile.load()) {
        mLogToFile.store(true);
        createLogFile();
        return;
    }
    flushLocked();
    mLogToFile.store(on);
}

void VarnekLogger::flush()
{
    std::lock_guard lock(mLogLock);
    flushLocked();
}

void VarnekLogger::flushLocked()
{
    if (!mFileHandle)
        return;
    mFileHandle->flush();
    ::fsync(mFileHandle->handle());
}
