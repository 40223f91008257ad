// The crash-safe copy of logs between their hand-over to a channel unit and their storage:
// slots filled and freed here, written out by the crash-time dump, re-sent at the next start
// through the unit "CrashesBuffer".
#include "telemetry/crashes/VUCrashes.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/crashes/VUCrashesLogBuffer.h"
#include "telemetry/crashes/VUErrorAttachmentLog.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <cfloat>
#include <cstring>

namespace {

const QString kBufferExtension = QStringLiteral("vucrasheslogbuffer");
const QString kTokenExtension = QStringLiteral("targettoken");
const QString kSlotFileName = QStringLiteral("CrashesBuffer.slots");

void fillSlot(VUCrashesLogBuffer::Slot &slot, const QByteArray &archive, const QByteArray &token,
              const QByteArray &internalId)
{
    // Not ready while it changes, ready once every byte is in place.
    slot.ready.store(0, std::memory_order_release);
    std::memcpy(slot.buffer, archive.constData(), size_t(archive.size()));
    slot.bufferLength = uint32_t(archive.size());
    std::memcpy(slot.token, token.constData(), size_t(token.size()));
    slot.tokenLength = uint32_t(token.size());
    const size_t idLength = std::min(size_t(internalId.size()), VUCrashesLogBuffer::kIdRoom - 1);
    std::memcpy(slot.internalId, internalId.constData(), idLength);
    slot.internalId[idLength] = 0;
    slot.timestamp = VUUtility::nowInMilliseconds() / 1000.0;
    slot.ready.store(1, std::memory_order_release);
}

void clearSlot(VUCrashesLogBuffer::Slot &slot)
{
    slot.ready.store(0, std::memory_order_release);
    slot.bufferLength = slot.tokenLength = 0;
    slot.internalId[0] = 0;
    slot.timestamp = 0;
}

} // namespace

void VUCrashes::setupLogBuffer()
{
    std::lock_guard guard(mBufferLock);
    QByteArray bufferPaths[VUCrashesLogBuffer::kSlotCount];
    QByteArray tokenPaths[VUCrashesLogBuffer::kSlotCount];
    const char *bufferPointers[VUCrashesLogBuffer::kSlotCount];
    const char *tokenPointers[VUCrashesLogBuffer::kSlotCount];
    for (int i = 0; i < VUCrashesLogBuffer::kSlotCount; ++i) {
        const QString component = QStringLiteral("%1/%2.%3").arg(mLogBufferPathComponent).arg(i).arg(kBufferExtension);
        // Files a crash filled keep their content until the start reads them.
        VUUtility::createFileAtPathComponent(component, QByteArray(), false, false);
        const QString path = VUUtility::fullURLForPathComponent(component).value_or(QString());
        bufferPaths[i] = QFile::encodeName(path);
        tokenPaths[i] = QFile::encodeName(QString(path).replace(kBufferExtension, kTokenExtension));
        bufferPointers[i] = bufferPaths[i].constData();
        tokenPointers[i] = tokenPaths[i].constData();
    }
    const auto slotFile = VUUtility::fullURLForPathComponent(mLogBufferPathComponent + '/' + kSlotFileName);
    if (!VUCrashesLogBuffer::setup(slotFile ? QFile::encodeName(*slotFile).constData() : nullptr, bufferPointers,
                                   tokenPointers))
        VULogError(kLogTag, "Couldn't set up the crashes buffer; logs will not survive a crash.");
}

void VUCrashes::channelDidPrepareLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log,
                                     const QString &internalId, quint64)
{
    if (!log || !isEnabled() || dynamic_cast<const VUAppleErrorLog *>(log.get()) ||
        dynamic_cast<const VUErrorAttachmentLog *>(log.get()))
        return;
    VUCrashesLogBuffer::Slot *table = VUCrashesLogBuffer::slotTable();
    if (!table)
        return;
    const QByteArray archive = VUKeyedCoding::archive(*log);
    if (archive.isEmpty())
        return;
    QByteArray token;
    if (const auto tokens = log->transmissionTargetTokens(); tokens && !tokens->isEmpty())
        token = mTargetTokenEncrypter.encryptString(*tokens->cbegin()).value_or(QString()).toUtf8();
    if (size_t(archive.size()) > VUCrashesLogBuffer::kBufferRoom || size_t(token.size()) > VUCrashesLogBuffer::kTokenRoom) {
        VULogVerbose(kLogTag, "Log too large for the Crashes Buffer: (sid: %s, type: %s)",
                     qUtf8Printable(log->sid.value_or("(null)")), qUtf8Printable(log->type().value_or("(null)")));
        return;
    }
    VULogVerbose(kLogTag, "Storing a log to Crashes Buffer: (sid: %s, type: %s)",
                 qUtf8Printable(log->sid.value_or("(null)")), qUtf8Printable(log->type().value_or("(null)")));
    std::lock_guard guard(mBufferLock);
    int oldest = -1;
    double oldestTime = DBL_MAX;
    for (int i = 0; i < VUCrashesLogBuffer::kSlotCount; ++i) {
        VUCrashesLogBuffer::Slot &slot = table[i];
        if (slot.ready.load(std::memory_order_acquire) == 0) {
            fillSlot(slot, archive, token, internalId.toUtf8());
            VULogVerbose(kLogTag, "Found an empty buffer position.");
            return;
        }
        if (slot.timestamp < oldestTime) {
            oldest = i;
            oldestTime = slot.timestamp;
            VULogVerbose(kLogTag, "Remembering index %ld for oldest timestamp %f.", long(i), oldestTime);
        }
    }
    VULogVerbose(kLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
    if (oldest < 0)
        return;
    fillSlot(table[oldest], archive, token, internalId.toUtf8());
    VULogVerbose(kLogTag, "Overwrote buffered log at index %ld.", long(oldest));
}

void VUCrashes::dropBufferedLog(const std::shared_ptr<VUAbstractLog> &log, const QString &internalId)
{
    VUCrashesLogBuffer::Slot *table = VUCrashesLogBuffer::slotTable();
    if (!table || internalId.isEmpty())
        return;
    const QByteArray id = internalId.toUtf8();
    std::lock_guard guard(mBufferLock);
    for (int i = 0; i < VUCrashesLogBuffer::kSlotCount; ++i) {
        VUCrashesLogBuffer::Slot &slot = table[i];
        if (slot.internalId[0] == 0 || id != QByteArray(slot.internalId))
            continue;
        VULogVerbose(kLogTag, "Deleting a log from buffer with id %s", id.constData());
        clearSlot(slot);
        if (writeBufferTaskStarted.load()) {
            // A dump is running on the crashed thread: this log is stored, so its file goes.
            unlink(VUCrashesLogBuffer::bufferPath(i));
            VULogVerbose(kLogTag, "Deleted a log from Crashes Buffer (sid: %s, type: %s)",
                         qUtf8Printable(log ? log->sid.value_or("(null)") : QString("(null)")),
                         qUtf8Printable(log ? log->type().value_or("(null)") : QString("(null)")));
            VULogVerbose(kLogTag, "Deleted crash buffer file: %s.", VUCrashesLogBuffer::bufferPath(i));
        }
    }
}

void VUCrashes::processLogBufferAfterCrash()
{
    std::shared_ptr<VUChannelUnitProtocol> unit;
    {
        // One unit for the whole run, however often the configuration is updated.
        std::lock_guard guard(mStateLock);
        if (!mBufferChannelUnit) {
            if (const auto group = channelGroup())
                mBufferChannelUnit = group->addChannelUnitWithConfiguration(
                    VUChannelUnitConfiguration(kBufferGroupId, 2, 1.0f, 50, 1));
        }
        unit = mBufferChannelUnit;
    }
    const auto entries = VUUtility::contentsOfDirectory(mLogBufferPathComponent);
    if (!entries)
        return;
    for (const QString &path : *entries) {
        if (QFileInfo(path).suffix() != kBufferExtension)
            continue;
        const QString component = mLogBufferPathComponent + '/' + QFileInfo(path).fileName();
        const QString tokenPath = QString(path).replace(kBufferExtension, kTokenExtension);
        const QString tokenComponent = QString(component).replace(kBufferExtension, kTokenExtension);
        QByteArray bytes;
        // Only a regular file is read: a pipe or device node put here must not hang the start.
        if (QFileInfo(path).isFile() && !QFileInfo(path).isSymLink()) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                bytes = file.readAll();
        }
        std::shared_ptr<VUAbstractLog> log;
        if (!bytes.isEmpty())
            log = VUKeyedCoding::unarchiveAs<VUAbstractLog>(bytes);
        if (log) {
            const QFileInfo tokenInfo(tokenPath);
            const bool tokenReadable = tokenInfo.isFile() && !tokenInfo.isSymLink();
            if (const auto token = tokenReadable ? VUUtility::loadDataForPathComponent(tokenComponent) : std::nullopt) {
                if (const auto decrypted = mTargetTokenEncrypter.decryptString(QString::fromUtf8(*token)))
                    log->addTransmissionTargetToken(*decrypted);
                else
                    VULogError(VULogTag(), "Failed to decrypt the target token.");
            }
            VULogDebug(kLogTag, "Re-enqueueing buffered log, type: %s.", qUtf8Printable(log->type().value_or("")));
            if (unit)
                unit->enqueueItem(log, 1);
        } else if (!bytes.isEmpty()) {
            VULogWarning(kLogTag, "Couldn't read a buffered log; it is dropped: %s", qUtf8Printable(path));
        }
        // Every token file read goes, so none can travel with a later log of this slot.
        if (QFileInfo::exists(tokenPath) || QFileInfo(tokenPath).isSymLink())
            VUUtility::deleteItemForPathComponent(tokenComponent);
        if (!QFileInfo(path).isFile() || QFileInfo(path).isSymLink())
            VUUtility::deleteItemForPathComponent(component);
        VUUtility::createFileAtPathComponent(component, QByteArray(), false, true);
    }
}

void VUCrashes::emptyLogBufferFiles()
{
    const auto entries = VUUtility::contentsOfDirectory(mLogBufferPathComponent);
    if (!entries) {
        VULogError(kLogTag, "Couldn't get files in the directory \"%s\"", qUtf8Printable(mLogBufferPathComponent));
        return;
    }
    for (const QString &path : *entries) {
        const QFileInfo info(path);
        if (info.suffix() != kBufferExtension || info.size() <= 0 || !info.isFile() || info.isSymLink())
            continue;
        VUUtility::createFileAtPathComponent(mLogBufferPathComponent + '/' + info.fileName(), QByteArray(), false, true);
    }
}
