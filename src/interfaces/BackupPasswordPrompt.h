#pragma once
// What core needs of the window for backup passwords: someone who can ask the user for a
// password, and someone who receives the answer. Implemented in the window layer (the
// password sheet) and by the receivers (the device controller, the archive windows).
//
// requestBackupPassword() may be called from any thread; the sheet itself runs on the main
// thread and the answer arrives there, exactly once per request.

#include <QString>

// Delivered instead of a password when the user cancels the sheet on the main window.
inline constexpr char kFailedToGetAPassword[] = "QUILLON_FAILED_TO_GET_A_PASSWORD";

class BackupPasswordReceiver
{
public:
    virtual ~BackupPasswordReceiver() = default;
    // The user's answer (main thread): the password, or kFailedToGetAPassword on cancel,
    // and whether to remember it in the keychain once it proved right.
    virtual void setBackupPassword(const QString &password, bool remember) = 0;
};

class BackupPasswordPrompt
{
public:
    virtual ~BackupPasswordPrompt() = default;
    // True while a sheet asked for by the main window's owner is open; a session thread
    // polls this after requesting a password.
    virtual bool promptingForPassword() const = 0;
    // Asks for the backup password of device `deviceID` on the main window; the device
    // controller receives the answer.
    virtual void requestBackupPassword(const QString &deviceID) = 0;
};
