#include "interfaces/FileOpener.h"

#include "shell/VarnekLogger.h"

#include <QFileInfo>
#include <QMimeDatabase>

#include <atomic>

namespace {

class LoggingOpener : public FileOpener
{
public:
    void openFile(const QString &path) override { VarnekLog("open file %s (no desktop)", qUtf8Printable(path)); }
    void revealFiles(const QStringList &paths) override
    {
        VarnekLog("revealing: %s (no desktop)", qUtf8Printable(paths.join(QLatin1String(", "))));
    }
    void previewFiles(const QStringList &paths) override
    {
        VarnekLog("preview %s (no desktop)", qUtf8Printable(paths.join(QLatin1String(", "))));
    }
};

std::atomic<FileOpener *> gOpener{nullptr};

} // namespace

bool FileOpener::isViewable(const QString &path)
{
    const QFileInfo info(path);
    // A folder, a pipe or a device node is never handed to an application to open.
    if (!info.isFile())
        return false;
    // By name and content together: a script named "a.txt" is still text, an executable
    // named "a.jpg" is not an image.
    const QMimeDatabase database;
    // Whatever its name says, a program or a script by its bytes is never opened.
    const QMimeType content = database.mimeTypeForFile(path, QMimeDatabase::MatchContent);
    for (const char *runnable : {"application/x-executable", "application/x-sharedlib", "application/x-pie-executable",
                                 "application/x-shellscript", "application/x-desktop", "application/x-elf"}) {
        if (content.inherits(QLatin1String(runnable)))
            return false;
    }
    const QMimeType type = database.mimeTypeForFile(path, QMimeDatabase::MatchDefault);
    if (!type.isValid())
        return false;
    const QString name = type.name();
    if (name.startsWith(QLatin1String("image/")) || name.startsWith(QLatin1String("audio/"))
        || name.startsWith(QLatin1String("video/")) || name == QLatin1String("application/pdf"))
        return true;
    // Text, but not text the desktop would run (scripts, desktop entries).
    return type.inherits(QStringLiteral("text/plain")) && !type.inherits(QStringLiteral("application/x-executable"))
        && !type.inherits(QStringLiteral("application/x-shellscript"))
        && !type.inherits(QStringLiteral("application/x-desktop"));
}

void FileOpener::install(FileOpener *opener)
{
    gOpener.store(opener);
}

FileOpener *FileOpener::opener()
{
    static LoggingOpener logging;
    FileOpener *installed = gOpener.load();
    return installed ? installed : &logging;
}
