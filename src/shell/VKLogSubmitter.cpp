#include "VKLogSubmitter.h"

#include "VarnekLogger.h"
#include "net/HttpSession.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>

namespace {

constexpr int kZipTimeoutMs = 60000;

// A line break in a field would let it start a form part of its own.
QByteArray fieldValue(const QString &text)
{
    QString value = text;
    value.replace(QLatin1Char('\r'), QLatin1Char(' '));
    value.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return value.toUtf8();
}

QString baseURL()
{
    QString base = UserDefaults::standard().stringForKey(QStringLiteral("VULogUrl")).trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

} // namespace

QString VKLogSubmitter::logFolder()
{
    return Paths::logsRoot() + QStringLiteral("/Quillon");
}

QString VKLogSubmitter::reportURL()
{
    const QString base = baseURL();
    return base.isEmpty() ? QString() : base + QStringLiteral("/cgi-bin/report");
}

QString VKLogSubmitter::contactURL()
{
    const QString base = baseURL();
    return base.isEmpty() ? QString()
                          : base + QStringLiteral("/contact/?type=Customer%20Support&software=Quillon#theform");
}

bool VKLogSubmitter::validDebugEntry(const QString &name, const QString &email)
{
    static const QRegularExpression address(
        QRegularExpression::anchoredPattern(QStringLiteral("^.+@([A-Za-z0-9-]+\\.)+[A-Za-z]{2}[A-Za-z]*$")));
    return !name.isEmpty() && !email.isEmpty() && address.match(email).hasMatch();
}

QList<VKLogSubmitter::LogFile> VKLogSubmitter::getSortedFilesFromFolder(const QString &folder)
{
    QList<LogFile> files;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QStringLiteral("*.log")}, QDir::Files | QDir::NoSymLinks | QDir::Hidden);
    for (const QFileInfo &info : entries) {
        if (info.fileName() == QLatin1String(".DS_Store") || !info.fileName().endsWith(QLatin1String(".log")))
            continue;
        files.append({info.fileName(), info.lastModified()});
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const LogFile &a, const LogFile &b) { return a.lastModDate > b.lastModDate; });
    return files;
}

QByteArray VKLogSubmitter::requestBody(const QString &name, const QString &email, const QByteArray &archive)
{
    const QByteArray boundaryLine = "--" + kBoundary + "\r\n";
    QByteArray body;
    const QPair<const char *, QByteArray> fields[] = {
        {"name", fieldValue(name)}, {"email", fieldValue(email)}, {"app", QByteArrayLiteral("quillon")}};
    bool first = true;
    for (const auto &[field, value] : fields) {
        if (!first)
            body += "\r\n";
        first = false;
        body += boundaryLine;
        body += "Content-Disposition: form-data; name=\"" + QByteArray(field) + "\"\r\n";
        body += "Content-Type: text/plain\r\n";
        body += "\r\n";
        body += value;
    }
    body += "\r\n" + boundaryLine;
    body += "Content-Disposition: form-data; name=\"logs\"; filename=\"logs.zip\"\r\n";
    body += "Content-Length: " + QByteArray::number(archive.size()) + "\r\n";
    body += "Content-Type: application/zip\r\n";
    body += "\r\n";
    body += archive;
    body += "\r\n--" + kBoundary + "--\r\n";
    return body;
}

VKLogSubmitter::VKLogSubmitter()
    : mLogFolder(logFolder())
{
}

bool VKLogSubmitter::zipTheLogs(const QString &archivePath) const
{
    if (!QFileInfo(mLogFolder).isDir())
        return false;
    const QList<LogFile> files = getSortedFilesFromFolder(mLogFolder);
    int added = 0;
    for (const LogFile &file : files) {
        if (added++ == kMaxLogFiles)
            break;
        QProcess zip;
        zip.setWorkingDirectory(mLogFolder);
        zip.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        zip.setStandardInputFile(QProcess::nullDevice());
        // A name that begins with "-" would read as an option.
        const QString name = file.path.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + file.path : file.path;
        zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), archivePath, name});
        const bool ran = zip.waitForFinished(kZipTimeoutMs);
        if (!ran || zip.exitStatus() != QProcess::NormalExit || zip.exitCode() != 0) {
            if (zip.state() != QProcess::NotRunning) {
                zip.kill();
                zip.waitForFinished();
            }
            VarnekLog("Zip failed.");
        }
    }
    return QFileInfo(archivePath).isFile();
}

bool VKLogSubmitter::submitLogsAt(const QString &archivePath, const QString &name, const QString &email) const
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray archive = file.readAll();
    const QString url = reportURL();
    if (url.isEmpty()) {
        VarnekLog("Error %s sending logs: %s", "no report address", "(\"VULogUrl\" is not set)");
        return false;
    }
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.timeoutMs = mTimeoutMs;
    request.connectTimeoutMs = mTimeoutMs;
    request.headers = {{"User-Agent", "VKLogSubmitter/Mac"},
                       {"Accept-Encoding", "gzip"},
                       {"Content-type", "multipart/form-data; boundary=" + kBoundary}};
    request.body = requestBody(name, email, archive);
    const HttpResult result = HttpSession::perform(request);
    const QString text = QString::fromUtf8(result.body);
    if (result.error == HttpError::None && text.startsWith(QLatin1String("Success")))
        return true;
    VarnekLog("Error %s sending logs: %s",
              qUtf8Printable(result.error == HttpError::None ? QStringLiteral("HTTP %1").arg(result.status)
                                                             : result.errorText),
              qUtf8Printable(text.left(512)));
    return false;
}

bool VKLogSubmitter::sendLogs(const QString &name, const QString &email) const
{
    // A folder of our own, new for every send: nobody can read the logs in it or put an
    // archive there for zip to add to.
    QTemporaryDir folder(Paths::temporaryRoot() + QStringLiteral("/Quillon-logs-XXXXXX"));
    if (!folder.isValid()) {
        VarnekLog("Error %s sending logs: %s", "no archive folder", qUtf8Printable(folder.errorString()));
        return false;
    }
    mLastArchiveFolder = folder.path();
    const QString archive = folder.filePath(QStringLiteral("Quillon_%1.zip")
                                                .arg(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0, 0, 'f', 6));
    if (!zipTheLogs(archive))
        return false;
    return submitLogsAt(archive, name, email);
}
