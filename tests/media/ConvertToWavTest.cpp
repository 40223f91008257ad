// Decoding Ogg Opus into WAV: the header's sizes with every mix of seekable and one-pass
// input and output, chained streams, and inputs or outputs that cannot be used.

#include "media/ConvertToWav.h"

#include "AudioFixtures.h"

#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

uint32_t le32(const QByteArray &bytes, int at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | uint8_t(bytes.at(at + i));
    return value;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// A named pipe that a thread feeds with `bytes` (or drains into `drained`), so the converter
// meets a stream it can read or write only once, front to back.
class Pipe
{
public:
    explicit Pipe(QString path) : mPath(std::move(path))
    {
        std::signal(SIGPIPE, SIG_IGN);
        ::mkfifo(encoded(mPath).constData(), 0600);
    }
    ~Pipe()
    {
        if (mThread.joinable())
            mThread.join();
    }
    void feed(QByteArray bytes)
    {
        mThread = std::thread([this, bytes] {
            const int fd = ::open(encoded(mPath).constData(), O_WRONLY);
            for (qsizetype done = 0; fd >= 0 && done < bytes.size();) {
                const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (n <= 0)
                    break;
                done += n;
            }
            ::close(fd);
        });
    }
    void drain()
    {
        mThread = std::thread([this] {
            const int fd = ::open(encoded(mPath).constData(), O_RDONLY);
            char buffer[65536];
            for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                mDrained.append(buffer, n);
            ::close(fd);
        });
    }
    QByteArray drained()
    {
        if (mThread.joinable())
            mThread.join();
        return mDrained;
    }
    const QString &path() const { return mPath; }

private:
    QString mPath;
    std::thread mThread;
    QByteArray mDrained;
};

} // namespace

TEST(ConvertToWav, HeaderFieldsAndSizeLimits)
{
    unsigned char header[kWavHeaderSize];
    make_wav_header(header, 48000);
    const QByteArray bytes(reinterpret_cast<const char *>(header), kWavHeaderSize);
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(bytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(bytes.mid(16, 20).toHex(), "100000000100020080bb000000ee020004001000");
    EXPECT_EQ(bytes.mid(36, 4), "data");
    EXPECT_EQ(le32(bytes, 4), 192036u);
    EXPECT_EQ(le32(bytes, 40), 192000u);

    const struct
    {
        int64_t frames;
        uint32_t riff, data;
    } cases[] = {
        {1, 40, 4},
        {0x1FFFFFF6, 0x7FFFFFFC, 0x7FFFFFD8},
        {0x1FFFFFF7, 0x7FFFFFFF, 0x7FFFFFFF},
        {0, 0x7FFFFFFF, 0x7FFFFFFF},
        {-5, 0x7FFFFFFF, 0x7FFFFFFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.frames);
        make_wav_header(header, c.frames);
        const QByteArray h(reinterpret_cast<const char *>(header), kWavHeaderSize);
        EXPECT_EQ(le32(h, 4), c.riff);
        EXPECT_EQ(le32(h, 40), c.data);
    }
}

TEST(ConvertToWav, SizesAreRightWhicheverSideCanSeek)
{
    const QByteArray mono = AudioFixtures::opusTone(1, 1.0);
    ASSERT_FALSE(mono.isEmpty()) << "no Opus encoder in this FFmpeg";
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("voice.opus"));
    {
        QFile file(input);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(mono);
    }

    // The reference: both sides are files.
    const QString wav = dir.filePath(QStringLiteral("voice.wav"));
    ASSERT_EQ(convertToWav(encoded(input).constData(), encoded(wav).constData()), 0);
    const QByteArray reference = readAll(wav);
    ASSERT_EQ(reference.size(), kWavHeaderSize + 192000);
    EXPECT_EQ(le32(reference, 4), 192036u);
    EXPECT_EQ(le32(reference, 40), 192000u);
    // Mono comes out on both channels.
    bool bothSidesAlike = true;
    for (int i = kWavHeaderSize; i + 4 <= reference.size(); i += 4)
        bothSidesAlike = bothSidesAlike && reference.mid(i, 2) == reference.mid(i + 2, 2);
    EXPECT_TRUE(bothSidesAlike);

    const struct
    {
        const char *name;
        bool inputIsPipe, outputIsPipe;
        uint32_t riff, data;
    } cases[] = {
        {"file to pipe: sizes from the input's length", false, true, 192036, 192000},
        {"pipe to file: header rewritten after decoding", true, false, 192036, 192000},
        {"pipe to pipe: sizes unknown", true, true, 0x7FFFFFFF, 0x7FFFFFFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir caseDir;
        Pipe in(caseDir.filePath(QStringLiteral("in")));
        Pipe out(caseDir.filePath(QStringLiteral("out")));
        const QString from = c.inputIsPipe ? in.path() : input;
        const QString to = c.outputIsPipe ? out.path() : caseDir.filePath(QStringLiteral("out.wav"));
        if (c.inputIsPipe)
            in.feed(mono);
        if (c.outputIsPipe)
            out.drain();
        ASSERT_EQ(convertToWav(encoded(from).constData(), encoded(to).constData()), 0);
        const QByteArray result = c.outputIsPipe ? out.drained() : readAll(to);
        ASSERT_EQ(result.size(), reference.size());
        EXPECT_EQ(le32(result, 4), c.riff);
        EXPECT_EQ(le32(result, 40), c.data);
        EXPECT_TRUE(result.mid(kWavHeaderSize) == reference.mid(kWavHeaderSize));
    }
}

TEST(ConvertToWav, ChainedStreamsDecodeAsOneStereoStream)
{
    const QByteArray first = AudioFixtures::opusTone(2, 0.5, 1);
    const QByteArray second = AudioFixtures::opusTone(1, 0.5, 2);
    ASSERT_FALSE(first.isEmpty());
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("chain.opus"));
    const QString wav = dir.filePath(QStringLiteral("chain.wav"));
    QFile file(input);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(first + second);
    file.close();
    ASSERT_EQ(convertToWav(encoded(input).constData(), encoded(wav).constData()), 0);
    const QByteArray result = readAll(wav);
    EXPECT_EQ(result.size(), kWavHeaderSize + 4 * 48000);
    EXPECT_EQ(le32(result, 40), 4u * 48000);
}

TEST(ConvertToWav, UnusableInputOrOutputFailsWithoutAnOutputFile)
{
    const QByteArray opus = AudioFixtures::opusTone(1, 0.2);
    ASSERT_FALSE(opus.isEmpty());
    QTemporaryDir dir;
    const struct
    {
        const char *name;
        QByteArray input;
        const char *output;
    } cases[] = {
        {"not Ogg Opus", QByteArray("RIFF....WAVEfmt not really audio"), "out.wav"},
        {"cut inside its headers", opus.left(40), "out.wav"},
        {"empty", QByteArray(), "out.wav"},
        {"output folder missing", opus, "missing/out.wav"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString input = dir.filePath(QStringLiteral("in.opus"));
        QFile file(input);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.input);
        file.close();
        const QString output = dir.filePath(QLatin1String(c.output));
        EXPECT_EQ(convertToWav(encoded(input).constData(), encoded(output).constData()), 1);
        EXPECT_FALSE(QFile::exists(output));
    }
    EXPECT_EQ(convertToWav(encoded(dir.filePath(QStringLiteral("absent.opus"))).constData(),
                           encoded(dir.filePath(QStringLiteral("out.wav"))).constData()),
              1);
}
