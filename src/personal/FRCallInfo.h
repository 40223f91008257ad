#pragma once
// One call-history entry or voicemail: a thin record over the call dictionary that the
// extraction and the archive reader build. It gives the texts and sort keys of the call
// table, the search text, the export line, the export file names of voicemail and saving a
// voicemail as audio. Images join this class with the calls list.
//
// Ownership: shared (std::shared_ptr), never copied. Threads: made on a load thread, then
// read on the main and search threads; the dictionary is guarded by the record's lock.
//
// Flags ("Flags"): bit 0 outgoing, bit 4 video; other bits are not interpreted.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <mutex>

class CallListController;

namespace CallKey {
inline const QString CallID = QStringLiteral("Call ID");
inline const QString RemoteID = QStringLiteral("Remote ID");
inline const QString Date = QStringLiteral("Date");
inline const QString Number = QStringLiteral("Number");
inline const QString Name = QStringLiteral("Name");
inline const QString Duration = QStringLiteral("Duration");
inline const QString Flags = QStringLiteral("Flags");
inline const QString Provider = QStringLiteral("Provider");
inline const QString OnPhone = QStringLiteral("On Phone");
inline const QString IsVoicemail = QStringLiteral("Is Voicemail");
inline const QString Category = QStringLiteral("Category");
inline const QString AMR = QStringLiteral("AMR");
inline const QString Unread = QStringLiteral("Unread");
inline const QString UniqueFileName = QStringLiteral("Unique File Name");
inline const QString FinalFileName = QStringLiteral("Final File Name");
} // namespace CallKey

class FRCallInfo;
using FRCallInfoPtr = std::shared_ptr<FRCallInfo>;

class FRCallInfo
{
public:
    FRCallInfo(const QVariantMap &info, CallListController *dataController);
    FRCallInfo(const FRCallInfo &) = delete;
    FRCallInfo &operator=(const FRCallInfo &) = delete;

    static FRCallInfoPtr infoWithInfo(const QVariantMap &info, CallListController *dataController);

    QVariantMap info() const;
    QVariant keyOrBlank(const QString &key) const; // or "Unknown"
    int itemId() const;
    QString keyString() const;
    QVariant remoteId() const;
    QDateTime CallNSDate() const; // invalid when missing
    QString CallName() const;
    QVariant CallDBName() const; // invalid when missing
    QString CallNumber() const;
    int CallSeconds() const;
    int CallFlags() const;
    QVariant CallProvider() const; // invalid when missing
    bool CallOnPhone() const;
    bool isVoicemail() const;
    QString category() const;
    QByteArray amr() const;
    bool hasAMR() const;
    uint64_t dataSize() const;
    bool unread() const;
    void setread();
    bool isVoiceMemo() const { return false; }
    bool isPDF() const { return false; }
    QString uniqueFileName() const;
    QString finalFileName() const;
    QString setFinalFileName(const QString &name);
    CallListController *dataController() const { return mDataController; }
    QString thisControllersDB() const { return mThisControllersDB; }

    // Column texts.
    QString CallDate() const;
    QString CallDuration() const;
    QString CallStatus() const;
    QString CallProviderName() const; // null without a provider word
    // Sort keys.
    double CallDateSort() const;
    QString CallNumberSort() const { return CallNumber(); }
    QString CallNameSort() const { return CallName(); }
    QString CallTypeSort() const;
    int CallDurationSort() const;

    bool matchesSearchFor(const QString &query) const;
    QString CallDetails() const;
    QString description() const;

    void setUniqueFileName();
    static QString fixFileName(const QString &name);
    // Makes this row's file name differ from every name in `chosen` (the rows already
    // picked for the same copy).
    void makeUniqueFileName(const QList<FRCallInfoPtr> &chosen);

    // Saves the voicemail's audio as MPEG-4 audio at `destination`. True only when the
    // destination now holds it; otherwise it is as it was. Blocks the calling thread (a
    // transfer worker) for the whole conversion.
    bool saveMovie(const QString &destination) const;

private:
    QVariant value(const QString &key) const;
    bool outgoing() const { return CallFlags() & 1; }
    bool video() const { return CallFlags() & 16; }

    mutable std::mutex mLock;
    QVariantMap mInfo;           // mLock
    mutable QString mSearchBlob; // mLock
    mutable int mCallId = 0;     // mLock
    CallListController *mDataController = nullptr;
    QString mThisControllersDB;
};
