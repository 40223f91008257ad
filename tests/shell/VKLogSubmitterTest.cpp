// Sending the logs to support against a real HTTP server on loopback: which addresses enable
// Send, the newest 30 logs zipped, the form byte for byte, what counts as success, and that
// no archive is left behind.

#include "DesktopHandlerRig.h"
#include "LoopbackHttpServer.h"

#include "TestWait.h"
#include "platform/UserDefaults.h"
#include "shell/VKLogSubmitter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

namespace {

LoopbackHttpServer::Response answer(int status, const QByteArray &body)
{
    LoopbackHttpServer::Response response;
    response.status = status;
    response.body = body;
    return response;
}

class LogSending : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        UserDefaults::standard().setObject(server.baseUrl() + "/", "VULogUrl");
        submitter.setLogFolder(logs.path());
        // 40 logs, the newest last; a link, a pipe and other files are never sent.
        for (int i = 0; i < 40; ++i) {
            const QString path = logs.filePath(QString("Quillon-%1.log").arg(i, 2, 10, QChar('0')));
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(QByteArray("log line ") + QByteArray::number(i));
            file.close();
            utimbuf times{1600000000 + i * 60, 1600000000 + i * 60};
            ASSERT_EQ(utime(QFile::encodeName(path).constData(), &times), 0);
        }
        QFile other(logs.filePath("notes.txt"));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        ASSERT_TRUE(QFile::link("/etc/hostname", logs.filePath("zz-link.log")));
        ASSERT_EQ(mkfifo(QFile::encodeName(logs.filePath("zz-pipe.log")).constData(), 0600), 0);
    }
    void TearDown() override { UserDefaults::standard().removeObject("VULogUrl"); }

    LoopbackHttpServer server;
    QTemporaryDir logs;
    VKLogSubmitter submitter;
};

} // namespace

TEST(LogSendingEntries, SendNeedsANameAndAnAddressWithADottedDomain)
{
    const struct
    {
        const char *name, *email;
        bool valid;
    } cases[] = {
        {"Ann", "ann@example.org", true},
        {"Ann", "a.b+c@mail.example.co", true},
        {"", "ann@example.org", false},
        {"Ann", "", false},
        {"Ann", "ann@localhost", false},
        {"Ann", "ann@example.o", false},
        {"Ann", "@example.org", false},
        {"Ann", "ann@example.org\nX", false},
        {"Ann", "ann@exa mple.org", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.email);
        EXPECT_EQ(VKLogSubmitter::validDebugEntry(c.name, c.email), c.valid);
    }
}

TEST_F(LogSending, PostsTheThirtyNewestLogsAsTheFormAndLeavesNoArchive)
{
    server.setDefaultResponse(answer(200, "Success: received"));
    ASSERT_TRUE(submitter.sendLogs("Ann\r\nContent-Disposition: form-data; name=\"x\"", "ann@example.org"));
    EXPECT_FALSE(QFileInfo::exists(submitter.lastArchiveFolder()));
    ASSERT_EQ(server.requestCount(), 1);
    const LoopbackHttpServer::Request request = server.requests().first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/cgi-bin/report");
    EXPECT_EQ(request.header("User-Agent"), "VKLogSubmitter/Mac");
    EXPECT_EQ(request.header("Content-type"), "multipart/form-data; boundary=---BIGDIVIDINGLINE---");

    const QByteArray head = "-----BIGDIVIDINGLINE---\r\n"
                            "Content-Disposition: form-data; name=\"name\"\r\n"
                            "Content-Type: text/plain\r\n"
                            "\r\n"
                            "Ann  Content-Disposition: form-data; name=\"x\"\r\n"
                            "-----BIGDIVIDINGLINE---\r\n"
                            "Content-Disposition: form-data; name=\"email\"\r\n"
                            "Content-Type: text/plain\r\n"
                            "\r\n"
                            "ann@example.org\r\n"
                            "-----BIGDIVIDINGLINE---\r\n"
                            "Content-Disposition: form-data; name=\"app\"\r\n"
                            "Content-Type: text/plain\r\n"
                            "\r\n"
                            "quillon\r\n"
                            "-----BIGDIVIDINGLINE---\r\n"
                            "Content-Disposition: form-data; name=\"logs\"; filename=\"logs.zip\"\r\n"
                            "Content-Length: ";
    const QByteArray tail = "\r\n-----BIGDIVIDINGLINE-----\r\n";
    const QByteArray body = request.body;
    ASSERT_TRUE(body.startsWith(head)) << body.left(600).constData();
    ASSERT_TRUE(body.endsWith(tail));
    const qsizetype lengthEnd = body.indexOf("\r\n", head.size());
    const int length = body.mid(head.size(), lengthEnd - head.size()).toInt();
    const QByteArray afterLength = "\r\nContent-Type: application/zip\r\n\r\n";
    ASSERT_EQ(body.mid(lengthEnd, afterLength.size()), afterLength);
    const QByteArray archive = body.mid(lengthEnd + afterLength.size());
    ASSERT_EQ(archive.size() - tail.size(), length);

    QTemporaryDir unpack;
    QFile zip(unpack.filePath("logs.zip"));
    ASSERT_TRUE(zip.open(QIODevice::WriteOnly));
    zip.write(archive.left(length));
    zip.close();
    const QByteArray names = runPython("import sys, zipfile\n"
                                       "z = zipfile.ZipFile(sys.argv[1])\n"
                                       "assert z.testzip() is None\n"
                                       "print(' '.join(sorted(z.namelist())))",
                                       {zip.fileName()});
    QStringList expected;
    for (int i = 10; i < 40; ++i)
        expected << QString("Quillon-%1.log").arg(i);
    EXPECT_EQ(QString::fromUtf8(names).trimmed(), expected.join(' '));
}

TEST_F(LogSending, OnlyAnAnswerBeginningWithSuccessSucceeds)
{
    const struct
    {
        int status;
        const char *answer;
        bool sent;
    } cases[] = {
        {200, "Success", true},
        {200, "Success and more text", true},
        {200, "success", false},
        {200, " Success", false},
        {500, "Internal error", false},
        {200, "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        server.setDefaultResponse(answer(c.status, c.answer));
        EXPECT_EQ(submitter.sendLogs("Ann", "ann@example.org"), c.sent);
        EXPECT_FALSE(QFileInfo::exists(submitter.lastArchiveFolder()));
    }
}

TEST_F(LogSending, ATimeOutNoEndpointOrNoLogsFail)
{
    LoopbackHttpServer::Response slow = answer(200, "Success");
    slow.delayMs = 20000;
    server.setDefaultResponse(slow);
    submitter.setTimeoutMs(300);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(submitter.sendLogs("Ann", "ann@example.org"));
    EXPECT_LT(timer.elapsed(), scaledTimeoutMs(10000));
    EXPECT_FALSE(QFileInfo::exists(submitter.lastArchiveFolder()));

    const int before = server.requestCount();
    UserDefaults::standard().removeObject("VULogUrl");
    EXPECT_FALSE(submitter.sendLogs("Ann", "ann@example.org"));
    EXPECT_EQ(server.requestCount(), before);

    UserDefaults::standard().setObject(server.baseUrl(), "VULogUrl");
    submitter.setLogFolder(logs.filePath("missing"));
    EXPECT_FALSE(submitter.sendLogs("Ann", "ann@example.org"));
    EXPECT_EQ(server.requestCount(), before);
}
