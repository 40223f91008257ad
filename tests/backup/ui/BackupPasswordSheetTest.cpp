#include "BackupGenerator.h"
#include "TestHome.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupKeychain.h"
#include "backup/DeviceBackup.h"
#include "backup/ui/BackupPasswordSheet.h"
#include "platform/Paths.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QWidget>

#include <functional>
#include <thread>

namespace {

struct Answer
{
    QString password;
    bool remember = false;
};

class RecordingReceiver : public BackupPasswordReceiver
{
public:
    void setBackupPassword(const QString &password, bool remember) override
    {
        answers.append({password, remember});
        if (onAnswer)
            onAnswer(password, remember);
    }
    QList<Answer> answers;
    std::function<void(const QString &, bool)> onAnswer;
};

class BackupPasswordSheetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
        mHome = std::make_unique<TestHome>();
        mMainWindow.show();
        mArchiveWindow.show();
    }
    void TearDown() override { BackupCredentials::clear(); }

    std::unique_ptr<TestHome> mHome;
    QWidget mMainWindow;
    QWidget mArchiveWindow;
    RecordingReceiver mDeviceController;
};

TEST_F(BackupPasswordSheetTest, MainWindowSheetDeliversToDeviceController)
{
    BackupPasswordSheet sheet(&mMainWindow, &mDeviceController);
    // The host application's item is looked up under the identifier's first part.
    Keychain::store(BackupKeychain::kHostBackupService, "00008030", "host-stored");

    // Asked from a session thread: prompting is true at once, the sheet opens on the main thread.
    std::thread session([&] { sheet.requestBackupPassword("00008030-001A2B3C4D5E6F70"); });
    session.join();
    EXPECT_TRUE(sheet.promptingForPassword());
    QApplication::processEvents();
    QDialog *dialog = sheet.passwordSheet();
    ASSERT_TRUE(dialog && dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->parentWidget(), &mMainWindow);
    EXPECT_EQ(dialog->windowTitle(), "Backup Encryption Password Required");
    EXPECT_EQ(dialog->findChild<QLabel *>("passwordTopText")->text(), "Enter the password used for encrypted backups.");
    EXPECT_TRUE(dialog->findChild<QLabel *>("passwordBottomText")->text().endsWith("turning on backup encryption."));
    EXPECT_EQ(dialog->findChild<QLabel *>("passwordFieldLabel")->text(), "Password:");
    EXPECT_EQ(sheet.passwordField()->text(), "host-stored");
    EXPECT_EQ(sheet.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(sheet.passwordKeychainCheckbox()->isChecked());
    EXPECT_EQ(sheet.passwordKeychainCheckbox()->text(), "Remember this password in my keychain");

    // OK with the box off: the typed password, not remembered.
    sheet.passwordField()->setText("typed");
    sheet.passwordKeychainCheckbox()->setChecked(false);
    sheet.passwordOK()->click();
    QApplication::processEvents();
    ASSERT_EQ(mDeviceController.answers.size(), 1);
    EXPECT_EQ(mDeviceController.answers[0].password, "typed");
    EXPECT_FALSE(mDeviceController.answers[0].remember);
    EXPECT_FALSE(sheet.promptingForPassword());

    // No stored item: an empty field, the box on again. Cancel delivers the sentinel.
    sheet.requestBackupPassword("abcdef");
    EXPECT_TRUE(sheet.passwordField()->text().isEmpty());
    EXPECT_TRUE(sheet.passwordKeychainCheckbox()->isChecked());
    sheet.passwordCancel()->click();
    QApplication::processEvents();
    ASSERT_EQ(mDeviceController.answers.size(), 2);
    EXPECT_EQ(mDeviceController.answers[1].password, QString::fromLatin1(kFailedToGetAPassword));
    EXPECT_FALSE(mDeviceController.answers[1].remember);
    EXPECT_FALSE(sheet.promptingForPassword());
}

// The whole road: a generated encrypted backup in the backup folder is listed locked, the
// sheet on an archive window is answered (first wrongly, then rightly, "remember" on), the
// backup unlocks and its files decrypt; a cancel sends nothing; a remembered password that
// went stale is removed when the backups are listed again.
TEST_F(BackupPasswordSheetTest, UnlocksListedBackupThroughSheet)
{
    BackupPasswordSheet sheet(&mMainWindow, &mDeviceController);
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    recipe.keybag.password = "open sesame";
    recipe.files = {{"HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", BackupGen::randomBytes(70000), 4}};
    const BackupGen::Backup generated = BackupGen::write(Paths::backupFolder() + "/enc-device", recipe);

    QList<DeviceBackupPtr> list = DeviceBackup::allBackups();
    ASSERT_EQ(list.size(), 1);
    DeviceBackupPtr backup = list[0];
    ASSERT_TRUE(backup->encrypted());
    ASSERT_FALSE(backup->hasUnlockedKeybag());
    const QString account = backup->keychainAccount();

    RecordingReceiver archiveWindow;
    QList<int> statuses;
    archiveWindow.onAnswer = [&](const QString &password, bool remember) {
        statuses.append(backup->unlockWithPassword(password, remember));
    };

    sheet.requestBackupPassword(backup->targetID(), &mArchiveWindow, &archiveWindow);
    EXPECT_EQ(sheet.passwordSheet()->parentWidget(), &mArchiveWindow);
    EXPECT_FALSE(sheet.promptingForPassword());  // only the main window's sheet is polled
    sheet.passwordCancel()->click();
    QApplication::processEvents();
    EXPECT_TRUE(archiveWindow.answers.isEmpty());
    EXPECT_TRUE(mDeviceController.answers.isEmpty());

    auto ask = [&](const QString &password) {
        sheet.requestBackupPassword(backup->targetID(), &mArchiveWindow, &archiveWindow);
        ASSERT_TRUE(sheet.passwordSheet()->isVisible());
        sheet.passwordField()->setText(password);
        sheet.passwordOK()->click();
        QApplication::processEvents();
    };
    ask("open sesame?");
    ASSERT_EQ(statuses, QList<int>{Keybag::kWrongPassword});
    EXPECT_FALSE(backup->hasUnlockedKeybag());
    QByteArray secret;
    EXPECT_EQ(Keychain::find(BackupKeychain::kPasswordService, account, &secret), Keychain::Status::NotFound);

    ask("open sesame");
    ASSERT_EQ(statuses, (QList<int>{Keybag::kWrongPassword, Keybag::kUnlocked}));
    EXPECT_TRUE(backup->hasUnlockedKeybag());
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, account), "open sesame");
    EXPECT_EQ(BackupKeychain::getOurBackupKey(false, account), backup->keybag()->decoded());

    QTemporaryDir out;
    const QString id = BackupGen::fileID(recipe.files[0].domain, recipe.files[0].relativePath);
    ASSERT_TRUE(backup->decryptFile(generated.pathOf(id), out.filePath("calls"), generated.wrappedKeys.value(id), 4));
    QFile plain(out.filePath("calls"));
    ASSERT_TRUE(plain.open(QIODevice::ReadOnly));
    EXPECT_EQ(plain.readAll(), recipe.files[0].contents);

    // Listed again in a new run: unlocked from the keychain without asking.
    BackupCredentials::clear();
    EXPECT_TRUE(DeviceBackup::allBackups().value(0)->hasUnlockedKeybag());

    // The password was changed elsewhere: the stale items go on the next listing.
    BackupCredentials::clear();
    BackupKeychain::rememberPassword("old password", QByteArray(32, 'o'), account);
    EXPECT_FALSE(DeviceBackup::allBackups().value(0)->hasUnlockedKeybag());
    EXPECT_EQ(Keychain::find(BackupKeychain::kPasswordService, account, &secret), Keychain::Status::NotFound);
    EXPECT_EQ(Keychain::find(BackupKeychain::kKeyService, account, &secret), Keychain::Status::NotFound);
}

} // namespace

// Closing an archive window takes the sheet shown on it along: the next request, on any
// window, gets a working sheet of its own instead of a dangling one or a "sheet already up".
TEST_F(BackupPasswordSheetTest, ClosingTheSheetsWindowLeavesTheSheetUsable)
{
    BackupPasswordSheet sheet(&mMainWindow, &mDeviceController);
    RecordingReceiver archiveReceiver;
    auto *archive = new QWidget;
    archive->show();
    sheet.requestBackupPassword("abcdef", archive, &archiveReceiver, QStringLiteral("x"));
    ASSERT_TRUE(sheet.passwordSheet() && sheet.passwordSheet()->isVisible());
    delete archive;
    EXPECT_EQ(sheet.passwordSheet(), nullptr);
    EXPECT_TRUE(archiveReceiver.answers.isEmpty()) << "nothing for a window that went away";

    sheet.requestBackupPassword("00008030-001A2B3C4D5E6F70");
    QApplication::processEvents();
    EXPECT_TRUE(mDeviceController.answers.isEmpty()) << "not refused as already up";
    ASSERT_TRUE(sheet.passwordSheet() && sheet.passwordSheet()->isVisible());
    EXPECT_EQ(sheet.passwordSheet()->parentWidget(), &mMainWindow);
    sheet.passwordField()->setText("typed");
    sheet.passwordOK()->click();
    QApplication::processEvents();
    ASSERT_EQ(mDeviceController.answers.size(), 1);
    EXPECT_EQ(mDeviceController.answers[0].password, "typed");
    EXPECT_FALSE(sheet.promptingForPassword());

    // The main window's own sheet going away answers the waiting session with a cancel.
    sheet.requestBackupPassword("abcdef");
    ASSERT_TRUE(sheet.passwordSheet());
    delete sheet.passwordSheet();
    ASSERT_EQ(mDeviceController.answers.size(), 2);
    EXPECT_EQ(mDeviceController.answers[1].password, QString::fromLatin1(kFailedToGetAPassword));
    EXPECT_FALSE(sheet.promptingForPassword());
}
