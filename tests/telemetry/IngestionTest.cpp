#include "TelemetryNetworkSupport.h"
#include "TelemetryTestSupport.h"
#include "TestWait.h"

#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VUTicketCache.h"
#include "telemetry/core/VUVezUdudovezoIngestion.h"
#include "telemetry/core/VUVovUdezirIngestion.h"
#include "telemetry/core/VU_Reachability.h"

#include <QJsonArray>
#include <QUrlQuery>

namespace {

const QString kInstallId = QStringLiteral("1C9D3E2A-4B5F-4A6B-8C7D-9E0F1A2B3C4D");
const QString kSecret = QStringLiteral("0d3c8a1e-5b7f-4e2a-9c6d-1f8b4a7e2c5d");

std::shared_ptr<VULogContainer> containerOf(int count, const QString &batchId = QStringLiteral("B1"))
{
    QList<std::shared_ptr<VUAbstractLog>> logs;
    for (int i = 0; i < count; ++i)
        logs.append(makeStartServiceLog({QStringLiteral("S%1").arg(i)}));
    return std::make_shared<VULogContainer>(batchId, logs);
}

class IngestionTest : public ShortTimingsTest
{
protected:
    std::shared_ptr<VUVovUdezirIngestion> makeIngestion()
    {
        auto ingestion = VUVovUdezirIngestion::create(server.baseUrl(), kInstallId);
        ingestion->setAppSecret(kSecret);
        return ingestion;
    }
};

TEST(VUHttpIngestion, BuildsTheSendUrlFromBasePathAndEachEncodedPair)
{
    struct Case
    {
        const char *name;
        VUHttpIngestion::QueryStrings query;
        QString expected;
    };
    const Case cases[] = {
        {"one pair", {{"api-version", "1.0.0"}}, "https://in.example/logs?api-version=1.0.0"},
        {"no pairs", {}, "https://in.example/logs"},
        // Keys and values are encoded one by one, so their "=" and "&" stay data.
        {"reserved characters", {{"a b", "c&d=e"}, {"x", "1"}}, "https://in.example/logs?a%20b=c%26d%3De&x=1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QUrl url = VUHttpIngestion::buildSendURL("https://in.example", "/logs", c.query);
        EXPECT_EQ(url.toString(QUrl::FullyEncoded), c.expected);
        if (!c.query.isEmpty()) {
            EXPECT_EQ(QUrlQuery(url).queryItemValue(c.query.first().first, QUrl::FullyDecoded), c.query.first().second);
        }
    }
}

TEST_F(IngestionTest, PostsTheBatchWithItsHeadersAndQuery)
{
    startServer();
    auto ingestion = makeIngestion();
    CompletionRecorder completions;
    ingestion->sendAsync(containerOf(2, "BATCH-1"), completions.handler());
    ASSERT_TRUE(waitUntil([&] { return completions.count() == 1; }));

    const auto call = completions.calls().first();
    EXPECT_EQ(call.callId, "BATCH-1");
    EXPECT_EQ(call.status, 200);
    EXPECT_FALSE(call.error);
    const auto request = server.requests().first();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/logs");
    EXPECT_EQ(request.query, "api-version=1.0.0");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Install-ID"), kInstallId.toUtf8());
    EXPECT_EQ(request.header("App-Secret"), kSecret.toUtf8());
    EXPECT_TRUE(request.header("Content-Encoding").isEmpty());
    const QJsonArray logs = logsOfRequest(request);
    ASSERT_EQ(logs.size(), 2);
    EXPECT_EQ(logs.at(0).toObject().value("type").toString(), "startService");
    EXPECT_EQ(ingestion->pendingCallCount(), 0);
}

TEST_F(IngestionTest, CompressesBodiesFromFourteenHundredBytes)
{
    auto ingestion = VUVovUdezirIngestion::create("https://in.example", kInstallId);
    ingestion->setAppSecret(kSecret);
    auto containerWithName = [](int length) {
        return VULogContainer("B", {makeStartServiceLog({QString(length, QLatin1Char('s'))})});
    };
    const qsizetype base = containerWithName(0).serializeLog()->toUtf8().size();
    for (const qsizetype size : {qsizetype(1399), qsizetype(1400)}) {
        SCOPED_TRACE(size);
        const VULogContainer container = containerWithName(int(size - base));
        const QByteArray plain = container.serializeLog()->toUtf8();
        ASSERT_EQ(plain.size(), size);
        const auto request = ingestion->createRequest(container);
        ASSERT_TRUE(request);
        const QByteArray encoding = request->headers.contains(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")))
                                        ? QByteArray("gzip") : QByteArray();
        LoopbackHttpServer::Request received;
        received.headers.insert("content-encoding", encoding);
        received.body = request->body;
        EXPECT_EQ(encoding.isEmpty(), size < 1400);
        EXPECT_EQ(received.decodedBody(), plain);
    }
    // Incompressible input still fits the one output buffer.
    QByteArray noise(4096, Qt::Uninitialized);
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919 + (i >> 3) * 104729) & 0xff);
    EXPECT_TRUE(VUCompression::compressData(noise));
    EXPECT_FALSE(VUCompression::compressData({}));
}

TEST_F(IngestionTest, SecretsAreMaskedInLogOutput)
{
    EXPECT_EQ(VUIngestionUtil::hideSecret("12345678"), "********");
    EXPECT_EQ(VUIngestionUtil::hideSecret("123456789"), "*23456789");
    EXPECT_EQ(VUIngestionUtil::hideSecret(kSecret), QString(28, '*') + kSecret.right(8));

    auto ingestion = VUVovUdezirIngestion::create("https://in.example", kInstallId);
    ingestion->setAppSecret(kSecret);
    RecordingLogHandler log(VULogLevelVerbose);
    ASSERT_TRUE(ingestion->createRequest(*containerOf(1)));
    const QString lines = log.lines().join('\n');
    EXPECT_TRUE(lines.contains("App-Secret = " + QString(28, '*') + kSecret.right(8))) << qPrintable(lines);
    EXPECT_TRUE(lines.contains("Install-ID = " + kInstallId));
    EXPECT_FALSE(lines.contains(kSecret));

    // Ticket values are hidden whatever characters they hold; the keys stay readable.
    const QString tickets = R"({"k1":"d:a:b","k2":"p:\"q\""})";
    EXPECT_EQ(VUVezUdudovezoIngestion::obfuscateTickets(tickets), R"({"k1":"***","k2":"***"})");
    EXPECT_EQ(VUVezUdudovezoIngestion::obfuscateTickets("not json"), "********");
    const QString token = QString(32, 'a') + "bcdefghi";
    EXPECT_EQ(VUVezUdudovezoIngestion::obfuscateTargetTokens(token + "," + token),
              QString(32, '*') + "bcdefghi," + QString(32, '*') + "bcdefghi");
}

TEST_F(IngestionTest, AnswersDecideBetweenSuccessRetryDropAndFatal)
{
    startServer();
    struct Case
    {
        const char *name;
        QList<int> statuses;
        int requests;
        qint64 finalStatus;
        std::optional<qint64> errorCode;
        bool fatal;
    };
    const Case cases[] = {
        {"200", {200}, 1, 200, std::nullopt, false},
        {"204 is a success too", {204}, 1, 204, std::nullopt, false},
        {"503, 503, 200 is retried", {503, 503, 200}, 3, 200, std::nullopt, false},
        {"429 then 200", {429, 200}, 2, 200, std::nullopt, false},
        {"400 drops the batch only", {400}, 1, 400, kVUConnectionHttpErrorCode, false},
        {"retries run out", {503, 503, 503, 503}, 4, 503, kVUConnectionHttpErrorCode, false},
        {"401 refuses the credentials", {401}, 1, 401, kVUConnectionHttpErrorCode, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        server.enqueueStatuses(c.statuses);
        auto ingestion = makeIngestion();
        auto delegate = std::make_shared<RecordingIngestionDelegate>();
        ingestion->addDelegate(delegate);
        CompletionRecorder completions;
        ingestion->sendAsync(containerOf(1), completions.handler());
        ASSERT_TRUE(waitUntil([&] { return completions.count() == 1; }));
        // The call is answered before the ingestion has finished with it (fatal notice, removal).
        EXPECT_TRUE(waitUntil([&] { return ingestion->pendingCallCount() == 0; }));
        const auto call = completions.calls().first();
        EXPECT_EQ(server.requestCount(), c.requests);
        EXPECT_EQ(call.status, c.finalStatus);
        EXPECT_EQ(call.error ? std::optional<qint64>(call.error->code) : std::nullopt, c.errorCode);
        if (call.error && c.errorCode == kVUConnectionHttpErrorCode) {
            EXPECT_EQ(call.error->userInfo.value(kVUHttpCodeKey).toLongLong(), c.finalStatus);
        }
        EXPECT_EQ(delegate->fatalErrors.load(), c.fatal ? 1 : 0);
        // Only refused credentials switch the ingestion off; an exhausted retry does not.
        EXPECT_EQ(ingestion->enabled(), !c.fatal);
    }
}

TEST_F(IngestionTest, ANetworkThatIsDownHoldsCallsUntilItIsBack)
{
    startServer();
    auto ingestion = makeIngestion();
    auto delegate = std::make_shared<RecordingIngestionDelegate>();
    ingestion->addDelegate(delegate);
    VU_Reachability::setSimulatedStatus(VU_Reachability::NotReachable);
    ASSERT_TRUE(waitUntil([&] { return ingestion->paused(); }));
    EXPECT_EQ(delegate->pauses.load(), 1);

    CompletionRecorder completions;
    ingestion->sendAsync(containerOf(1), completions.handler());
    EXPECT_FALSE(server.waitForRequestCount(1, 200));
    EXPECT_EQ(ingestion->pendingCallCount(), 1);

    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
    ASSERT_TRUE(waitUntil([&] { return completions.count() == 1; }));
    EXPECT_EQ(completions.calls().first().status, 200);
    EXPECT_EQ(delegate->resumes.load(), 1);
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(IngestionTest, ALostConnectionWaitsForTheNetworkOnlyWhileItIsDown)
{
    startServer();
    LoopbackHttpServer::Response drop;
    drop.dropConnection = true;

    // The network stays up: the lost connection is retried like a missing answer.
    server.enqueueResponse(drop);
    auto ingestion = makeIngestion();
    CompletionRecorder completions;
    ingestion->sendAsync(containerOf(1, "UP"), completions.handler());
    ASSERT_TRUE(waitUntil([&] { return completions.count() == 1; }));
    EXPECT_EQ(completions.calls().first().status, 200);
    EXPECT_EQ(server.requestCount(), 2);

    // The network is down when the connection is lost: the call waits, then goes out. A new
    // ingestion opens a new connection, which libcurl does not retry on its own.
    ingestion = makeIngestion();
    server.clearRequests();
    server.setHandler([&](const LoopbackHttpServer::Request &) {
        VU_Reachability::setSimulatedStatus(VU_Reachability::NotReachable);
        return drop;
    });
    CompletionRecorder held;
    ingestion->sendAsync(containerOf(1, "DOWN"), held.handler());
    ASSERT_TRUE(waitUntil([&] { return ingestion->paused(); }));
    server.setHandler({});
    EXPECT_FALSE(waitUntil([&] { return held.count() > 0; }, 200));
    EXPECT_TRUE(ingestion->hasPendingCall("DOWN"));
    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
    ASSERT_TRUE(waitUntil([&] { return held.count() == 1; }));
    EXPECT_EQ(held.calls().first().status, 200);
}

TEST_F(IngestionTest, InvalidContainersAndMissingSecretsSendNothing)
{
    startServer();
    auto ingestion = VUVovUdezirIngestion::create(server.baseUrl(), kInstallId);
    EXPECT_FALSE(ingestion->isReadyToSend());
    EXPECT_FALSE(ingestion->createRequest(*containerOf(1)));

    ingestion->setAppSecret(kSecret);
    EXPECT_TRUE(ingestion->isReadyToSend());
    CompletionRecorder completions;
    ingestion->sendAsync(std::make_shared<VULogContainer>("EMPTY", QList<std::shared_ptr<VUAbstractLog>>{}),
                         completions.handler());
    ASSERT_EQ(completions.count(), 1);
    const auto call = completions.calls().first();
    EXPECT_EQ(call.callId, "EMPTY");
    EXPECT_EQ(call.status, 0);
    ASSERT_TRUE(call.error);
    EXPECT_EQ(call.error->code, kVULogInvalidContainerErrorCode);
    EXPECT_EQ(call.error->localizedDescription, "Invalid log container");
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(IngestionTest, CommonSchemaBatchesGoOneLogPerLineWithTheirTokens)
{
    startServer();
    VUTicketCache::sharedInstance()->setTicket(QStringLiteral("d:secret-ticket"), QStringLiteral("ticketKey"));
    auto ingestion = VUVezUdudovezoIngestion::create(server.baseUrl());
    const QString token = QStringLiteral("key1-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    QList<std::shared_ptr<VUAbstractLog>> logs;
    for (int i = 0; i < 3; ++i) {
        auto log = makeCommonSchemaLog(token);
        if (!log->ext->protocolExt)
            log->ext->protocolExt = std::make_shared<VUProtocolExtension>();
        log->ext->protocolExt->ticketKeys = QStringList{"ticketKey"};
        logs.append(log);
    }
    CompletionRecorder completions;
    ingestion->sendAsync(std::make_shared<VULogContainer>("CS", logs), completions.handler());
    ASSERT_TRUE(waitUntil([&] { return completions.count() == 1; }));
    VUTicketCache::sharedInstance()->clearCache();

    const auto request = server.requests().first();
    EXPECT_EQ(request.path, "/VezUdudovezo/1.0");
    EXPECT_EQ(request.header("apikey"), token.toUtf8());
    EXPECT_EQ(request.header("Content-Type"), "application/x-json-stream; charset=utf-8");
    EXPECT_EQ(request.header("Tickets"), R"({"ticketKey":"d:secret-ticket"})");
    EXPECT_GT(request.header("Upload-Time").toLongLong(), 1500000000000LL);
    const QList<QByteArray> lines = request.decodedBody().split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines.last().isEmpty());
    EXPECT_EQ(QJsonDocument::fromJson(lines.first()).object().value("name").toString(), "viewed");
}

} // namespace
