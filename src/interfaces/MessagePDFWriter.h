#pragma once
// Writes message rows as a PDF document the way the bubble table prints them (title on
// every page, page numbers, the device name and date as footers). Drawing bubbles needs
// QtGui, which core does not link: the window library implements this over its printable
// table and installs it at start-up; the messages export (format 3) asks for it.
//
// Any thread may call writePDF (the export runs on a worker); it never waits for the main
// thread.

#include <QList>
#include <QString>

#include <memory>

class FRSMSInfo;

class MessagePDFWriter
{
public:
    virtual ~MessagePDFWriter() = default;
    // Writes `rows` to `path` (the caller has chosen a path that holds nothing yet). False
    // with *error set when no complete file could be written; nothing is left at `path` then.
    virtual bool writePDF(const QList<std::shared_ptr<FRSMSInfo>> &rows, const QString &path, const QString &title,
                          const QString &footerLeft, QString *error) = 0;

    static MessagePDFWriter *installed();
    static void install(MessagePDFWriter *writer);
};
