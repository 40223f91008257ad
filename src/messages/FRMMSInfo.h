#pragma once
// One part of a message as the bubble view shows it: a picture, video, voice note, contact
// card, other file, or the message's text. A part shares its message's dictionary (every
// message getter answers for the part as for its message) and adds its type and contents,
// where its attachment bytes come from, its thumbnail, its header and body texts and the
// rectangle of its bubble.
//
// `objectsFromSMSInfo` cuts a message into parts from its HTML body (picture, audio and video
// references, links) and its text. References come from a device: only their last path
// component is used, and one that names no file ("", ".", "..") makes no part.
//
// Ownership: parts are shared pointers kept in the list controller's snapshots; a part keeps
// its message alive. Threads: made on a load thread, read on the main, search, thumbnail and
// export threads; the thumbnail state is atomic and the cached texts are under the record's
// lock.

#include "messages/FRSMSInfo.h"
#include "platform/TypedStream.h"

#include <QRectF>
#include <QSizeF>

class FRMMSInfo;
using FRMMSInfoPtr = std::shared_ptr<FRMMSInfo>;

class FRMMSInfo : public FRSMSInfo
{
public:
    enum Type { Text = 0, Video = 1, Image = 2, ContactCard = 3, Audio = 4, OtherFile = 5 };

    FRMMSInfo(const QString &contents, int type, const FRSMSInfoPtr &parent);

    // The parts of `message` in display order; sets the message's part count.
    static QList<FRMMSInfoPtr> objectsFromSMSInfo(const FRSMSInfoPtr &message);

    int mediaType() const override { return mType; }
    FRSMSInfoPtr parent() const { return mParent; }
    QString contents() const { return mContents; }
    QString tooltip() const override;
    QString SMSFullText() const override;
    QString SMSFullTextConvertEmoji() const override;
    QString SMSXMLNode() const override;
    QString bodyString() const override;
    QByteArray SMSImage() const; // the message's contact picture

    // --- Names -----------------------------------------------------------------------------
    // The file name the attachment is saved under (empty for text), fit for one file.
    QString saveName() const;
    QString mediaTitle() const;
    void setMediaTitle(const QString &title);
    // The extension the file icon is chosen by ("amr" and "opus" show as "m4a").
    QString iconExtension() const;

    // --- Texts and geometry -----------------------------------------------------------------
    // The body as drawn: tabs as spaces, emoji converted; normal style, white on the coloured
    // bubbles of sent non-WhatsApp messages, big for one to three emoji.
    TypedAttributedString bodyAttributedString() const;
    bool drawAsEmoji() const;
    bool showAsIcon() const { return mShowAsIcon.load() || ((mType == Image || mType == Video) && !mMediaExists); }
    // The header above the bubble: for the whole conversation view ("Sent to Ann on ...")
    // or, when one conversation is shown, without the name ("Sent on ...").
    TypedAttributedString SMSHeader() const;
    QSizeF headerSize() const;
    TypedAttributedString SMSRow() const override;
    // The bubble inside a row frame (header line included at its top).
    QRectF contentRectForFrame(const QRectF &frame) const;
    double heightOfRowForWidth(double width) const override;

    // --- Attachment -------------------------------------------------------------------------
    // The stored bytes (or the path of the file holding them) of the attachment or of its
    // thumbnail, from the backup work folder (decrypted when the backup is), the archive, or
    // the device's piece cache. Invalid when there is none.
    QVariant mediaData(bool thumbnail) const;
    bool mediaExists(bool thumbnail) const;
    // The attachment's bytes, read from its file when the store holds a path.
    QByteArray mediaBytes() const;
    // Saves the attachment into `folder` under `name` (or saveName()), at the first free
    // name among the name and the name with "-1" ... "-4999" before its extension; voice notes
    // of AMR or Opus become MPEG-4 audio. The file's dates become the message's. The path,
    // or empty on any failure (nothing is left under the name then).
    QString saveMediaToPath(const QString &folder, const QString &name = {}) const;

    // --- Thumbnails (pictures and videos) ---------------------------------------------------
    bool hasThumb() const { return mHasThumb.load(); }
    void setHasThumb(bool has) { mHasThumb.store(has); }
    // Makes and stores the thumbnail when none is stored; true when the view should redraw.
    bool generateThumb();
    // The stored thumbnail's bytes (JPEG), or empty.
    QByteArray thumbnailBytes() const;

private:
    QString pieceName() const;
    void buildHeaders() const;

    const int mType;
    const FRSMSInfoPtr mParent;
    const QString mContents;
    QString mMediaTitle; // mLock
    std::atomic<bool> mShowAsIcon{false};
    std::atomic<bool> mMediaExists{false};
    std::atomic<bool> mHasThumb{false};
    // Cached texts, rebuilt when the fonts change (MessageFonts::generation()).
    mutable uint64_t mHeaderGeneration = 0; // mLock
    mutable TypedAttributedString mHeaderString, mHeaderIndividualString;
    mutable QSizeF mHeaderStringSize, mHeaderIndividualStringSize;
    mutable bool mBodyBuilt = false;
    mutable TypedAttributedString mBodyString;
    mutable bool mShowAsEmoji = false;
    mutable double mRowWidth = -1, mRowHeight = 0;
    mutable uint64_t mRowGeneration = 0;
};
