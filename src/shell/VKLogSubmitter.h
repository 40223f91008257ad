#pragma once
// Sends Quillon's recent log files to support: the newest ".log" files of the log folder
// (at most 30) zipped with Debian's zip, posted with the user's name and e-mail address as
// a multipart form to the report endpoint ("/cgi-bin/report" under the base URL in the
// "VULogUrl" default; no default, no send). The window's sheet (window/VKLogSubmitterSheet)
// asks for the name and address and tells the outcome.
//
// The archive is made in a fresh folder only this user can read and removed, folder and all,
// after every send, whatever its outcome. Line breaks in the fields become spaces, so no
// field can start a part of its own in the form.
//
// Threads: sendLogs() blocks (zip, then the post) and runs on a worker; the rest is pure and
// callable from any thread.

#include <QDateTime>
#include <QList>
#include <QString>

class VKLogSubmitter
{
public:
    static constexpr int kMaxLogFiles = 30;
    static constexpr int kTimeoutMs = 15000;
    static inline const QByteArray kBoundary = QByteArrayLiteral("---BIGDIVIDINGLINE---");

    struct LogFile
    {
        QString path; // file name within the folder
        QDateTime lastModDate;
    };

    // The folder read: the logger's folder for Quillon.
    static QString logFolder();
    // The report endpoint, or empty when no base URL is set.
    static QString reportURL();
    // The support contact page, or empty when no base URL is set.
    static QString contactURL();

    // The Send button's rule: a name, and an address matching the address expression whole.
    static bool validDebugEntry(const QString &name, const QString &email);
    // The folder's regular ".log" files (no links, pipes or ".DS_Store"), newest first.
    static QList<LogFile> getSortedFilesFromFolder(const QString &folder);
    // The form as posted: name, email, app, then the archive.
    static QByteArray requestBody(const QString &name, const QString &email, const QByteArray &archive);

    VKLogSubmitter();

    // Zips the newest logs of `folder` into `archivePath`; true when the archive exists.
    bool zipTheLogs(const QString &archivePath) const;
    // Posts the archive; true when the answer's text begins with "Success".
    bool submitLogsAt(const QString &archivePath, const QString &name, const QString &email) const;
    // The whole send: private folder, archive, post, folder removed.
    bool sendLogs(const QString &name, const QString &email) const;

    // Tests point these elsewhere.
    void setLogFolder(const QString &folder) { mLogFolder = folder; }
    void setTimeoutMs(int ms) { mTimeoutMs = ms; }
    // Where the last send made its archive (for tests: it must be gone afterwards).
    QString lastArchiveFolder() const { return mLastArchiveFolder; }

private:
    QString mLogFolder;
    int mTimeoutMs = kTimeoutMs;
    mutable QString mLastArchiveFolder;
};
