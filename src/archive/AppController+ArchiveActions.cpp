// The archive actions of the archive manager: delete, detach, export of attachments,
// duplicate removal and merge, each confirmed where the user must agree, and the refresh
// every archive change leads to ("QNArchiveEdited").

#include "device/AppController.h"

#include "archive/ArchiveMerge.h"
#include "archive/QNArchive.h"
#include "interfaces/ArchiveSheets.h"
#include "interfaces/FRWindowHub.h"
#include "platform/NotificationCenter.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <atomic>

namespace {

std::atomic<ArchiveSheets *> gArchiveSheets{nullptr};

QString tr(const char *text) { return QCoreApplication::translate("AppController", text); }

using Sheet = ArchiveSheets::Sheet;
using Style = ArchiveSheets::Style;

void showSheet(const Sheet &sheet, std::function<void(bool)> didEnd = {})
{
    ArchiveSheets *sheets = ArchiveSheets::installed();
    if (!sheets) {
        // No window to ask: nothing is done that needed the user's word.
        VarnekLog("Archive sheet without a window: %s", qUtf8Printable(sheet.title));
        if (didEnd)
            didEnd(false);
        return;
    }
    sheets->showSheet(sheet, didEnd ? std::move(didEnd) : [](bool) {});
}

void showResult(const QString &title, const QString &message)
{
    showSheet({Style::Critical, title, message, tr("OK"), QString()});
}

void postArchiveEdited(const void *archive)
{
    NotificationCenter::defaultCenter().postNotificationName(NotificationNames::QNArchiveEdited, archive);
}

QString quotedNames(const QList<std::shared_ptr<QNArchive>> &archives)
{
    QStringList names;
    for (const auto &archive : archives)
        names << QStringLiteral("\u201c%1\u201d").arg(archive->displayname());
    return names.join(QStringLiteral(", "));
}

} // namespace

ArchiveSheets *ArchiveSheets::installed()
{
    return gArchiveSheets.load();
}

void ArchiveSheets::install(ArchiveSheets *sheets)
{
    gArchiveSheets.store(sheets);
}

void AppController::runArchiveWork(std::function<void()> work)
{
    mDeviceThreads.detach(std::move(work));
}

// --- The refresh after every change ---------------------------------------------------------------

void AppController::observeArchiveEdits()
{
    // The notification is posted on whichever thread changed an archive; the list and the
    // windows belong to the main thread.
    NotificationCenter::defaultCenter().addObserver(
        mMainContext.get(), NotificationNames::QNArchiveEdited, nullptr,
        [this](const Notification &notification) {
            const void *edited = notification.object;
            onMain([this, edited] { updateArchives(edited); });
        });
}

void AppController::updateArchives(const void *editedArchive)
{
    // A merge holds the archive lock for its whole length: the main thread does not wait
    // for it, a worker closes the handles once it is free.
    std::unique_lock local(localLock, std::try_to_lock);
    if (local.owns_lock()) {
        closeBackupDBs();
        local.unlock();
    } else {
        runArchiveWork([this] { closeBackupDBs(); });
    }
    setDevicesOnMain(devices);
    if (mWindow) {
        mWindow->updateCallArchive();
        mWindow->updateSMSArchive();
        mWindow->updateVoicemailArchive();
    }
    if (editedArchive) {
        for (const auto &archive : devices) {
            if (archive.get() == editedArchive)
                archive->setUpdated(QNArchive::kUpdatedNone);
        }
    }
}

// --- Remove: delete, or by modifier detach, export, duplicate removal ------------------------------

void AppController::deleteArchive(const QList<std::shared_ptr<QNArchive>> &archives, RemoveModifiers modifiers)
{
    if (modifiers.control) {
        removeDuplicates(archives);
        return;
    }
    if (modifiers.command) {
        exportArchive(archives);
        return;
    }
    if (modifiers.option) {
        detachArchive(archives);
        return;
    }
    if (archives.isEmpty())
        return;
    const bool one = archives.size() == 1;
    Sheet sheet{Style::Critical,
                one ? tr("Delete Archive?") : tr("Delete Selected Archives?"),
                one ? tr("Delete the archive for \"%1\"?  Archived Messages, Call Logs and Voicemails saved on this "
                         "Mac will be moved to the Finder's trash.")
                          .arg(archives.first()->displayname())
                    : tr("Delete the selected archives?  Archived Messages, Call Logs and Voicemails saved on this Mac "
                         "will be moved to the Finder's trash."),
                tr("Delete"), tr("Cancel")};
    showSheet(sheet, [this, archives](bool confirmed) {
        if (!confirmed)
            return;
        QList<std::shared_ptr<QNArchive>> remaining;
        for (const auto &archive : devices) {
            if (!archives.contains(archive))
                remaining << archive;
        }
        setDevicesOnMain(remaining);
        QList<std::shared_ptr<QNArchive>> failed;
        for (const auto &archive : archives) {
            if (QNArchive::deleteArchive(*archive))
                continue;
            failed << archive;
            // Still there as a whole: it stays in the list.
            if (hasBackupTable(archive->uuid()))
                remaining << archive;
        }
        if (!failed.isEmpty())
            setDevicesOnMain(remaining);
        postArchiveEdited(nullptr);
        if (!failed.isEmpty())
            showResult(tr("An Error Occurred"),
                       tr("These archives could not be moved to the trash: %1.").arg(quotedNames(failed)));
    });
}

void AppController::detachArchive(const QList<std::shared_ptr<QNArchive>> &archives)
{
    if (archives.isEmpty())
        return;
    const bool one = archives.size() == 1;
    Sheet sheet{Style::Critical,
                one ? tr("Detach Archive?") : tr("Detach Selected Archives?"),
                one ? tr("Detach the archive for \"%1\"?   Messages, Call Logs and Voicemails will no longer be added "
                         "to the archive.")
                          .arg(archives.first()->displayname())
                    : tr("Detach the selected archives?  Messages, Call Logs and Voicemails will no longer be added to "
                         "these archives."),
                tr("Detach"), tr("Cancel")};
    showSheet(sheet, [archives](bool confirmed) {
        if (ArchiveSheets *sheets = ArchiveSheets::installed())
            sheets->setRemoveButtonTitle(tr("Remove Selected Archive"));
        if (!confirmed)
            return;
        QList<std::shared_ptr<QNArchive>> failed;
        for (const auto &archive : archives) {
            if (!QNArchive::detachArchive(*archive))
                failed << archive;
        }
        postArchiveEdited(nullptr);
        if (!failed.isEmpty())
            showResult(tr("An Error Occurred"),
                       tr("These archives could not be detached: %1. They are unchanged.").arg(quotedNames(failed)));
    });
}

void AppController::exportArchive(const QList<std::shared_ptr<QNArchive>> &archives)
{
    if (archives.isEmpty())
        return;
    const std::shared_ptr<QNArchive> archive = archives.first();
    if (ArchiveSheets *sheets = ArchiveSheets::installed())
        sheets->beginProgress(tr("Exporting attachments\u2026"));
    runArchiveWork([this, archive] {
        QString folder;
        const bool ok = QNArchive::exportArchive(*archive, &folder);
        onMain([archive, ok, folder] {
            if (ArchiveSheets *sheets = ArchiveSheets::installed())
                sheets->endProgress();
            if (!ok)
                showResult(tr("An Error Occurred"),
                           folder.isEmpty()
                               ? tr("The attachments of \"%1\" could not be exported.").arg(archive->displayname())
                               : tr("Some attachments of \"%1\" could not be exported to \"%2\".")
                                     .arg(archive->displayname(), QFileInfo(folder).fileName()));
        });
    });
}

void AppController::removeDuplicates(const QList<std::shared_ptr<QNArchive>> &archives)
{
    if (archives.isEmpty())
        return;
    const std::shared_ptr<QNArchive> archive = archives.first();
    if (ArchiveSheets *sheets = ArchiveSheets::installed())
        sheets->beginProgress(tr("Removing duplicate messages\u2026"));
    runArchiveWork([this, archive] {
        int removed = 0;
        const bool ok = QNArchive::removeDuplicates(*archive, &removed);
        if (removed > 0)
            archive->updateCounts();
        onMain([archive, ok, removed] {
            if (ArchiveSheets *sheets = ArchiveSheets::installed())
                sheets->endProgress();
            if (removed > 0)
                postArchiveEdited(archive.get());
            if (!ok)
                showResult(tr("An Error Occurred"),
                           tr("Duplicate messages could not be removed from \"%1\". Nothing was changed.")
                               .arg(archive->displayname()));
        });
    });
}

// --- Merge ------------------------------------------------------------------------------------------

void AppController::mergeArchive(const std::shared_ptr<QNArchive> &source, const std::shared_ptr<QNArchive> &into)
{
    if (!source || !into || source == into || source->uuid() == into->uuid())
        return;
    Sheet sheet{Style::Informational, tr("Merge Archive Data?"),
                tr("Do you want to copy all archived Message, Call Log and Voicemail data from \"%1\" into the archive "
                   "for \"%2\"?")
                    .arg(source->displayname(), into->displayname()),
                tr("Copy"), tr("Cancel")};
    showSheet(sheet, [this, source, into](bool confirmed) {
        if (confirmed)
            onMainAfter(250, [this, source, into] { doMerge(source, into); });
    });
}

void AppController::doMerge(const std::shared_ptr<QNArchive> &source, const std::shared_ptr<QNArchive> &target)
{
    if (!source || !target)
        return;
    if (ArchiveSheets *sheets = ArchiveSheets::installed())
        sheets->beginProgress(tr("Copying archive data\u2026"));
    const QString sourceKey = source->uuid();
    const QString targetKey = target->uuid();
    runArchiveWork([this, source, target, sourceKey, targetKey] {
        const ArchiveMergeResult result = ArchiveMerge::merge(*this, sourceKey, targetKey, [](double done, double total) {
            if (ArchiveSheets *sheets = ArchiveSheets::installed())
                sheets->setProgress(done, total);
        });
        if (result.outcome == ArchiveMergeResult::Outcome::Copied)
            target->updateCounts();
        onMain([source, target, result] {
            if (ArchiveSheets *sheets = ArchiveSheets::installed())
                sheets->endProgress();
            using Outcome = ArchiveMergeResult::Outcome;
            switch (result.outcome) {
            case Outcome::OpenFailed:
            case Outcome::CopyFailed:
                showResult(tr("An Error Occurred"), tr("An error occurred copying items. Nothing was copied."));
                return;
            case Outcome::CommitFailed:
                showResult(tr("An Error Occurred"), tr("An error occurred saving changed."));
                return;
            case Outcome::AllDuplicates:
                showResult(tr("No Archive Data Copied"),
                           tr("Nothing was copied because all items appear to be duplicates."));
                return;
            case Outcome::Copied:
                break;
            }
            target->setUpdated(QNArchive::kUpdatedMerged);
            postArchiveEdited(target.get());
            const int duplicates = result.duplicateMessages + result.duplicateVoicemails + result.duplicateCalls;
            const QString note = duplicates > 0
                ? tr("  %1 messages, %2 voicemails and %3 calls were not copied because they appear to be duplicates.")
                      .arg(result.duplicateMessages)
                      .arg(result.duplicateVoicemails)
                      .arg(result.duplicateCalls)
                : QString();
            showResult(tr("Archive Data Copied"),
                       tr("%1 messages, %2 voicemails and %3 calls were copied from the archive for \"%4\" to the "
                          "archive for \"%5\".%6")
                           .arg(result.messages)
                           .arg(result.voicemails)
                           .arg(result.calls)
                           .arg(source->displayname(), target->displayname(), note));
        });
    });
}
