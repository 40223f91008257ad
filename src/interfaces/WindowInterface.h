#pragma once
// What a list controller sends to the window that owns it. The main window answers it, and
// so do the archive windows (several operations there with empty bodies); a controller never
// assumes which of them it talks to.
//
// Main thread only: a controller that finishes work on a worker thread reaches these through
// a main-thread perform. The spinner and archive messages are always delivered there.

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

struct DownloadItem;
class FRNoteInfo;
class FRSMSInfo;
class ListControllerInterface;

class WindowInterface
{
public:
    virtual ~WindowInterface() = default;

    // The status line is recomposed (after a table update or a flush).
    virtual void updateStatus() = 0;
    // The per-mode toolbar set.
    virtual void updateToolbar() = 0;
    // The load-error alert for a failed load with the given code.
    virtual void displayDownloadError(int code) = 0;

    // One spinner switch per kind: shown while that kind loads.
    virtual void doSMSSpinner(bool on) = 0;
    virtual void doCallSpinner(bool on) = 0;
    virtual void doNotesSpinner(bool on) = 0;
    virtual void doAddressSpinner(bool on) = 0;
    virtual void doBookmarkSpinner(bool on) = 0;
    virtual void doVoicemailSpinner(bool on) = 0;

    // The archive window of the kind refreshes when it shows the connected device.
    virtual void updateSMSArchive() = 0;
    virtual void updateCallArchive() = 0;
    virtual void updateVoicemailArchive() = 0;

    // A conversation (HTML) and a note (nil: none) are shown.
    virtual void setSMSText(const QString &html, bool isHTML, const FRSMSInfo *smsid) = 0;
    virtual void setNoteText(const FRNoteInfo *note) = 0;
    // The play button follows the media controller's playback state.
    virtual void updatePlaybackUI() = 0;

    // Mode tests: a controller shows its spinner only while the window is in its mode.
    virtual bool isSMSMode() const = 0;
    virtual bool isCallMode() const = 0;
    virtual bool isNotesMode() const = 0;
    virtual bool isAddressMode() const = 0;
    virtual bool isBookmarkMode() const = 0;
    virtual bool isPhotoMode() const = 0;
    virtual bool isVoicemailMode() const = 0;
    virtual bool isMusicMode() const = 0;
    virtual bool isPlayableMusicMode() const = 0;
    virtual bool isWatchableMode() const = 0;

    // What happens to the files of the next download.
    virtual void setRevealDownload() = 0;
    virtual void setSendToPreview() = 0;
    virtual void setSendToEditor() = 0;

    // The delayed progress sheet of photo and media loads.
    virtual void setThreadRunning(bool running) = 0;
    virtual void initiateIndeterminateProgressAfterAFewSeconds(const QString &text) = 0;

    // The export engine (device/DownloadEngine.h): copies the items into the folder `path`,
    // naming clashes uniquely (`makeUnique`) or asking; device paths are absolute (`atRoot`) or
    // below the file service's start folder. The final names, or empty when nothing starts
    // now. Windows without transfers copy nothing.
    virtual QStringList downloadFiles(const QList<DownloadItem> & /*items*/, const QString & /*path*/,
                                      bool /*makeUnique*/, bool /*atRoot*/)
    {
        return {};
    }

    // The messages controller of the window (the message cell and the printable table read it).
    virtual ListControllerInterface *dataController() const = 0;
    // The archive loading thread's state; answered by archive windows only.
    virtual void setLoading(bool loading) = 0;

    // The notes list's calls (the main window answers them; other windows do nothing).
    // Opens the note for editing.
    virtual void editNote(const std::shared_ptr<FRNoteInfo> &note) {}
    // Whether a dropped file is a text or word-processor document by its type.
    virtual bool checkForFileType(const QString &path) const { return false; }
};
