#include "messages/FRSMSInfo.h"

#include "media/VoiceConversion.h"
#include "shell/Defaults.h"

#include <QFileInfo>

namespace {

// "<destination's base name>_temp.<extension>" in the temporary folder.
QString workFile(const QString &temp, const QString &destination, const char *extension)
{
    return temp + QFileInfo(destination).completeBaseName() + QStringLiteral("_temp.") + QLatin1String(extension);
}

// "<seconds>_<destination's file name>.m4a" in the temporary folder.
QString exportFile(const QString &temp, const QString &destination)
{
    return temp + VoiceConversion::secondsStamp() + QLatin1Char('_') + QFileInfo(destination).fileName()
        + QStringLiteral(".m4a");
}

} // namespace

bool FRSMSInfo::convertOpusToMP4(const QByteArray &data, const QString &destination)
{
    if (data.isNull() || destination.isEmpty())
        return false;
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return false;
    const VoiceConversion::WorkFiles files{workFile(temp, destination, "opus"), workFile(temp, destination, "wav"),
                                           exportFile(temp, destination)};
    return VoiceConversion::convert(data, VoiceConversion::Source::Opus, files, destination);
}

bool FRSMSInfo::convertMovieToMP4(const QByteArray &data, const QString &destination)
{
    if (data.isNull() || destination.isEmpty())
        return false;
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return false;
    // Exported beside the work file and then moved, so a failed export never touches the
    // destination.
    const VoiceConversion::WorkFiles files{workFile(temp, destination, "amr"), {}, exportFile(temp, destination)};
    return VoiceConversion::convert(data, VoiceConversion::Source::Amr, files, destination);
}
