// The install layout as `cmake --install` makes it: the menu entry and the login entry pass
// the desktop's validator, and the installed helper finds the installed Quillon and its
// device library by that layout alone.

#include "HelperRig.h"

#include "TestHome.h"
#include "shell/LaunchAtLoginController.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString validate(const QString &entry)
{
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start("desktop-file-validate", {entry});
    if (!validator.waitForFinished(30000))
        return "desktop-file-validate did not finish";
    const QString output = QString::fromUtf8(validator.readAll());
    return validator.exitCode() == 0 && output.isEmpty() ? QString() : output + " (status "
                                                                           + QString::number(validator.exitCode()) + ")";
}

} // namespace

TEST(Install, PutsQuillonInTheMenuAndTheHelperFindsItByTheLayout)
{
    QTemporaryDir root;
    const QString prefix = root.path() + "/a prefix";
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start("cmake", {"--install", buildPath(), "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAll().constData();
    for (const char *file : {"bin/Quillon", "bin/QuillonHelper", "lib/libmobiledevice.so",
                             "share/icons/hicolor/scalable/apps/quillon.svg", "share/icons/hicolor/48x48/apps/quillon.png"})
        EXPECT_TRUE(QFileInfo::exists(prefix + "/" + file)) << file;
    const QString menuEntry = prefix + "/share/applications/quillon.desktop";
    EXPECT_EQ(validate(menuEntry), QString());
    QFile menu(menuEntry);
    ASSERT_TRUE(menu.open(QIODevice::ReadOnly));
    const QByteArray text = menu.readAll();
    EXPECT_EQ(LaunchAtLoginController::programOfEntry(text), prefix + "/bin/Quillon");
    EXPECT_TRUE(text.contains("\nIcon=quillon\n"));

    const QString loginEntry = root.path() + "/QuillonHelper.desktop";
    QFile login(loginEntry);
    ASSERT_TRUE(login.open(QIODevice::WriteOnly));
    login.write(LaunchAtLoginController::desktopEntry(prefix + "/bin/QuillonHelper"));
    login.close();
    EXPECT_EQ(validate(loginEntry), QString());

    // No library named by the environment: the helper takes the one beside the installed Quillon.
    HelperRig rig;
    QProcessEnvironment env = rig.environment();
    env.remove("QUILLON_MOBILEDEVICE_LIBRARY");
    env.insert("XDG_DATA_HOME", prefix + "/share");
    QProcess helper;
    helper.setProcessEnvironment(env);
    helper.start(prefix + "/bin/QuillonHelper", {});
    ASSERT_TRUE(helper.waitForStarted());
    EXPECT_TRUE(rig.waitForLog(helper, "waiting for a device")) << qPrintable(rig.log(helper));
    stopProcess(helper);
}
