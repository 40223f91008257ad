#pragma once
// What the export engine (DownloadEngine) copies off the device: a device file or folder, a
// media file (a track or photo: a device path with the name its record proposes), or a
// record that writes its own content (a note, bookmark, voicemail, contact). A list hands
// its selection to the window's downloadFiles() as DownloadItems.
//
// A DownloadRecord is implemented by (or around) a list's record. The engine calls
// keyString, uniqueFileName, downloadSize and setFinalFileName on the main thread while it
// names the files, and writeDownload on its worker thread; an implementation must let both
// threads read what they read (records are immutable snapshots but for the final name, which
// the engine sets before the worker starts and reads back only on the main thread).

#include <QString>

#include <cstdint>
#include <memory>

class DownloadRecord
{
public:
    virtual ~DownloadRecord() = default;

    // Identifies the item in the engine's name table.
    virtual QString keyString() const = 0;
    // The file name the record proposes (unique within its list).
    virtual QString uniqueFileName() const = 0;
    // The bytes the progress bar counts for it.
    virtual uint64_t downloadSize() const = 0;
    // The name the engine chose in the destination folder.
    virtual void setFinalFileName(const QString &name) = 0;
    virtual QString finalFileName() const = 0;
    // Worker thread: writes the content to `path`, whole or not at all (a file there already,
    // an empty placeholder or the file being replaced, stays as it was on failure). Returns 0,
    // kCancelled when the user stopped the transfer, or a code the engine reports.
    virtual int writeDownload(const QString &path) = 0;

    static constexpr int kCancelled = -144;
    // The record holds no content to write (a note without body, a bookmark without URL).
    static constexpr int kNoContent = -225;
    // The file could not be written on this computer.
    static constexpr int kLocalWrite = -222;
};

struct DownloadItem
{
    enum class Kind {
        MediaFile,  // a track or photo: `devicePath`, named `proposedName`
        DevicePath, // a device file or folder, named by its last path component
        Record,     // `record` writes its content
    };

    Kind kind = Kind::DevicePath;
    QString devicePath;
    QString proposedName;
    std::shared_ptr<DownloadRecord> record;

    static DownloadItem path(const QString &devicePath) { return {Kind::DevicePath, devicePath, {}, nullptr}; }
    static DownloadItem media(const QString &devicePath, const QString &uniqueFileName)
    {
        return {Kind::MediaFile, devicePath, uniqueFileName, nullptr};
    }
    static DownloadItem of(std::shared_ptr<DownloadRecord> record)
    {
        return {Kind::Record, {}, {}, std::move(record)};
    }

    bool operator==(const DownloadItem &other) const = default;

    // The key of the engine's name table: the device path, or the record's keyString.
    QString key() const { return kind == Kind::Record ? (record ? record->keyString() : QString()) : devicePath; }
};
