#include "backup/WantedFiles.h"

const QList<WantedFile> &wantedFileList()
{
    static const QString home = QStringLiteral("HomeDomain");
    static const QString whatsApp = QStringLiteral("AppDomain-net.whatsapp.WhatsApp");
    static const QList<WantedFile> list = {
        {QStringLiteral("Library/Notes/notes.db"), home},
        {QStringLiteral("Library/SMS/sms.db"), home},
        {QStringLiteral("Library/SMS/sms.db-wal"), home},
        {QStringLiteral("Library/CallHistory/call_history.db"), home},
        {QStringLiteral("Library/CallHistoryDB/CallHistory.storedata"), home},
        {QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), home},
        {QStringLiteral("Library/AddressBook/AddressBook.sqlitedb-wal"), home},
        {QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb"), home},
        {QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb-wal"), home},
        {QStringLiteral("Library/Safari/Bookmarks.plist"), home},
        {QStringLiteral("Library/Safari/SuspendState.plist"), home},
        {QStringLiteral("Library/Safari/History.plist"), home},
        {QStringLiteral("Library/Safari/History.db"), QStringLiteral("AppDomain-com.apple.mobilesafari")},
        // Where current devices keep the history: read where the app's own copy is absent.
        {QStringLiteral("Library/Safari/History.db"), home},
        {QStringLiteral("Library/Voicemail/voicemail.db"), home},
        {QStringLiteral("Library/Safari/Bookmarks.db"), home},
        {QStringLiteral("Library/Notes/notes.sqlite"), home},
        {QStringLiteral("Documents/ChatStorage.sqlite"), whatsApp},
        {QStringLiteral("ChatStorage.sqlite"), QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared")},
        {QStringLiteral("Documents/calls.log"), whatsApp},
        {QStringLiteral("NoteStore.sqlite"), QStringLiteral("AppDomainGroup-group.com.apple.notes")},
    };
    return list;
}
