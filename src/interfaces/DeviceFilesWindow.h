#pragma once
// What the device controller's file access, status line and app list ask of the main
// window beyond FRWindowHub. The window implements both; the controller finds this one with
// a cast of its window, and does without it (no mode, nothing reported) when it is absent.
//
// windowMode() and selectionIsInUserArea() are read by transfer and free-space threads, so
// the window answers them from any thread (it keeps them in atomics); every other call comes
// on the main thread.

#include <QString>

class DeviceFilesWindow
{
public:
    enum class Mode {
        Other,
        Files,
        FileSharing, // the app list and an app's container
        Photos,
        Notes,
        Messages,
        Calls,
        Contacts,
        Bookmarks,
        VoiceMemos,
        Voicemail,
        Music,
    };

    virtual ~DeviceFilesWindow() = default;

    virtual Mode windowMode() const = 0;
    // NO only when whole-disk mode is on and the browser's selection lies outside the user area.
    virtual bool selectionIsInUserArea() const = 0;
    // The count the status line shows for a mode (photos, notes, messages, calls, contacts,
    // bookmarks, voice memos, voicemails, the current music sub-mode's tracks).
    virtual int itemCount(Mode mode) const = 0;
    // The item noun of the current music sub-mode ("Track").
    virtual QString subModeName() const = 0;
    // Clears the list controllers' item counts (a backup is being cancelled).
    virtual void clearItemCounts() = 0;
    // The sheet "Error Connecting to Device" with the code.
    virtual void reportCantGetDirectoriesError(int code) = 0;
    // Reloads the file browser from its first column.
    virtual void reloadData() = 0;
    // The app list changed (AppController::sharableApps()).
    virtual void appsChanged() = 0;
    // An app's icon is now in the icon cache.
    virtual void appIconFetched(const QString &bundleId) = 0;
};
