#include "HelperRig.h"

#include "TestHome.h"
#include "TestWait.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

int gRigCount = 0;

void writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(text), text.size());
}

} // namespace

HelperRig::HelperRig()
{
    // At most 15 bytes: the kernel keeps no more of a command name.
    mStandIn = home() + QStringLiteral("/bin/Quillon%1x%2")
                            .arg(QCoreApplication::applicationPid() % 100000)
                            .arg(++gRigCount);
    // With "hold" it waits for its standard input to close, standing in for a running
    // Quillon; without, it leaves the marker as a started Quillon would.
    writeText(mStandIn, QByteArray("#!/bin/sh\nif [ \"$1\" = hold ]; then cat >/dev/null; exit 0; fi\n"
                                   "echo started >> '")
                            + marker().toUtf8() + "'\n");
    QFile::setPermissions(mStandIn, QFile::permissions(mStandIn) | QFile::ExeOwner);
    QDir().mkpath(home() + "/run");
    writeEntry();
}

HelperRig::~HelperRig() = default;

bool HelperRig::quillonStarted() const
{
    return QFileInfo::exists(marker());
}

void HelperRig::writeEntry(const QString &program)
{
    const QString exec = program.isEmpty() ? mStandIn : program;
    writeText(entry(), "[Desktop Entry]\nType=Application\nName=Quillon\nExec=\"" + exec.toUtf8() + "\"\n");
}

void HelperRig::attach(const QString &folder, const QString &name, bool wifi)
{
    QVariantMap values{{"DeviceClass", "iPhone"}, {"UniqueDeviceID", "uid-" + folder}};
    if (!name.isEmpty())
        values.insert("DeviceName", name);
    const QVariantMap device{{"Interface", wifi ? "Wi-Fi" : "USB"}, {"Paired", true}, {"Values", values}};
    // Built outside the watched folder and moved in whole.
    const QString staging = mStaging.path() + "/" + folder;
    ASSERT_TRUE(QDir().mkpath(staging + "/media"));
    ASSERT_TRUE(PropertyList::toFile(device, staging + "/device.plist", PropertyList::Format::Xml));
    ASSERT_TRUE(QDir().rename(staging, mDevices.path() + "/" + folder));
}

QProcessEnvironment HelperRig::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
        env.remove(name);
    env.insert("HOME", home());
    // No other application folder: an installed Quillon on this machine is not ours.
    env.insert("XDG_DATA_DIRS", home() + "/no-system-data");
    env.insert("XDG_RUNTIME_DIR", home() + "/run");
    env.insert("QUILLON_SIM_DEVICES", mDevices.path());
    env.insert("QUILLON_MOBILEDEVICE_LIBRARY", buildPath("lib/libmobiledevice.so"));
    return env;
}

void HelperRig::start(QProcess &helper, const QString &program) const
{
    helper.setProcessEnvironment(environment());
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(program.isEmpty() ? buildPath("bin/QuillonHelper") : program, {});
    ASSERT_TRUE(helper.waitForStarted());
}

QString HelperRig::log(QProcess &helper)
{
    mLogs[&helper] += QString::fromUtf8(helper.readAllStandardError());
    return mLogs[&helper];
}

bool HelperRig::waitForLog(QProcess &helper, const QString &text, int times)
{
    return waitUntil(
        [&] {
            helper.waitForReadyRead(10);
            return log(helper).count(text) >= times;
        },
        scaledTimeoutMs(10000));
}

bool HelperRig::endsCleanly(QProcess &helper, int timeoutMs)
{
    if (!helper.waitForFinished(scaledTimeoutMs(timeoutMs)))
        return false;
    log(helper);
    return helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(5000);
}
