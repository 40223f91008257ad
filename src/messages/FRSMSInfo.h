#pragma once
// One message of any service (SMS, iMessage, WhatsApp, Messenger): a thin record over the
// message dictionary that the extraction and the archive reader build, answering who, when,
// which service, which direction and state, the texts of each export format and search.
// Measuring and drawing join this class with the bubble view; the parts of a message
// (FRMMSInfo) derive from it and override the texts marked virtual.
//
// Ownership: records are shared (std::shared_ptr), never copied. Threads: made on a load
// thread, then read from the load, search and main threads; the dictionary and the lazily
// built values are guarded by the record's own lock.
//
// Flags ("Flags", a 32-bit signed number): bit 0 sent by the owner (clear: received),
// bit 5 sending failed, bit 28 Messenger, bit 29 WhatsApp, bit 30 iMessage, bit 31 (a
// negative value) waiting for delivery. A regular message has none of bits 28 to 30.

#include "platform/TypedStream.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class Keybag;
class SMSDataController;

namespace SMSKey {
inline const QString SMSID = QStringLiteral("SMS ID");
inline const QString RemoteID = QStringLiteral("Remote ID");
inline const QString Address = QStringLiteral("Address");
inline const QString Sender = QStringLiteral("Sender");
inline const QString Date = QStringLiteral("Date");
inline const QString Text = QStringLiteral("Text");
inline const QString HTML = QStringLiteral("HTML");
inline const QString Flags = QStringLiteral("Flags");
inline const QString GroupTitle = QStringLiteral("Group Title");
inline const QString SenderName = QStringLiteral("Sender Name");
inline const QString RecipientNames = QStringLiteral("Recipient Names");
inline const QString Files = QStringLiteral("Files");
inline const QString FilesIDs = QStringLiteral("FilesIDs");
inline const QString OnPhone = QStringLiteral("On Phone");
inline const QString Size = QStringLiteral("Size");
inline const QString Synctime = QStringLiteral("synctime");
inline const QString Device = QStringLiteral("device");
inline const QString Thread = QStringLiteral("Thread");
inline const QString SortOrder = QStringLiteral("Sort Order");
} // namespace SMSKey

namespace SMSFlag {
constexpr int32_t Sent = 0x00000001;
constexpr int32_t Failed = 0x00000020;
constexpr int32_t Messenger = 0x10000000;
constexpr int32_t WhatsApp = 0x20000000;
constexpr int32_t IMessage = 0x40000000;
} // namespace SMSFlag

class FRSMSInfo;
using FRSMSInfoPtr = std::shared_ptr<FRSMSInfo>;

class FRSMSInfo
{
public:
    FRSMSInfo(const QVariantMap &info, SMSDataController *dataController);
    virtual ~FRSMSInfo() = default;
    FRSMSInfo(const FRSMSInfo &) = delete;
    FRSMSInfo &operator=(const FRSMSInfo &) = delete;

    static FRSMSInfoPtr infoWithInfo(const QVariantMap &info, SMSDataController *dataController);

    // Backup context, set by the extraction.
    void setIsiTunes(const QString &workFolderName);
    QString iTunesString() const;
    void setKeyBag(const std::shared_ptr<Keybag> &keybag, const QVariantMap &keysNClasses);
    std::shared_ptr<Keybag> keybag() const;
    QVariantMap keysNClasses() const;
    void setIsBackup(bool backup);
    bool isBackup() const;

    // The dictionary (a copy) and single keys.
    QVariantMap info() const;
    QVariant keyOrBlank(const QString &key) const;       // or "Unknown"
    QVariant keyOrReallyBlank(const QString &key) const; // or ""
    QString keyString() const;
    int itemId() const;
    QVariant remoteId() const; // the value or "Unknown"; the archive stores its number
    int64_t SMSRemoteID() const { return mRemote; }
    QString SMSNumber() const;
    QString SMSNumberSpecific() const;
    QDateTime SMSNSDate() const; // now when missing
    double SMSSeconds() const { return mSeconds; }
    QString SMSDate() const;
    QString SMSRawText() const;
    virtual QString SMSFullText() const;
    virtual QString SMSFullTextConvertEmoji() const;
    QString SMSFullHTML() const;
    // The "Message" element of the XML export (serialised).
    virtual QString SMSXMLNode() const;
    int32_t SMSFlagsInt() const;
    bool SMSIncoming() const { return !(SMSFlagsInt() & SMSFlag::Sent); }
    bool SMSiMessage() const { return SMSFlagsInt() & SMSFlag::IMessage; }
    bool SMSWhatsApp() const { return SMSFlagsInt() & SMSFlag::WhatsApp; }
    bool SMSFB() const { return SMSFlagsInt() & SMSFlag::Messenger; }
    bool SMSRegularMessage() const { return mRegular; }
    QString SMSType() const;
    bool SMSOnPhone() const;
    QString GroupTitle() const;
    QString SenderName() const;
    QString RecipientNames() const;
    QVariantMap files() const;
    QStringList fileids() const;
    void clearFiles();
    void setFiles(const QVariantMap &files);
    uint64_t Size() const;
    int64_t synctime() const;
    QString device() const;
    void setDevice(const QString &device);

    // The conversation the list assigned.
    QString SMSAddress() const;
    QString SMSAddressSpecific() const;
    QString SMSShortenedAddressSpecific() const;
    QVariant SMSThreadIds() const;
    QVariant SMSThreadNameList() const;
    void addThreadObject(const QVariantMap &thread);
    void setSort(int order);
    void addImageObject(const QByteArray &image);
    QByteArray image() const;

    virtual int mediaType() const { return 0; }
    int childCount() const { return mChildren; }
    void setChildCount(int children) { mChildren = children; }
    QString description() const;
    SMSDataController *dataController() const { return mDataController; }

    // Service word for search and the legacy list: "iMessage", "WhatsApp", "Facebook", "".
    virtual QString kindString() const;
    // The text shown for the record.
    virtual QString bodyString() const { return SMSText(); }

    // Gateway numbers of instant-messaging services and the screen name in their texts.
    static bool isAIM(const QString &address);
    static QString getScreenName(const QString &text);

    QString SMSText() const;
    virtual QString tooltip() const;
    // The row text of the one-row-per-message list ("Received from Ann on <date>", the
    // text below), its runs naming message styles; parts answer their header and body.
    virtual TypedAttributedString SMSRow() const;
    // Row height for a column width: the row text measured 67 points narrower (the person
    // picture), plus 10, at least 52; cached per width and text size.
    virtual double heightOfRowForWidth(double width) const;
    bool matchesSearchFor(const QString &query) const;
    bool isInThreads(const QVariantList &selection) const;

    // Export texts.
    QString SMSDetailsXML() const;
    QString SMSDetailsTabbed() const;
    QString SMSDetailsCSV() const;
    QString SMSDetails() const;

    // Voice attachments saved as MPEG-4 audio at `destination`: an Ogg Opus recording, and an
    // AMR one. True only when the destination now holds the converted sound; otherwise it is
    // as it was. Block the calling thread (never the main thread) for the whole conversion.
    static bool convertOpusToMP4(const QByteArray &data, const QString &destination);
    static bool convertMovieToMP4(const QByteArray &data, const QString &destination);

protected:
    QVariant value(const QString &key) const;
    // XML 1.0 text (what the format cannot carry dropped, the rest escaped), and an element.
    static QString xmlText(const QString &text);
    static QString xmlElement(const QString &name, const QString &text);
    // The number shown and exported: the screen name for gateway addresses.
    QString exportNumber() const;
    QString serviceName() const;

    mutable std::mutex mLock;
    QVariantMap mInfo;                // mLock
    mutable QString mSearchBlob;      // mLock
    mutable QString formattedDate;    // mLock
    mutable int mSMSId = 0;           // mLock
    QByteArray mImage;                // mLock
    SMSDataController *mDataController = nullptr;
    std::atomic<int> mChildren{0};
    std::atomic<bool> mBackup{false};
    QString miTunesString;            // mLock
    std::shared_ptr<Keybag> mKeybag;  // mLock
    QVariantMap mKeysNClasses;        // mLock
    mutable double mRowHeight = 0, mColumnWidth = -1; // mLock
    mutable uint64_t mRowFonts = 0;                   // mLock
    double mSeconds = 0;
    bool mRegular = true;
    int64_t mRemote = 0;
};

Q_DECLARE_METATYPE(FRSMSInfoPtr)

// The integer value of a text as the design's records read numbers: leading blanks, an
// optional sign and the digits up to the first other character; 0 without digits.
int64_t leadingInteger(const QString &text);
// A value of a record dictionary as a 32-bit signed integer (texts read as above, wider
// values keep their low 32 bits).
int32_t recordInt32(const QVariant &value);
