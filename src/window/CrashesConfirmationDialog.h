#pragma once
// The window's way of asking whether crash reports of the previous run may be sent: a
// window-modal question on the main window with Send, Always Send and Don't Send, whose
// answer goes back to the crashes service (1, 2, 0). Quillon does not install it by
// default (the application only sets the service's delegate); a build that wants to ask
// the user hands it to VUCrashes::setUserConfirmationHandler.
//
// askUser runs on the main thread (the service calls it there) and returns at once; the
// answer arrives when the user clicks.

#include "telemetry/crashes/VUCrashesDelegate.h"

#include <functional>

class CrashesConfirmationDialog : public VUCrashesUserConfirmationHandler
{
public:
    // Where the answer goes; the service's notifyWithUserConfirmation unless a test says otherwise.
    explicit CrashesConfirmationDialog(std::function<void(quint64)> answer = {});
    bool askUser(const QList<std::shared_ptr<VUErrorReport>> &reports) override;

private:
    std::function<void(quint64)> mAnswer;
};
