// Exports of messages: the document of one of five formats (text, tab-delimited text, XML,
// PDF, CSV), attachments saved beside it, double-click opening, and the default folder.

#include "messages/SMSDataController.h"

#include "device/AppController.h"
#include "interfaces/MessagePDFWriter.h"
#include "messages/FRMMSInfo.h"
#include "messages/MessageExport.h"
#include "messages/MessageFileNames.h"
#include "platform/Paths.h"
#include "platform/Trash.h"
#include "shell/Defaults.h"
#include "shell/OwnTemporaries.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <atomic>
#include <cstdio>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("SMSDataController", text); }

std::atomic<MessagePDFWriter *> gPDFWriter{nullptr};

} // namespace

MessagePDFWriter *MessagePDFWriter::installed() { return gPDFWriter.load(); }
void MessagePDFWriter::install(MessagePDFWriter *writer) { gPDFWriter.store(writer); }

namespace MessageExport {

QString extension(int format)
{
    switch (format) {
    case XML: return QStringLiteral("xml");
    case PDF: return QStringLiteral("pdf");
    case CSV: return QStringLiteral("csv");
    default: return QStringLiteral("txt");
    }
}

QString saveName(int format, const QString &person)
{
    if (format < 0)
        format = int(preferenceInteger(QStringLiteral("SMS_EXPORT_FORMAT2")));
    if (person.isEmpty())
        return tr("Messages") + QLatin1Char('.') + extension(format);
    const QString name = person.size() > 149 ? MessageFileNames::firstCharacters(person, 150) : person;
    return MessageFileNames::safeFileName(tr("Messages with %1").arg(name) + QLatin1Char('.') + extension(format));
}

QByteArray buildExportString(const QList<FRSMSInfoPtr> &rows, int format)
{
    QString text;
    switch (format) {
    case Text:
        for (qsizetype i = 0; i < rows.size(); ++i) {
            if (i > 0)
                text += QLatin1Char('\n');
            text += rows.at(i)->SMSDetails();
        }
        break;
    case Tabbed:
        for (const FRSMSInfoPtr &row : rows)
            text += row->SMSDetailsTabbed();
        break;
    case CSV:
        for (const FRSMSInfoPtr &row : rows)
            text += row->SMSDetailsCSV();
        break;
    case XML:
        text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SMSExport>\n");
        for (const FRSMSInfoPtr &row : rows)
            text += QStringLiteral("\t") + row->SMSDetailsXML() + QLatin1Char('\n');
        text += QStringLiteral("</SMSExport>\n");
        break;
    default: break;
    }
    return text.toUtf8();
}

QString exportFolder()
{
    const QString documents = Paths::home() + QStringLiteral("/Documents");
    const QString folder = documents + QLatin1Char('/') + tr("Messages From iPhone");
    if (!QDir().mkpath(folder)) {
        VarnekLog("Couldn't create folder at %s", qUtf8Printable(folder));
        return {};
    }
    return folder;
}

bool putInPlace(const QString &path, const std::function<bool(const QString &temporary, QString *error)> &write,
                QString *error)
{
    const QFileInfo target(path);
    const QString temporary = target.absolutePath() + QStringLiteral("/.quillon-download-export-")
                              + QString::number(QRandomGenerator::global()->generate64(), 16);
    OwnTemporaries::Noted noted(temporary);
    QString why;
    if (!write(temporary, &why)) {
        QFile::remove(temporary);
        *error = why.isEmpty() ? tr("Could not write %1.").arg(target.fileName()) : why;
        return false;
    }
    // The old file goes only once its replacement is complete.
    if (QFileInfo::exists(path) || target.isSymLink()) {
        QString trashError;
        if (!Trash::moveToTrash(path, &trashError)) {
            QFile::remove(temporary);
            *error = tr("Could not move the existing %1 to the Trash: %2").arg(target.fileName(), trashError);
            return false;
        }
    }
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temporary);
        *error = tr("Could not write %1.").arg(target.fileName());
        return false;
    }
    return true;
}

bool isOpenable(const QString &path)
{
    static const QStringList kinds = {
        // documents of the export, pictures, audio, video, PDF and text
        "txt", "xml", "csv", "pdf", "jpg", "jpeg", "png", "gif", "heic", "heif", "tif", "tiff", "bmp", "webp",
        "m4a", "mp3", "aac", "wav", "caf", "amr", "opus", "mov", "mp4", "m4v", "3gp", "avi", "vcf"};
    return kinds.contains(QFileInfo(path).suffix().toLower());
}

} // namespace MessageExport

QStringList SMSDataController::exportMessages(const QList<FRSMSInfoPtr> &records, const QString &folder,
                                              const QString &fileName, bool includeMedia, int format,
                                              bool doubleClicked, QString *error, QString *play)
{
    QStringList produced;
    QStringList failures;
    QList<FRSMSInfoPtr> media, documents;
    for (const FRSMSInfoPtr &record : records) {
        const bool isMedia = record->mediaType() != 0;
        if (isMedia)
            media.append(record);
        if (!isMedia || format == MessageExport::XML || format == MessageExport::PDF)
            documents.append(record);
    }
    QString target = folder;
    if (doubleClicked && records.size() == 1 && records.first()->mediaType() == FRMMSInfo::Audio)
        target = getTempDir();
    if (target.isEmpty()) {
        if (error)
            *error = tr("There is no folder to export into.");
        return produced;
    }
    QDir().mkpath(target);
    if (!documents.isEmpty() && !(doubleClicked && target != folder)) {
        const QString name = MessageFileNames::safeFileName(
            fileName.isEmpty() ? MessageExport::saveName(format, mExportPerson) : fileName);
        QString path = QDir(target).filePath(name);
        if (fileName.isEmpty() && QFileInfo::exists(path))
            path = QDir(target).filePath(AppController::createUniqueNameForDownload(name, target));
        QString why;
        bool written = false;
        if (format == MessageExport::PDF) {
            MessagePDFWriter *writer = MessagePDFWriter::installed();
            QString title = tr("Messages");
            if (!mExportPerson.isEmpty())
                title = tr("Messages with ") + (!mExportNumber.isEmpty() && !mExportNumber.startsWith(QLatin1String("Facebook ID "))
                                                    ? QStringLiteral("%1 (%2)").arg(mExportPerson, mExportNumber)
                                                    : mExportPerson);
            const QString footer = mApp ? mApp->deviceNameForPrinting() : QString();
            written = writer
                      && MessageExport::putInPlace(
                          path,
                          [&](const QString &temporary, QString *e) {
                              return writer->writePDF(documents, temporary, title, footer, e);
                          },
                          &why);
            if (!writer)
                why = tr("PDF documents cannot be written here.");
        } else {
            const QByteArray bytes = MessageExport::buildExportString(documents, format);
            written = MessageExport::putInPlace(
                path,
                [&](const QString &temporary, QString *) {
                    QFile file(temporary);
                    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(bytes) == bytes.size()
                           && file.flush() && file.error() == QFileDevice::NoError;
                },
                &why);
        }
        if (written)
            produced.append(path);
        else
            failures.append(why);
    }
    if (!media.isEmpty() && (includeMedia || documents.isEmpty() || doubleClicked)) {
        for (const FRSMSInfoPtr &record : media) {
            const auto *part = static_cast<const FRMMSInfo *>(record.get());
            const QString saved = part->saveMediaToPath(target);
            if (saved.isEmpty()) {
                failures.append(tr("Could not save %1.").arg(part->saveName()));
                continue;
            }
            if (doubleClicked && target != folder && play)
                *play = saved;
            else
                produced.append(saved);
        }
    }
    if (error)
        *error = failures.join(QLatin1Char('\n'));
    return produced;
}

void SMSDataController::setExportConversation(const QList<QVariantMap> &threads)
{
    mExportPerson.clear();
    mExportNumber.clear();
    if (threads.size() == 1 && !isAllMode(threads.first().value(QStringLiteral("name")).toString())) {
        mExportPerson = threads.first().value(QStringLiteral("savename")).toString();
        mExportNumber = individualThreadNumber(threads.first());
    }
}

QStringList SMSDataController::doubleClickExport(QString *error, QString *play)
{
    const QList<FRSMSInfoPtr> records = getSelectedItems();
    if (records.isEmpty())
        return {};
    setExportConversation(mCurrentThreads);
    const QString folder = MessageExport::exportFolder();
    const QStringList produced =
        exportMessages(records, folder, QString(), preferenceBool(QStringLiteral("DRAG_SAVES_MEDIA")),
                       int(preferenceInteger(QStringLiteral("SMS_EXPORT_FORMAT2"))), true, error, play);
    QStringList open;
    if (produced.size() <= 20)
        for (const QString &path : produced)
            if (MessageExport::isOpenable(path))
                open.append(path);
    return open;
}
