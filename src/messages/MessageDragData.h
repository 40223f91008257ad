#pragma once
// What a drag of message rows carries: the rows as plain text (the text export), the picture
// itself when exactly one picture is dragged, and files. X11 and Wayland have no promised
// files, so the files ("text/uri-list") are exported only when the drop target first asks for
// them, into a folder of their own inside the temporary folder, in the export format of the
// preferences (attachments as their own files).
//
// Also the table model of the messages list, which makes this data for the dragged rows.
//
// Main thread (the drag and its target's requests come there).

#include "messages/FRSMSInfo.h"
#include "shell/RecordTableModel.h"

#include <QMimeData>
#include <QPointer>

class SMSDataController;

class MessageDragData : public QMimeData
{
public:
    MessageDragData(SMSDataController *controller, const QList<FRSMSInfoPtr> &rows);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override { return formats().contains(mimeType); }
    // The exported files (made on the first ask), for tests.
    QStringList exportedFiles() const { return mFiles; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    QPointer<SMSDataController> mController;
    QList<FRSMSInfoPtr> mRows;
    QByteArray mPicture;
    QString mPictureType;
    mutable bool mExported = false;
    mutable QStringList mFiles;
};

class MessagesTableModel : public RecordTableModel
{
public:
    MessagesTableModel(SMSDataController *controller, const QList<Column> &columns, QObject *parent = nullptr)
        : RecordTableModel(columns, parent), mController(controller)
    {
    }
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;

private:
    SMSDataController *mController;
};
