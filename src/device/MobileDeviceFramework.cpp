#include "device/MobileDeviceFramework.h"

#include "shell/VarnekLogger.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>

#define QUILLON_MOBILEDEVICE_DEFINE(name) name##_f *name = nullptr;
QUILLON_MOBILEDEVICE_ENTRY_POINTS(QUILLON_MOBILEDEVICE_DEFINE)
#undef QUILLON_MOBILEDEVICE_DEFINE

namespace {

// Written only by bindMobileDeviceFramework() on the main thread before device threads run.
void *gImage = nullptr;
bool gImageFailed = false;
QByteArray gImagePath;
QString gMissingEntryPoint;

const char *const kRequired[] = {
    "AMDeviceNotificationSubscribe", "AMDRunLoopSourceGetDescriptor", "AMDRunLoopSourcePerform",
    "AMDeviceConnect", "AMDeviceDisconnect", "AMDeviceIsPaired", "AMDeviceValidatePairing",
    "AMDevicePair", "AMDeviceStartSession", "AMDeviceStopSession", "AMDeviceStartService",
    "AMDeviceCopyValue", "AMDeviceRelease",
    "AFCConnectionOpen", "AFCConnectionClose", "AFCDirectoryOpen", "AFCDirectoryRead",
    "AFCDirectoryClose", "AFCDirectoryCreate", "AFCFileInfoOpen", "AFCDeviceInfoOpen",
    "AFCKeyValueRead", "AFCKeyValueClose", "AFCFileRefOpen", "AFCFileRefRead",
    "AFCFileRefWrite", "AFCFileRefSeek", "AFCFileRefClose", "AFCRemovePath", "AFCRenamePath",
};

QString executableFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
}

} // namespace

QString mobileDeviceLibraryPath()
{
    const QString overridden = qEnvironmentVariable("QUILLON_MOBILEDEVICE_LIBRARY");
    if (!overridden.isEmpty())
        return overridden;
    const QString beside = QDir::cleanPath(executableFolder() + QStringLiteral("/../lib/libmobiledevice.so"));
    if (QFileInfo::exists(beside))
        return beside;
    return QStringLiteral("libmobiledevice.so");
}

void *LoadProcPointer(const char *name)
{
    if (!gImage && !gImageFailed) {
        if (gImagePath.isEmpty())
            gImagePath = mobileDeviceLibraryPath().toLocal8Bit();
        gImage = dlopen(gImagePath.constData(), RTLD_NOW | RTLD_LOCAL);
        if (!gImage) {
            gImageFailed = true;
            const char *why = dlerror();
            VarnekLog("Could not load %s: %s", gImagePath.constData(), why ? why : "unknown error");
        }
    }
    if (!gImage)
        return nullptr;
    return dlsym(gImage, name);
}

bool bindMobileDeviceFramework(const QString &libraryPath)
{
    // An earlier image stays open: a thread of the old binding may still be inside it.
    gImage = nullptr;
    gImageFailed = false;
    gImagePath = (libraryPath.isEmpty() ? mobileDeviceLibraryPath() : libraryPath).toLocal8Bit();
    gMissingEntryPoint.clear();

#define QUILLON_MOBILEDEVICE_LOOKUP(name) name = reinterpret_cast<name##_f *>(LoadProcPointer(#name));
    QUILLON_MOBILEDEVICE_ENTRY_POINTS(QUILLON_MOBILEDEVICE_LOOKUP)
#undef QUILLON_MOBILEDEVICE_LOOKUP

    if (!gImage) {
        AMDeviceNotificationSubscribe = nullptr;
        return false;
    }
    for (const char *name : kRequired) {
        if (!dlsym(gImage, name)) {
            gMissingEntryPoint = QString::fromLatin1(name);
            VarnekLog("Device framework lacks %s", name);
            AMDeviceNotificationSubscribe = nullptr;
            return false;
        }
    }
    return true;
}

QString missingMobileDeviceEntryPoint()
{
    return gMissingEntryPoint;
}
