#include "media/VoiceConversion.h"

#include "archive/PieceFiles.h"
#include "device/AppController.h"
#include "media/AudioExport.h"
#include "media/ConvertToWav.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>
#include <QFile>

#include <chrono>
#include <mutex>

namespace VoiceConversion {

namespace {

// The work files go whichever way the conversion ends: they hold a person's voice.
struct RemoveOnExit
{
    const WorkFiles &files;
    ~RemoveOnExit()
    {
        for (const QString *path : {&files.source, &files.wav, &files.exported}) {
            if (!path->isEmpty())
                QFile::remove(*path);
        }
    }
};

bool writeWorkFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() || !file.flush()) {
        VarnekLog("Cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace

QString secondsStamp()
{
    return QString::asprintf("%f", double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
}

bool convert(const QByteArray &data, Source source, const WorkFiles &files, const QString &destination,
             const char *failureLog)
{
    if (data.isEmpty() || destination.isEmpty() || files.source.isEmpty() || files.exported.isEmpty()
        || (source == Source::Opus && files.wav.isEmpty()))
        return false;

    std::lock_guard exportLock(gExportLock);
    RemoveOnExit cleanup{files};
    if (!writeWorkFile(files.source, data))
        return false;

    QString audio = files.source;
    const char *formats = "amr";
    if (source == Source::Opus) {
        if (convertToWav(QFile::encodeName(files.source).constData(), QFile::encodeName(files.wav).constData()) != 0)
            return false;
        audio = files.wav;
        formats = "wav";
    }
    if (!AudioExport::canExport(audio, formats)) {
        VarnekLog("File not supported!");
        return false;
    }

    using Clock = std::chrono::steady_clock;
    auto lastWaitingLine = Clock::now();
    const auto keepGoing = [&lastWaitingLine] {
        if (Clock::now() - lastWaitingLine >= std::chrono::milliseconds(500)) {
            VarnekLog("waiting...");
            lastWaitingLine = Clock::now();
        }
        return !gBail.load();
    };
    QString error;
    switch (AudioExport::exportToMpeg4Audio(audio, formats, files.exported, keepGoing, &error)) {
    case AudioExport::Outcome::Cancelled:
        VarnekLog("Export canceled");
        return false;
    case AudioExport::Outcome::Failed:
        VarnekLog("%s: %s", failureLog, qUtf8Printable(error));
        return false;
    case AudioExport::Outcome::Completed:
        break;
    }
    VarnekLog("Successful!");
    if (!PieceFiles::moveIntoPlace(files.exported, destination, &error)) {
        VarnekLog("Cannot put the converted audio at %s: %s", qUtf8Printable(destination), qUtf8Printable(error));
        return false;
    }
    return true;
}

} // namespace VoiceConversion
