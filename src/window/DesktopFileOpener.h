#pragma once
// The desktop's side of FileOpener: QDesktopServices opens files and folders; revealing asks
// the file manager over the session bus (org.freedesktop.FileManager1.ShowItems) and opens
// the folder when no file manager answers there. Installed by the main interface at start-up.
// Main thread only.

#include "interfaces/FileOpener.h"

class DesktopFileOpener : public FileOpener
{
public:
    void openFile(const QString &path) override;
    void revealFiles(const QStringList &paths) override;
    void previewFiles(const QStringList &paths) override;
};
