#include "telemetry/crashes/VUWrapperExceptionManager.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/crashes/VUCrashesUtil.h"

#include <QHash>

#include <mutex>

namespace {

const QString kTag = QStringLiteral("VovUdezirCrashes");

struct Table
{
    std::mutex lock;
    QHash<QString, std::shared_ptr<VUModel>> unprocessedWrapperExceptions;
};

Table &table()
{
    static Table instance;
    return instance;
}

QString pathOf(const QString &baseFilename)
{
    return QStringLiteral("%1/%2").arg(VUCrashesUtil::wrapperExceptionsDir(), baseFilename);
}

} // namespace

void VUWrapperExceptionManager::saveWrapperException(const std::shared_ptr<VUModel> &wrapperException)
{
    saveWrapperException(wrapperException, kLastSavedFileName);
}

std::shared_ptr<VUModel> VUWrapperExceptionManager::loadWrapperExceptionWithUUIDString(const QString &uuid)
{
    {
        Table &t = table();
        std::lock_guard guard(t.lock);
        if (const auto found = t.unprocessedWrapperExceptions.value(uuid))
            return found;
    }
    return loadWrapperExceptionWithBaseFilename(uuid);
}

void VUWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const QString &uuid)
{
    deleteWrapperExceptionWithBaseFilename(uuid);
}

void VUWrapperExceptionManager::deleteAllWrapperExceptions()
{
    VUUtility::deleteItemForPathComponent(VUCrashesUtil::wrapperExceptionsDir());
    // The folder is made again when next needed.
    VUCrashesUtil::resetDirectory();
}

void VUWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const QList<std::shared_ptr<VUErrorReport>> &reports)
{
    const auto saved = loadWrapperExceptionWithBaseFilename(kLastSavedFileName);
    if (!saved)
        return;
    deleteWrapperExceptionWithBaseFilename(kLastSavedFileName);
    const auto *wrapper = dynamic_cast<const VUWrapperException *>(saved.get());
    const auto processId = wrapper ? wrapper->processId() : std::nullopt;
    for (const auto &report : reports) {
        if (!report || !report->incidentIdentifier() || !processId || report->appProcessIdentifier() != *processId)
            continue;
        {
            Table &t = table();
            std::lock_guard guard(t.lock);
            t.unprocessedWrapperExceptions.insert(*report->incidentIdentifier(), saved);
        }
        saveWrapperException(saved, *report->incidentIdentifier());
        return;
    }
}

void VUWrapperExceptionManager::saveWrapperException(const std::shared_ptr<VUModel> &wrapperException,
                                                     const QString &baseFilename)
{
    if (!wrapperException)
        return;
    VUUtility::createFileAtPathComponent(pathOf(baseFilename), VUKeyedCoding::archive(*wrapperException), true, true);
}

void VUWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const QString &baseFilename)
{
    VUUtility::deleteItemForPathComponent(pathOf(baseFilename));
}

std::shared_ptr<VUModel> VUWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(const QString &baseFilename)
{
    const QString path = pathOf(baseFilename);
    const auto data = VUUtility::loadDataForPathComponent(path);
    if (!data)
        return nullptr;
    auto object = VUKeyedCoding::unarchive(*data);
    if (!object || !dynamic_cast<const VUWrapperException *>(object.get())) {
        VULogError(kTag, "Could not read exception data stored on disk with file name %s",
                   qUtf8Printable(baseFilename));
        VUUtility::deleteItemForPathComponent(path);
        return nullptr;
    }
    return object;
}

std::shared_ptr<VUException> VUWrapperExceptionManager::modelExceptionOf(const std::shared_ptr<VUModel> &wrapperException)
{
    const auto *wrapper = dynamic_cast<const VUWrapperException *>(wrapperException.get());
    return wrapper ? wrapper->modelException() : nullptr;
}

void VUWrapperExceptionManager::resetForTesting()
{
    Table &t = table();
    std::lock_guard guard(t.lock);
    t.unprocessedWrapperExceptions.clear();
}
