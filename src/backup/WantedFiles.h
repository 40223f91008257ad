#pragma once
// The personal-data files that every backup session asks for and that extraction reads, each
// with the domain it comes from. A file is matched by domain and path together: another app
// may well keep a "Documents/ChatStorage.sqlite" of its own. The order is the sessions' order.

#include <QList>
#include <QString>

struct WantedFile
{
    QString relativePath;
    QString domain;
};

// The twenty files of the design's wanted-file list.
const QList<WantedFile> &wantedFileList();
