// Saving voice attachments and voicemail as MPEG-4 audio: what FFmpeg reads back, and that a
// failed conversion or a failed final move reports failure, keeps what was at the
// destination, leaves no work file behind and gives the export lock back.

#include "messages/FRSMSInfo.h"
#include "personal/FRCallInfo.h"

#include "device/AppController.h"
#include "shell/Defaults.h"

#include "AudioFixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QStringList workFilesLeft()
{
    return QDir(getTempDir()).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

bool exportLockIsFree()
{
    if (!gExportLock.try_lock())
        return false;
    gExportLock.unlock();
    return true;
}

// Makes a folder refuse new entries for the life of the object: by its mode, and for a
// superuser (whom modes do not stop) by the immutable flag where the file system has one.
class UnwritableFolder
{
public:
    explicit UnwritableFolder(const QString &path) : mPath(QFile::encodeName(path))
    {
        ::chmod(mPath.constData(), 0555);
        if (::geteuid() != 0) {
            mWorks = true;
            return;
        }
        const int fd = ::open(mPath.constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            mImmutable = mWorks = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0)
            ::close(fd);
    }
    ~UnwritableFolder()
    {
        if (mImmutable) {
            const int fd = ::open(mPath.constData(), O_RDONLY | O_DIRECTORY);
            int flags = 0;
            if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            if (fd >= 0)
                ::close(fd);
        }
        ::chmod(mPath.constData(), 0755);
    }
    bool works() const { return mWorks; }

private:
    QByteArray mPath;
    bool mImmutable = false;
    bool mWorks = false;
};

FRCallInfoPtr voicemail(const QByteArray &audio)
{
    QVariantMap info{{CallKey::CallID, QStringLiteral("17")}, {CallKey::IsVoicemail, true}};
    if (!audio.isNull())
        info.insert(CallKey::AMR, audio);
    return FRCallInfo::infoWithInfo(info, nullptr);
}

} // namespace

TEST(VoiceConversion, OpusAndAmrBecomeMpeg4AudioThatReadsBack)
{
    const QByteArray opus = AudioFixtures::opusTone(1, 1.0);
    ASSERT_FALSE(opus.isEmpty()) << "no Opus encoder in this FFmpeg";
    const QByteArray amr = AudioFixtures::amrSpeech(50);
    QTemporaryDir dir;

    const struct
    {
        const char *name;
        std::function<bool(const QString &)> save;
        int sampleRate, channels;
    } cases[] = {
        {"message, Opus", [&](const QString &to) { return FRSMSInfo::convertOpusToMP4(opus, to); }, 48000, 2},
        {"message, AMR", [&](const QString &to) { return FRSMSInfo::convertMovieToMP4(amr, to); }, 8000, 1},
        {"voicemail", [&](const QString &to) { return voicemail(amr)->saveMovie(to); }, 8000, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString destination = dir.filePath(QStringLiteral("%1.m4a").arg(QLatin1String(c.name)));
        writeFile(destination, "an older save"); // replaced by a finished export
        ASSERT_TRUE(c.save(destination));
        const AudioFixtures::Probe found = AudioFixtures::probe(destination);
        EXPECT_TRUE(found.hasAudio);
        EXPECT_TRUE(found.container.contains(QLatin1String("mp4")));
        EXPECT_EQ(found.codec, "aac");
        EXPECT_EQ(found.sampleRate, c.sampleRate);
        EXPECT_EQ(found.channels, c.channels);
        EXPECT_NEAR(found.seconds, 1.0, 0.1);
        EXPECT_TRUE(workFilesLeft().isEmpty()) << workFilesLeft().join(u' ').toStdString();
        EXPECT_TRUE(exportLockIsFree());
    }
}

TEST(VoiceConversion, InputThatCannotBeConvertedLeavesTheDestinationAlone)
{
    const QByteArray opus = AudioFixtures::opusTone(1, 0.5);
    ASSERT_FALSE(opus.isEmpty());
    const QByteArray amr = AudioFixtures::amrSpeech(25);
    QTemporaryDir dir;
    const QString destination = dir.filePath(QStringLiteral("kept.m4a"));

    const struct
    {
        const char *name;
        std::function<bool()> save;
    } cases[] = {
        {"text as Opus", [&] { return FRSMSInfo::convertOpusToMP4("hello, not a recording", destination); }},
        {"Opus cut inside its headers", [&] { return FRSMSInfo::convertOpusToMP4(opus.left(40), destination); }},
        {"no data", [&] { return FRSMSInfo::convertOpusToMP4(QByteArray(), destination); }},
        {"Opus given as AMR", [&] { return FRSMSInfo::convertMovieToMP4(opus, destination); }},
        {"AMR without a single frame", [&] { return FRSMSInfo::convertMovieToMP4("#!AMR\n", destination); }},
        {"voicemail without audio", [&] { return voicemail(QByteArray())->saveMovie(destination); }},
        {"voicemail whose audio is not AMR", [&] { return voicemail("RIFF1234WAVE")->saveMovie(destination); }},
        {"quit during the export", [&] {
             gBail = true;
             const bool saved = FRSMSInfo::convertMovieToMP4(amr, destination);
             gBail = false;
             return saved;
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(destination, "what the user had");
        EXPECT_FALSE(c.save());
        EXPECT_EQ(readAll(destination), "what the user had");
        EXPECT_TRUE(workFilesLeft().isEmpty()) << workFilesLeft().join(u' ').toStdString();
        EXPECT_TRUE(exportLockIsFree());
    }
}

TEST(VoiceConversion, AFailedFinalMoveReportsFailureAndKeepsWhatWasThere)
{
    const QByteArray amr = AudioFixtures::amrSpeech(25);
    QTemporaryDir dir;

    // A folder where the file should go: it stays, with what it holds.
    const QString folder = dir.filePath(QStringLiteral("in the way.m4a"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inside")));
    EXPECT_FALSE(FRSMSInfo::convertMovieToMP4(amr, folder));
    EXPECT_TRUE(QDir(folder + QStringLiteral("/inside")).exists());
    EXPECT_FALSE(voicemail(amr)->saveMovie(folder));
    EXPECT_TRUE(QDir(folder + QStringLiteral("/inside")).exists());
    EXPECT_TRUE(workFilesLeft().isEmpty()) << workFilesLeft().join(u' ').toStdString();

    // A folder that takes no new entries: the old file stays whole.
    const QString locked = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkpath(locked));
    const QString destination = locked + QStringLiteral("/voice.m4a");
    writeFile(destination, "what the user had");
    {
        UnwritableFolder unwritable(locked);
        if (!unwritable.works())
            GTEST_SKIP() << "no way to make a folder unwritable for this user here";
        EXPECT_FALSE(FRSMSInfo::convertOpusToMP4(AudioFixtures::opusTone(1, 0.3), destination));
        EXPECT_FALSE(FRSMSInfo::convertMovieToMP4(amr, destination));
    }
    EXPECT_EQ(readAll(destination), "what the user had");
    EXPECT_EQ(QDir(locked).entryList(QDir::Files | QDir::Hidden).size(), 1);
    EXPECT_TRUE(workFilesLeft().isEmpty()) << workFilesLeft().join(u' ').toStdString();
    EXPECT_TRUE(exportLockIsFree());
}
