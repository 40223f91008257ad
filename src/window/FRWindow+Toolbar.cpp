// The per-mode toolbar set: each mode removes some items and makes sure of others. The items
// themselves (icons, actions, validation) come with the toolbar and menus; until then an item
// is a named action the toolbar shows by its identifier.

#include "FRWindow.h"

#include "shell/SendToApplications.h"

#include <QAction>
#include <QToolBar>

namespace {

const QString kPrint = QStringLiteral("Print Main Item Identifier");
const QString kUpload = QStringLiteral("Upload Item Identifier");
const QString kNewFolder = QStringLiteral("New Folder Item Identifier");
const QString kDelete = QStringLiteral("Delete Item Identifier");
const QString kiTunes = QStringLiteral("iTunes Item Identifier");
const QString kiPhoto = QStringLiteral("iPhoto Item Identifier");
const QString kMail = QStringLiteral("Mail Item Identifier");
const QString kEdit = QStringLiteral("Edit Item Identifier");
const QString kNewNote = QStringLiteral("New Note Item Identifier");
const QString kAddressBook = QStringLiteral("Address Book Item Identifier");
const QString kArchive = QStringLiteral("Archive Item Identifier");
const QString kBackups = QStringLiteral("Backups Item Identifier");
const QString kPrefs = QStringLiteral("Prefs Item Identifier");

QString labelOf(const QString &identifier)
{
    static const QHash<QString, const char *> labels{
        {kPrint, "Print"},        {kUpload, "Upload"},    {kNewFolder, "New Folder"}, {kDelete, "Delete"},
        {kiTunes, "Send to Music"}, {kiPhoto, "Send to Photos"}, {kMail, "Mail"},   {kEdit, "Edit"},
        {kNewNote, "New Note"},   {kAddressBook, "Contacts"}, {kArchive, "Archives"}, {kBackups, "Backups"},
        {kPrefs, "Settings"},
    };
    const char *label = labels.value(identifier);
    return label ? QObject::tr(label) : identifier;
}

} // namespace

int FRWindow::indexOfToolbarItemWithIdentifier(const QString &identifier) const
{
    if (!mToolbar)
        return -1;
    const QList<QAction *> items = mToolbar->actions();
    for (int i = 0; i < items.size(); ++i) {
        if (items.at(i)->objectName() == identifier)
            return i;
    }
    return -1;
}

QStringList FRWindow::toolbarIdentifiers() const
{
    QStringList identifiers;
    if (mToolbar) {
        for (const QAction *item : mToolbar->actions())
            identifiers << item->objectName();
    }
    return identifiers;
}

void FRWindow::removeThese(const QStringList &remove, const QStringList &butNotThese)
{
    if (!mToolbar)
        return;
    for (const QString &identifier : remove) {
        const int index = indexOfToolbarItemWithIdentifier(identifier);
        if (index >= 0) {
            QAction *item = mToolbar->actions().at(index);
            mToolbar->removeAction(item);
            item->deleteLater();
        }
    }
    for (const QString &identifier : butNotThese) {
        if (indexOfToolbarItemWithIdentifier(identifier) >= 0)
            continue;
        // The photo send-to item needs a photo application to send to.
        if (identifier == kiPhoto && !SendToApplications::hasPhotosApp() && !SendToApplications::hasiPhotoApp())
            continue;
        const int count = int(mToolbar->actions().size());
        int at;
        if (identifier == kDelete)
            at = 3;
        else if (identifier == kArchive || identifier == kBackups || identifier == kPrefs)
            at = count - 2;
        else if (identifier == kUpload || identifier == kNewFolder)
            at = 0;
        else if (identifier == kPrint)
            at = 1;
        else
            at = count - 4;
        // A short toolbar would give a place before the first item or past the last.
        at = qBound(0, at, count);
        auto *item = new QAction(labelOf(identifier), mToolbar);
        item->setObjectName(identifier);
        QAction *before = at < count ? mToolbar->actions().at(at) : nullptr;
        mToolbar->insertAction(before, item);
    }
}

void FRWindow::updateToolbar()
{
    if (isMusicMode() || isRecordingsMode() || isVoicemailMode()) {
        removeThese({kPrint, kUpload, kNewFolder, kDelete, kiPhoto, kMail, kEdit, kNewNote, kAddressBook},
                    {kiTunes, kArchive, kBackups});
    } else if (isPhotoMode()) {
        removeThese({kPrint, kUpload, kNewFolder, kiTunes, kMail, kEdit, kNewNote, kAddressBook},
                    {kiPhoto, kDelete, kArchive, kBackups});
    } else if (isAddressMode()) {
        removeThese({kPrint, kUpload, kNewFolder, kDelete, kiTunes, kMail, kEdit, kNewNote, kiPhoto},
                    {kAddressBook, kArchive, kBackups});
    } else if (isBookmarkMode()) {
        // The contacts item goes too: Web has nothing to send to the address book.
        removeThese({kUpload, kNewFolder, kDelete, kiTunes, kMail, kEdit, kNewNote, kiPhoto, kAddressBook},
                    {kPrint, kArchive, kBackups});
    } else if (isNotesMode()) {
        removeThese({kUpload, kNewFolder, kDelete, kiTunes, kiPhoto, kAddressBook, kNewNote, kEdit},
                    {kPrint, kMail, kArchive, kBackups});
    } else if (isSMSMode() || isCallMode()) {
        removeThese({kUpload, kNewFolder, kiTunes, kMail, kEdit, kNewNote, kAddressBook, kiPhoto, kDelete},
                    {kPrint, kArchive, kBackups});
    } else {
        removeThese({kPrint, kiTunes, kMail, kEdit, kNewNote, kAddressBook, kiPhoto},
                    {kUpload, kNewFolder, kDelete, kArchive, kBackups});
    }
}
