// The window's mode: which kind of content it shows, what the device controller reads of it
// (the mode from any thread, the item noun), the mode switch and the data refresh. Only
// the parts whose views exist are here; the sidebar, the lists, the file browser and the
// toolbar join them in their own sources.

#include "FRWindow.h"

#include "device/AppController.h"

namespace {

struct ModeRow
{
    const char *name;
    DeviceFilesWindow::Mode mode;
    const char *noun; // the item noun of the status line
};

using Mode = DeviceFilesWindow::Mode;

constexpr ModeRow kModes[] = {
    {"SMS", Mode::Messages, ""},
    {"VOICEMAIL", Mode::Voicemail, "Voicemail"},
    {"LOG", Mode::Calls, ""},
    {"CONTACTS", Mode::Contacts, ""},
    {"NOTES", Mode::Notes, ""},
    {"WEB", Mode::Bookmarks, ""},
    {"FILESHARING", Mode::FileSharing, "Apps"},
    {"FILE", Mode::Files, ""},
    {"MUSIC", Mode::Music, "Track"},
    {"VIDEO", Mode::Music, "Video"},
    {"AUDIOBOOK", Mode::Music, "Book"},
    {"PODCAST", Mode::Music, "Podcast"},
    {"RINGTONE", Mode::Music, "Ringtone"},
    {"PHOTOS", Mode::Photos, ""},
    {"RECORDINGS", Mode::VoiceMemos, ""},
    {"MUSICVIDEO", Mode::Music, "Music Video"},
    {"MOVIES", Mode::Music, "Movie"},
    {"TVSHOW", Mode::Music, "TV Show"},
};

const ModeRow *rowOf(const QString &mode)
{
    for (const ModeRow &row : kModes) {
        if (mode == QLatin1String(row.name))
            return &row;
    }
    return nullptr;
}

} // namespace

bool FRWindow::isFileMode() const
{
    return mCurrentMode == QLatin1String("FILE");
}

bool FRWindow::isFileSharingMode() const
{
    return mCurrentMode == QLatin1String("FILESHARING");
}

QString FRWindow::subModeName() const
{
    const ModeRow *row = rowOf(mCurrentMode);
    return row ? QString::fromLatin1(row->noun) : QString();
}

void FRWindow::changeModes()
{
    if (mDevice)
        mDevice->showMessage(true);
    // Transfer and free-space threads read the mode; they see the new one from here on.
    const ModeRow *row = rowOf(mCurrentMode);
    mWindowMode.store(row ? row->mode : Mode::Other);
    // No list holds data yet, so every mode refreshes.
    refreshThings();
    updateStatus();
}

void FRWindow::refreshThings()
{
    if (!mDevice || !mDevice->connectedStatus())
        return;
    // Apps mode lists the container of the app chosen in the app list, which comes with the
    // app list itself.
    if (isFileMode())
        mDevice->refreshDirectories();
    updateStatus();
}

void FRWindow::updateStatus()
{
    if (mDevice)
        mDevice->updateStatusMessage();
}
