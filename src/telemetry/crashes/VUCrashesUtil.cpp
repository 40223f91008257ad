#include "telemetry/crashes/VUCrashesUtil.h"

#include "telemetry/core/VUUtility.h"

#include <mutex>

namespace {

struct Folders
{
    std::mutex lock;
    bool crashes = false;
    bool logBuffer = false;
    bool wrapperExceptions = false;
};

Folders &folders()
{
    static Folders instance;
    return instance;
}

QString madeOnce(bool Folders::*made, const QString &name)
{
    Folders &f = folders();
    std::lock_guard guard(f.lock);
    if (!(f.*made)) {
        VUUtility::createDirectoryForPathComponent(name);
        f.*made = true;
    }
    return name;
}

} // namespace

QString VUCrashesUtil::crashesDir()
{
    return madeOnce(&Folders::crashes, QStringLiteral("crashes"));
}

QString VUCrashesUtil::logBufferDir()
{
    return madeOnce(&Folders::logBuffer, QStringLiteral("crasheslogbuffer"));
}

QString VUCrashesUtil::wrapperExceptionsDir()
{
    return madeOnce(&Folders::wrapperExceptions, QStringLiteral("crasheswrapperexceptions"));
}

void VUCrashesUtil::resetDirectory()
{
    Folders &f = folders();
    std::lock_guard guard(f.lock);
    f.crashes = f.logBuffer = f.wrapperExceptions = false;
}
