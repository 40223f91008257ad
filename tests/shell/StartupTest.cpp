#include "TestHome.h"
#include "shell/AppDelegate.h"
#include "interfaces/FRWindowHub.h"
#include "shell/Respawn.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

QStringList gCalls;

class RecordingWindow : public FRWindowHub
{
public:
    bool pendingEdits = false;
    bool askAboutQuitting() override { gCalls << "askAboutQuitting"; return pendingEdits; }
    void closeup() override { gCalls << "closeup"; }
    void setStatusMessage(const QString &, const QString &, const QString &) override {}
    void reportiTunes81Required() override {}
    void setThreadRunning(bool) override {}
    void initiateIndeterminateProgressAfterAFewSeconds(const QString &) override {}
    void loadArchiveWindows() override {}
    void setupDevice() override {}
    void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &) override {}
    void updateDevicesMenuSelection(const ConnectedDeviceEntry &) override {}
    void loadData(int) override {}
    void doRefresh() override {}
    void showErrorOnMain() override {}
    void reportPassCodeError(int) override {}
    void showInformationPanel(const QString &, const QString &) override {}
    bool opened() const override { return true; }
    void stopPhotosThread() override {}
    void refreshBackupWindows() override {}
    void setBackupProgressMax(double) override {}
    void setBackupProgressValue(double) override {}
};

class RecordingArchiveWindow : public ArchiveWindowHook
{
public:
    explicit RecordingArchiveWindow(QString name) : mName(std::move(name)) {}
    void save() override { gCalls << "save " + mName; }

private:
    QString mName;
};

} // namespace

TEST(Startup, RespawnMarkerNeverSpawnsAgain)
{
    char program[] = "Quillon", marker[] = "-respawn", other[] = "-psn_0_1";
    char *withMarker[] = {program, other, marker, nullptr};
    char *without[] = {program, other, nullptr};
    EXPECT_TRUE(respawnAppropriateArchitecture(3, withMarker));
    EXPECT_FALSE(respawnAppropriateArchitecture(2, without));
}

TEST(Startup, QuitAsksTheWindowThenSavesArchivesInOrderAndCollapses)
{
    RecordingWindow window;
    RecordingArchiveWindow sms("messages"), calls("calls"), voicemail("voicemail"),
        smsBackup("messages backup"), callBackup("calls backup"), voicemailBackup("voicemail backup");
    AppDelegate delegate;
    delegate.mainWindow = &window;
    // Wired in a different order than they must save.
    delegate.voicemailBackupWindow = &voicemailBackup;
    delegate.smsWindow = &sms;
    delegate.callBackupWindow = &callBackup;
    delegate.callWindow = &calls;
    delegate.smsBackupWindow = &smsBackup;
    delegate.voicemailWindow = &voicemail;

    delegate.applicationDidFinishLaunching();
    EXPECT_FALSE(delegate.applicationShouldTerminateAfterLastWindowClosed());

    gCalls.clear();
    window.pendingEdits = true;
    EXPECT_EQ(delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::TerminateLater);
    window.pendingEdits = false;
    EXPECT_EQ(delegate.applicationShouldTerminate(), AppDelegate::TerminateReply::TerminateNow);
    delegate.applicationWillTerminate();
    EXPECT_EQ(gCalls, QStringList({"askAboutQuitting", "askAboutQuitting", "save messages", "save calls",
                                   "save voicemail", "save messages backup", "save calls backup",
                                   "save voicemail backup", "closeup"}));
}
