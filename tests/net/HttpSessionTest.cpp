#include "net/HttpSession.h"

#include "LoopbackHttpServer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <condition_variable>
#include <mutex>

namespace {

// Collects completions from the session's worker thread.
class Results
{
public:
    HttpSession::Completion add()
    {
        return [this](const HttpResult &result) {
            std::lock_guard guard(mLock);
            mResults.append(result);
            mChanged.notify_all();
        };
    }
    bool waitFor(int count, int timeoutMs = 5000)
    {
        std::unique_lock guard(mLock);
        return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return mResults.size() >= count; });
    }
    QList<HttpResult> all()
    {
        std::lock_guard guard(mLock);
        return mResults;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    QList<HttpResult> mResults;
};

HttpRequest post(const QString &url, const QByteArray &body = "hello")
{
    HttpRequest request;
    request.url = url;
    request.body = body;
    request.headers = {{"Content-Type", "application/json"}, {"X-Test", "1"}};
    return request;
}

TEST(HttpSession, PostsBodyAndHeadersAndReadsTheAnswer)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    LoopbackHttpServer::Response answer;
    answer.status = 201;
    answer.body = "{\"ok\":true}";
    answer.headers = {{"X-Answer", "yes"}};
    server.enqueueResponse(answer);

    HttpSession session;
    Results results;
    session.start(post(server.baseUrl() + "/logs?api-version=1.0.0", QByteArray(5000, 'x')), results.add());
    ASSERT_TRUE(results.waitFor(1));

    const HttpResult result = results.all().first();
    EXPECT_EQ(result.error, HttpError::None);
    EXPECT_EQ(result.status, 201);
    EXPECT_EQ(result.body, "{\"ok\":true}");
    EXPECT_EQ(result.header("x-answer"), "yes");
    const auto request = server.requests().first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_EQ(request.header("X-Test"), "1");
    EXPECT_EQ(request.body, QByteArray(5000, 'x'));
    // Large bodies go out without waiting for an interim answer.
    EXPECT_TRUE(request.header("Expect").isEmpty());
}

TEST(HttpSession, TransportFailuresAreNamed)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    LoopbackHttpServer::Response drop;
    drop.dropConnection = true;
    server.enqueueResponse(drop);
    LoopbackHttpServer::Response slow;
    slow.delayMs = 3000;
    server.enqueueResponse(slow);

    LoopbackHttpServer closed;
    ASSERT_TRUE(closed.start());
    const QString closedUrl = closed.baseUrl();
    closed.stop();

    struct Case
    {
        const char *name;
        HttpRequest request;
        HttpError expected;
    };
    HttpRequest timedOut = post(server.baseUrl() + "/slow");
    timedOut.timeoutMs = 200;
    const Case cases[] = {
        {"dropped connection", post(server.baseUrl() + "/drop"), HttpError::ConnectionLost},
        {"time-out", timedOut, HttpError::TimedOut},
        {"nothing listening", post(closedUrl + "/x"), HttpError::CannotConnect},
        {"not a URL", post("http://[::1"), HttpError::InvalidRequest},
        {"not HTTP", post("file:///etc/passwd"), HttpError::InvalidRequest},
    };
    HttpSession session;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Results results;
        session.start(c.request, results.add());
        ASSERT_TRUE(results.waitFor(1));
        const HttpResult result = results.all().first();
        EXPECT_EQ(result.error, c.expected);
        EXPECT_EQ(result.status, 0);
        EXPECT_FALSE(result.errorText.isEmpty());
    }
}

TEST(HttpSession, CancelEndsARunningRequestAtOnce)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    LoopbackHttpServer::Response slow;
    slow.delayMs = 10000;
    server.setDefaultResponse(slow);

    HttpSession session;
    Results results;
    const auto first = session.start(post(server.baseUrl() + "/a"), results.add());
    session.start(post(server.baseUrl() + "/b"), results.add());
    session.start(post(server.baseUrl() + "/c"), results.add());
    ASSERT_TRUE(server.waitForRequestCount(3));

    QElapsedTimer timer;
    timer.start();
    session.cancel(first);
    ASSERT_TRUE(results.waitFor(1));
    EXPECT_EQ(results.all().first().error, HttpError::Cancelled);
    session.invalidateAndCancel();
    ASSERT_TRUE(results.waitFor(3));
    EXPECT_LT(timer.elapsed(), 5000);
    for (const auto &result : results.all())
        EXPECT_EQ(result.error, HttpError::Cancelled);
    EXPECT_EQ(session.runningTaskCount(), 0);

    // The session stays usable after cancelling everything.
    server.setDefaultResponse({});
    session.start(post(server.baseUrl() + "/d"), results.add());
    ASSERT_TRUE(results.waitFor(4));
    EXPECT_EQ(results.all().last().status, 200);
}

TEST(HttpSession, ManyRequestsCompleteOnceEach)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    HttpSession session(2);
    Results results;
    constexpr int kCount = 40;
    for (int i = 0; i < kCount; ++i)
        session.start(post(server.baseUrl() + QStringLiteral("/n%1").arg(i)), results.add());
    ASSERT_TRUE(results.waitFor(kCount, 10000));
    EXPECT_EQ(results.all().size(), kCount);
    EXPECT_EQ(server.requestCount(), kCount);
    for (const auto &result : results.all())
        EXPECT_EQ(result.status, 200);
}

TEST(HttpSession, PerformIsABlockingRequest)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    server.enqueueStatuses({204});
    const HttpResult result = HttpSession::perform(post(server.baseUrl() + "/sync"));
    EXPECT_EQ(result.status, 204);
    EXPECT_EQ(result.error, HttpError::None);
}

TEST(LoopbackHttpServer, InflatesGzipBodies)
{
    // The server's own helper, used by every test that checks compressed bodies.
    LoopbackHttpServer::Request request;
    request.headers.insert("content-encoding", "gzip");
    request.body = QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9070086a6103605000000");
    EXPECT_EQ(request.decodedBody(), "hello");
    request.body = "not gzip";
    EXPECT_TRUE(request.decodedBody().isEmpty());
}

} // namespace
