#pragma once
// A FileOpener for core tests: records every call (name and paths, in order) instead of
// handing files to the desktop. Installed for a test's scope; the previous opener comes back.

#include "interfaces/FileOpener.h"

#include <QList>
#include <QPair>
#include <QStringList>

class RecordingFileOpener : public FileOpener
{
public:
    RecordingFileOpener() : mPrevious(FileOpener::opener()) { FileOpener::install(this); }
    ~RecordingFileOpener() override { FileOpener::install(mPrevious); }

    void openFile(const QString &path) override { calls.append({QStringLiteral("open"), {path}}); }
    void revealFiles(const QStringList &paths) override { calls.append({QStringLiteral("reveal"), paths}); }
    void previewFiles(const QStringList &paths) override { calls.append({QStringLiteral("preview"), paths}); }

    QList<QPair<QString, QStringList>> calls;

private:
    FileOpener *mPrevious;
};
