// Folders, renames, moves and deletes on the device, with the sidecars and companions of the
// program's own folder following each change only when the device made it.

#include "FilesRig.h"

#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray sidecar(const FilesRig &rig, const QString &folder)
{
    return readLocal(rig.media(folder + QStringLiteral("/.metadata_file")));
}

QVariantMap failCall(const char *entryPoint, int error)
{
    return {{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", entryPoint}, {"Call", 1}, {"Error", error}}}}};
}

} // namespace

TEST(FileChanges, RenameAndMoveCarryTheSidecarLineAndTheCompanion)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;

    ASSERT_EQ(c.rename(QStringLiteral("readme.txt"), QStringLiteral("notes.txt")), 0);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/notes.txt"))));
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/notes.txt.qn_resource_file"))), QByteArray("RSRC-readme"));
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt.qn_resource_file"))));
    QByteArray lines = sidecar(rig, QStringLiteral("Fernlow"));
    EXPECT_TRUE(lines.contains("notes.txt\t1262304000\t"));
    EXPECT_TRUE(lines.contains("\t1953790068\t1413830740"));
    EXPECT_FALSE(lines.contains("readme.txt"));
    // A line for an item the program never listed stays.
    EXPECT_TRUE(lines.contains("old.txt\t1\t2"));

    // Onto an existing name: refused, nothing moves.
    EXPECT_EQ(c.rename(QStringLiteral("notes.txt"), QStringLiteral("docs")), AppController::kFileExists);

    ASSERT_EQ(c.moveFile(QStringLiteral("notes.txt"), QStringLiteral("docs/notes.txt")), 0);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/docs/notes.txt.qn_resource_file"))));
    EXPECT_FALSE(sidecar(rig, QStringLiteral("Fernlow")).contains("notes.txt"));
    lines = sidecar(rig, QStringLiteral("Fernlow/docs"));
    EXPECT_TRUE(lines.contains("notes.txt\t1262304000\t"));
    EXPECT_TRUE(lines.contains("a.txt\t1262304000\t")); // the folder's other line kept
    EXPECT_EQ(c.getAttributesForFile(QStringLiteral("docs/notes.txt")).value("TYPE").toString(), QString("1413830740"));

    // Moving a whole folder keeps its sidecar and the attributes of its items.
    ASSERT_EQ(c.newFolder(QStringLiteral("/"), QStringLiteral("Archive")), 0);
    EXPECT_EQ(c.newFolder(QStringLiteral("/"), QStringLiteral("Archive")), AppController::kFileExists);
    ASSERT_EQ(c.moveFile(QStringLiteral("docs"), QStringLiteral("Archive/docs")), 0);
    EXPECT_EQ(c.getAttributesForFile(QStringLiteral("Archive/docs/notes.txt")).value("CREATOR").toString(),
              QString("1953790068"));
}

TEST(FileChanges, FailedChangesKeepTheMetadata)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray before = sidecar(rig, QStringLiteral("Fernlow"));

    rig.setFaults(failCall("AFCRenamePath", 10));
    EXPECT_EQ(c.rename(QStringLiteral("readme.txt"), QStringLiteral("notes.txt")), 10);
    EXPECT_EQ(sidecar(rig, QStringLiteral("Fernlow")), before);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt.qn_resource_file"))));
    EXPECT_FALSE(c.getAttributesForFile(QStringLiteral("readme.txt")).isEmpty());

    rig.setFaults(failCall("AFCRemovePath", 10));
    EXPECT_EQ(c.trashFile(QStringLiteral("readme.txt")), 10);
    EXPECT_EQ(sidecar(rig, QStringLiteral("Fernlow")), before);
    EXPECT_EQ(c.getAttributesForFile(QStringLiteral("readme.txt")).value("CREATOR").toString(), QString("1953790068"));

    // The device fills up while the sidecar is rewritten: the old one stays, whole.
    rig.setFaults(failCall("AFCFileRefWrite", 18));
    EXPECT_EQ(c.newFolder(QStringLiteral("/"), QStringLiteral("Box")), 0); // the folder itself was made
    EXPECT_EQ(sidecar(rig, QStringLiteral("Fernlow")), before);
    EXPECT_EQ(QDir(rig.media(QStringLiteral("Fernlow"))).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{".metadata_file", "readme.txt", "readme.txt.qn_resource_file"}));
    rig.setFaults({});
    // The next rewrite carries every line, the new folder's too.
    ASSERT_EQ(c.newFolder(QStringLiteral("/"), QStringLiteral("Crate")), 0);
    EXPECT_TRUE(sidecar(rig, QStringLiteral("Fernlow")).contains("readme.txt\t1262304000\t1293840000\t1953790068\t1413830740"));
    EXPECT_TRUE(sidecar(rig, QStringLiteral("Fernlow")).contains("Box\t"));
    EXPECT_TRUE(sidecar(rig, QStringLiteral("Fernlow")).contains("Crate\t"));
}

TEST(FileChanges, DeletesTakeTheCompanionAndTheSidecarLine)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;

    ASSERT_EQ(c.trashFile(QStringLiteral("readme.txt")), 0);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt"))));
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt.qn_resource_file"))));
    EXPECT_FALSE(sidecar(rig, QStringLiteral("Fernlow")).contains("readme.txt"));

    // A folder below the start folder goes with everything in it.
    writePattern(rig.media(QStringLiteral("Fernlow/docs/sub/orphan.bin.qn_resource_file")), 3);
    ASSERT_EQ(c.trashFile(QStringLiteral("docs")), 0);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/docs"))));
}

TEST(FileChanges, AFolderOutsideTheStartFolderIsRefusedBeforeAnythingIsDeleted)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    EXPECT_EQ(c.trashFolder(QStringLiteral("/DCIM")), AppController::kFileOutsideStart);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("DCIM/100APPLE/IMG_0001.JPG"))));
    EXPECT_EQ(c.trashFile(QStringLiteral("/DCIM"), true), AppController::kFileOutsideStart);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("DCIM/100APPLE/IMG_0001.JPG"))));
    // The start folder itself is not below itself.
    EXPECT_EQ(c.trashFolder(QStringLiteral("/Fernlow/")), AppController::kFileOutsideStart);
    EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt"))));
    // Paths that only look as if they were inside it.
    for (const char *path : {"/Fernlow/../DCIM", "/Fernlow/./../DCIM", "/Fernlow/docs/../../DCIM", "/Fernlow/.."}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(c.trashFolder(QString::fromLatin1(path)), AppController::kFileOutsideStart);
        EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("DCIM/100APPLE/IMG_0001.JPG"))));
        EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/readme.txt"))));
    }
}

TEST(FileChanges, ANewFolderNeedsOnePlainName)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    for (const char *name : {"", ".", "..", "a/b"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(c.newFolder(QStringLiteral("docs"), QString::fromLatin1(name)), AppController::kFileMissingArgument);
    }
    EXPECT_EQ(QDir(rig.media(QStringLiteral("Fernlow/docs"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"sub"});
    EXPECT_EQ(c.newFolder(QStringLiteral("docs"), QStringLiteral("..x")), 0);
    EXPECT_TRUE(QFileInfo(rig.media(QStringLiteral("Fernlow/docs/..x"))).isDir());
}

// Sidecar lines come from the device: a name that is no plain name would land on another
// item's attributes (in another folder, or the folder itself) and be written back.
TEST(FileChanges, SidecarLinesWithPathsForNamesAreIgnoredAndNeverWrittenBack)
{
    FilesRig rig;
    QFile file(rig.media(QStringLiteral("Fernlow/.metadata_file")));
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("\ndocs/a.txt\t1\t2\t3\t4\n.\t5\t6\n..\t7\t8\nsub/../readme.txt\t9\t9\t9\t9");
    file.close();
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;

    EXPECT_EQ(c.getAttributesForFile(QStringLiteral("readme.txt")).value("CREATOR").toString(), QString("1953790068"));
    // docs/a.txt keeps what its own folder's sidecar says.
    const QVariantMap inner = c.getAttributesForFile(QStringLiteral("docs/a.txt"));
    EXPECT_EQ(inner.value("MOD_DATE").toString(), QString("1293840000"));
    EXPECT_FALSE(inner.contains("CREATOR"));
    EXPECT_TRUE(c.getAttributesForFile(QStringLiteral("")).isEmpty());
    EXPECT_TRUE(c.doGetAttributesForFile(QStringLiteral("/")).isEmpty());

    ASSERT_EQ(c.newFolder(QStringLiteral("/"), QStringLiteral("Box")), 0);
    const QByteArray written = sidecar(rig, QStringLiteral("Fernlow"));
    EXPECT_TRUE(written.contains("Box\t"));
    EXPECT_TRUE(written.contains("readme.txt\t1262304000"));
    for (const char *line : {"docs/a.txt", "\n.\t", "\n..\t", "sub/../"}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(written.contains(line));
    }
    EXPECT_FALSE(written.startsWith(".\t"));
}

TEST(FileChanges, SavesDataFilesLocallyWithUniqueNames)
{
    FilesRig rig;
    EXPECT_EQ(AppController::saveDataFile(QByteArray("one"), "a.txt", rig.local(), false), QStringList{"a.txt"});
    EXPECT_EQ(AppController::saveDataFile(QString::fromUtf8("zw\xC3\xB6"), "a.txt", rig.local(), true), QStringList{"a-1.txt"});
    EXPECT_EQ(readLocal(rig.local("a-1.txt")), QByteArray("zw\xC3\xB6"));
    EXPECT_TRUE(AppController::saveDataFile(QVariant(), "b.txt", rig.local(), false).isEmpty());

    // Names from device records stay inside the folder.
    const QString inner = rig.local("inner");
    ASSERT_TRUE(QDir().mkpath(inner));
    EXPECT_EQ(AppController::saveDataFile(QByteArray("v"), "../up.vcf", inner, false), QStringList{".._up.vcf"});
    EXPECT_EQ(AppController::saveDataFile(QByteArray("v"), rig.local("abs.vcf"), inner, true).size(), 1);
    EXPECT_TRUE(AppController::saveDataFile(QByteArray("v"), "..", inner, false).isEmpty());
    EXPECT_EQ(QDir(rig.local()).entryList(QDir::Files | QDir::Hidden), (QStringList{"a-1.txt", "a.txt"}));
    EXPECT_EQ(QDir(inner).entryList(QDir::Files | QDir::Hidden).size(), 2);
    QDir(inner).removeRecursively();

    // A write that fails (here: the file-size limit, as a full disk would) keeps the file it
    // was to replace and leaves no partial one.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QStringList replaced = AppController::saveDataFile(QByteArray(100000, 'x'), "a.txt", rig.local(), false);
    const QStringList added = AppController::saveDataFile(QByteArray(100000, 'x'), "c.txt", rig.local(), false);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(replaced.isEmpty());
    EXPECT_TRUE(added.isEmpty());
    EXPECT_EQ(readLocal(rig.local("a.txt")), QByteArray("one"));
    EXPECT_EQ(QDir(rig.local()).entryList(QDir::Files | QDir::Hidden, QDir::Name), (QStringList{"a-1.txt", "a.txt"}));
}

TEST(FileChanges, WholeDiskModeWritesTheMediaAreaOverItsOwnConnection)
{
    FilesRig rig({{"WholeFilesystem", true}});
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    UserDefaults::standard().setBool(true, QStringLiteral("ADVANCED_MODE"));
    ASSERT_TRUE(c.afc2Available());
    ASSERT_TRUE(c.afc2Mode());
    EXPECT_EQ(c.getStartDir(), QString("/"));

    const struct
    {
        const char *path;
        const char *translated;
        bool media, user, own;
    } cases[] = {
        {"/private/var/mobile/Media/Fernlow/a.txt", "/Fernlow/a.txt", true, true, true},
        {"/var/mobile/Media", "/", true, true, false},
        {"/User/Media/DCIM", "/DCIM", true, true, false},
        {"/private/var/mobile/Library", "/private/var/mobile/Library", false, true, false},
        {"/Fernlow/a.txt", "/Fernlow/a.txt", false, false, false},
        {"/tmp", "/tmp", false, true, false},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.path);
        EXPECT_EQ(AppController::translatePath(QString::fromLatin1(t.path)), QString::fromLatin1(t.translated));
        EXPECT_EQ(c.pathIsInMediaFolder(QString::fromLatin1(t.path)), t.media);
        EXPECT_EQ(AppController::pathIsInUserArea(QString::fromLatin1(t.path)), t.user);
        EXPECT_EQ(c.pathIsInFernlowArea(QString::fromLatin1(t.path)), t.own);
    }

    writePattern(rig.local(QStringLiteral("w.bin")), 100);
    c.resetCopyOperation();
    ASSERT_EQ(c.uploadFile(rig.local(QStringLiteral("w.bin")), QStringLiteral("private/var/mobile/Media/Fernlow/w.bin")), 0);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/w.bin"))).size(), 100);
    EXPECT_TRUE(readLocal(rig.media(QStringLiteral("Fernlow/.metadata_file"))).contains("w.bin\t"));
    EXPECT_TRUE(readLocal(rig.media(QStringLiteral("Fernlow/.metadata_file"))).contains("readme.txt\t"));
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/private/var/mobile/Media/Fernlow")).size(), 3);

    // Without the preference the start folder is the program's own again.
    UserDefaults::standard().setBool(false, QStringLiteral("ADVANCED_MODE"));
    EXPECT_FALSE(c.afc2Mode());
    EXPECT_EQ(c.getStartDir(), QString("/Fernlow/"));
}

TEST(FileChanges, ARefreshMakesTheProgramsFolderWhenItIsMissing)
{
    FilesRig rig;
    QDir(rig.media(QStringLiteral("Fernlow"))).removeRecursively();
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    c.refreshDirectories();
    EXPECT_TRUE(QFileInfo(rig.media(QStringLiteral("Fernlow"))).isDir());
    EXPECT_TRUE(rig.window.directoryErrors.isEmpty());
    EXPECT_EQ(rig.window.reloads, 1);
    EXPECT_TRUE(c.getPathsForDir(QStringLiteral("/")).isEmpty());
}
