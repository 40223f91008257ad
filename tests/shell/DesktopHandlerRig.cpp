#include "DesktopHandlerRig.h"

#include "TestWait.h"
#include "shell/DesktopLauncher.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

void writeText(const QString &path, const QByteArray &text, bool executable = false)
{
    QDir().mkpath(path.section('/', 0, -2));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
}

} // namespace

DesktopHandlerRig::DesktopHandlerRig()
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID", "BROWSER", "XDG_DATA_DIRS"}) {
        mSaved.append({name, qgetenv(name)});
        qunsetenv(name);
    }
    qputenv("DISPLAY", ":77");
    // A failing opener on a busy machine may take longer than the usual settle time.
    DesktopLauncher::setSettleMs(scaledTimeoutMs(60000));
    qputenv("XDG_DATA_DIRS", (mDir.path() + "/no-system-data").toUtf8());
    const QString handler = mDir.path() + "/record-handler";
    writeText(handler,
              "#!/bin/sh\n[ -e '" + mDir.path().toUtf8() + "/fail' ] && exit 1\n"
              "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + mDir.path().toUtf8() + "/record'\n",
              true);
    const QByteArray types = "text/plain;application/mbox;audio/x-mpegurl;inode/directory;x-scheme-handler/mailto;";
    writeText(Paths::dataHome() + "/applications/quillon-test-recorder.desktop",
              "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + handler.toUtf8() + " %u\nMimeType=" + types + "\n");
    QByteArray list = "[Default Applications]\n";
    for (const QByteArray &type : types.split(';')) {
        if (!type.isEmpty())
            list += type + "=quillon-test-recorder.desktop\n";
    }
    writeText(Paths::configHome() + "/mimeapps.list", list);
}

DesktopHandlerRig::~DesktopHandlerRig()
{
    DesktopLauncher::setSettleMs(DesktopLauncher::kSettleMs);
    for (const auto &[name, value] : mSaved) {
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
    }
    QFile::remove(Paths::configHome() + "/mimeapps.list");
    QFile::remove(Paths::dataHome() + "/applications/quillon-test-recorder.desktop");
}

QStringList DesktopHandlerRig::record() const
{
    QFile file(mDir.path() + "/record");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

bool DesktopHandlerRig::waitForRecord(int count) const
{
    return waitUntil([&] { return record().size() >= count; }, scaledTimeoutMs(60000));
}

void DesktopHandlerRig::setFailing(bool failing)
{
    if (failing)
        writeText(mDir.path() + "/fail", "");
    else
        QFile::remove(mDir.path() + "/fail");
}

QByteArray runPython(const QString &script, const QStringList &arguments)
{
    QProcess python;
    python.start("python3", QStringList{"-c", script} + arguments);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        ADD_FAILURE() << python.readAllStandardError().constData();
        return {};
    }
    return python.readAllStandardOutput();
}
