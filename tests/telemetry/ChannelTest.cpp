#include "TelemetryNetworkSupport.h"
#include "TelemetryTestSupport.h"
#include "TestHome.h"
#include "TestWait.h"

#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VUChannelUnitDefault.h"
#include "telemetry/core/VUVezUdudovezoChannelDelegate.h"
#include "telemetry/core/VUVezUdudovezoIngestion.h"
#include "telemetry/core/VUVovUdezirIngestion.h"
#include "telemetry/core/VU_Reachability.h"

#include <QJsonArray>

#include <algorithm>

namespace {

const QString kInstallId = QStringLiteral("1C9D3E2A-4B5F-4A6B-8C7D-9E0F1A2B3C4D");
const QString kSecret = QStringLiteral("0d3c8a1e-5b7f-4e2a-9c6d-1f8b4a7e2c5d");

class RecordingChannelDelegate : public VUChannelDelegate
{
public:
    void channelDidSucceedSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &) override { succeeded++; }
    void channelDidFailSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &,
                                  const std::optional<VUError> &error) override
    {
        std::lock_guard guard(lock);
        failures.append(error ? error->code : 0);
    }
    void channelDidCompleteEnqueueingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &, const QString &) override
    {
        completed++;
    }
    int failureCount() const
    {
        std::lock_guard guard(lock);
        return int(failures.size());
    }
    QList<qint64> failureCodes() const
    {
        std::lock_guard guard(lock);
        return failures;
    }
    std::atomic<int> succeeded{0};
    std::atomic<int> completed{0};

private:
    mutable std::mutex lock;
    QList<qint64> failures;
};

class ChannelTest : public ShortTimingsTest
{
protected:
    void SetUp() override
    {
        ShortTimingsTest::SetUp();
        home = std::make_unique<TestHome>();
        startServer();
    }
    void TearDown() override
    {
        group.reset();
        ShortTimingsTest::TearDown();
        home.reset();
    }
    std::shared_ptr<VUChannelGroupDefault> makeGroup(bool withSecret = true)
    {
        group = VUChannelGroupDefault::create(kInstallId, server.baseUrl());
        group->addDelegate(delegate);
        if (withSecret)
            group->setAppSecret(kSecret);
        return group;
    }
    std::shared_ptr<VUChannelUnitDefault> addUnit(const QString &groupId, float flushInterval = 0.05f,
                                                  quint64 batchSize = 50, quint64 pending = 3)
    {
        return std::dynamic_pointer_cast<VUChannelUnitDefault>(
            group->addChannelUnitWithConfiguration(VUChannelUnitConfiguration(groupId, 1, flushInterval, batchSize, pending)));
    }
    void enqueue(const std::shared_ptr<VUChannelUnitProtocol> &unit, int count)
    {
        for (int i = 0; i < count; ++i)
            unit->enqueueItem(makeStartServiceLog({QStringLiteral("S%1").arg(i)}), 1);
    }
    quint64 stored(const QString &groupId) { return group->storage()->countLogsWithGroupId(groupId); }
    QList<int> batchSizes()
    {
        QList<int> sizes;
        for (const auto &request : server.requests())
            if (request.path == "/logs")
                sizes.append(int(logsOfRequest(request).size()));
        std::sort(sizes.begin(), sizes.end());
        return sizes;
    }
    int loggedCount()
    {
        int total = 0;
        for (int size : batchSizes())
            total += size;
        return total;
    }

    // A store of its own for every test.
    std::unique_ptr<TestHome> home;
    std::shared_ptr<RecordingChannelDelegate> delegate = std::make_shared<RecordingChannelDelegate>();
    std::shared_ptr<VUChannelGroupDefault> group;
};

TEST_F(ChannelTest, ABacklogLeavesInFullBatchesAndIsDeletedOnceAnswered)
{
    // The backlog is all stored before sending can start (no app secret yet), so how the
    // logs were grouped on their way into the store has no say in the batches.
    makeGroup(false);
    auto unit = addUnit("Batches", 1.0f);
    enqueue(unit, 120);
    ASSERT_TRUE(waitUntil([&] { return stored("Batches") == 120; }, 10000));
    group->setAppSecret(kSecret);
    ASSERT_TRUE(waitUntil([&] { return loggedCount() == 120; }, 10000));
    EXPECT_EQ(batchSizes(), (QList<int>{20, 50, 50}));
    ASSERT_TRUE(waitUntil([&] { return stored("Batches") == 0; }));
    EXPECT_EQ(delegate->succeeded.load(), 120);
    EXPECT_EQ(delegate->failureCount(), 0);
    const auto request = server.requests().first();
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_EQ(request.header("Install-ID"), kInstallId.toUtf8());
}

TEST_F(ChannelTest, ARefusedBatchIsDroppedAloneAndTheRestIsSent)
{
    makeGroup();
    auto other = addUnit("Other", 60.0f);
    enqueue(other, 3);
    auto unit = addUnit("Refused", 60.0f);
    server.enqueueStatuses({400, 200});
    enqueue(unit, 100);
    ASSERT_TRUE(waitUntil([&] { return delegate->failureCount() == 50 && delegate->succeeded == 50; }, 10000));
    ASSERT_TRUE(waitUntil([&] { return stored("Refused") == 0; }));
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_EQ(delegate->failureCodes().first(), kVUConnectionHttpErrorCode);
    EXPECT_EQ(delegate->succeeded.load(), 50);
    // A refused batch is no reason to touch anything else.
    EXPECT_EQ(stored("Other"), 3u);
    EXPECT_TRUE(group->ingestion()->enabled());
    auto state = unit->state();
    EXPECT_TRUE(state.enabled);
    EXPECT_FALSE(state.discardLogs);
    // The unit goes on sending: a full batch leaves at once.
    enqueue(unit, 50);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount() == 3; }));
}

TEST_F(ChannelTest, ABatchThatOutlivesItsRetriesIsKeptAndSentLater)
{
    makeGroup();
    std::atomic<bool> serviceUp{false};
    server.setHandler([&](const LoopbackHttpServer::Request &) {
        LoopbackHttpServer::Response response;
        response.status = serviceUp ? 200 : 503;
        return response;
    });
    auto unit = addUnit("Busy", 0.05f, 50, 3);
    enqueue(unit, 10);
    // The first attempt and its three retries.
    ASSERT_TRUE(waitUntil([&] { return server.requestCount() >= 4; }));
    EXPECT_EQ(stored("Busy"), 10u);
    EXPECT_EQ(delegate->failureCount(), 0);
    serviceUp = true;
    ASSERT_TRUE(waitUntil([&] { return stored("Busy") == 0; }, 10000));
    EXPECT_EQ(delegate->succeeded.load(), 10);
    EXPECT_TRUE(group->ingestion()->enabled());
}

TEST_F(ChannelTest, ANetworkThatIsDownHoldsLogsAndItsReturnSendsThem)
{
    makeGroup();
    auto unit = addUnit("Offline");
    VU_Reachability::setSimulatedStatus(VU_Reachability::NotReachable);
    ASSERT_TRUE(waitUntil([&] { return unit->state().paused; }));
    enqueue(unit, 5);
    ASSERT_TRUE(waitUntil([&] { return stored("Offline") == 5; }));
    EXPECT_FALSE(server.waitForRequestCount(1, 200));
    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
    ASSERT_TRUE(waitUntil([&] { return stored("Offline") == 0; }));
    EXPECT_EQ(batchSizes(), QList<int>{5});
}

TEST_F(ChannelTest, LogsEnqueuedBeforeTheSecretWaitForIt)
{
    makeGroup(false);
    auto unit = addUnit("NoSecret");
    enqueue(unit, 3);
    ASSERT_TRUE(waitUntil([&] { return stored("NoSecret") == 3; }));
    EXPECT_FALSE(server.waitForRequestCount(1, 200));
    EXPECT_EQ(delegate->failureCount(), 0);
    group->setAppSecret(kSecret);
    ASSERT_TRUE(waitUntil([&] { return stored("NoSecret") == 0; }));
    EXPECT_EQ(batchSizes(), QList<int>{3});
    EXPECT_EQ(server.requests().first().header("App-Secret"), kSecret.toUtf8());
}

TEST_F(ChannelTest, StoredLogsSurviveARestartOfTheComponent)
{
    makeGroup(false);
    enqueue(addUnit("Restart"), 4);
    ASSERT_TRUE(waitUntil([&] { return stored("Restart") == 4; }));
    group.reset();

    makeGroup();
    addUnit("Restart");
    ASSERT_TRUE(waitUntil([&] { return stored("Restart") == 0; }));
    EXPECT_EQ(batchSizes(), QList<int>{4});
}

TEST_F(ChannelTest, TwoPausingObjectsHoldTheGroupUntilBothResume)
{
    makeGroup();
    auto unit = addUnit("Paused");
    int first = 0, second = 0;
    group->pauseWithIdentifyingObject(&first);
    group->pauseWithIdentifyingObject(&second);
    enqueue(unit, 2);
    ASSERT_TRUE(waitUntil([&] { return stored("Paused") == 2; }));
    group->resumeWithIdentifyingObject(&first);
    EXPECT_FALSE(server.waitForRequestCount(1, 200));
    EXPECT_TRUE(unit->state().paused);
    group->resumeWithIdentifyingObject(&second);
    ASSERT_TRUE(waitUntil([&] { return stored("Paused") == 0; }));
}

TEST_F(ChannelTest, RefusedCredentialsStopEverythingUntilEnabledAgain)
{
    makeGroup();
    auto unit = addUnit("Fatal");
    server.enqueueStatuses({401});
    enqueue(unit, 2);
    ASSERT_TRUE(waitUntil([&] { return !group->ingestion()->enabled() && unit->state().discardLogs; }));
    ASSERT_TRUE(waitUntil([&] { return stored("Fatal") == 0; }));
    EXPECT_EQ(unit->state().pendingBatches, 0);

    // A pause and resume of the group does not switch on an ingestion that switched itself off.
    int pauser = 0;
    group->pauseWithIdentifyingObject(&pauser);
    group->resumeWithIdentifyingObject(&pauser);
    unit->state();
    EXPECT_FALSE(group->ingestion()->enabled());

    // Discarding: every new log is reported failed with code 100.
    const int before = delegate->failureCount();
    enqueue(unit, 1);
    ASSERT_TRUE(waitUntil([&] { return delegate->failureCount() == before + 1; }));
    EXPECT_EQ(delegate->failureCodes().last(), kVUConnectionPausedErrorCode);

    group->setEnabled(true, false);
    enqueue(unit, 1);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount() == 2; }));
}

TEST_F(ChannelTest, AResumedTargetCountsOnlyItsOwnUnitsLogs)
{
    makeGroup(false);
    auto other = addUnit("Crowded", 60.0f, 50);
    enqueue(other, 60);
    auto unit = addUnit("Quiet", 60.0f, 50);
    enqueue(unit, 2);
    ASSERT_TRUE(waitUntil([&] { return stored("Crowded") == 60 && stored("Quiet") == 2; }));
    unit->pauseSendingLogsWithToken("key-1");
    unit->resumeSendingLogsWithToken("key-1");
    const auto state = unit->state();
    EXPECT_EQ(state.itemsCount, 2u);
    EXPECT_TRUE(state.timerArmed);
}

TEST_F(ChannelTest, CommonSchemaLogsTravelOnTheTwinNumberedOnce)
{
    auto csIngestion = VUVezUdudovezoIngestion::create(server.baseUrl());
    auto routing = std::make_shared<VUVezUdudovezoChannelDelegate>(QUuid(kInstallId), csIngestion);
    makeGroup();
    group->addDelegate(routing);
    auto unit = addUnit("Analytics");
    ASSERT_TRUE(group->channelUnitForGroupId("Analytics/one"));
    const QString token = QStringLiteral("key1-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    unit->enqueueItem(makeCommonSchemaLog(token), 1);
    unit->enqueueItem(makeCommonSchemaLog(token), 1);
    auto badName = makeCommonSchemaLog(token);
    badName->name = "a..b";
    unit->enqueueItem(badName, 1);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount() == 1 && stored("Analytics/one") == 0; }));
    EXPECT_EQ(stored("Analytics"), 0u);

    const auto request = server.requests().first();
    EXPECT_EQ(request.path, "/VezUdudovezo/1.0");
    QList<QJsonObject> sdks;
    for (const QByteArray &line : request.decodedBody().split('\n'))
        if (!line.isEmpty())
            sdks.append(QJsonDocument::fromJson(line).object().value("ext").toObject().value("sdk").toObject());
    ASSERT_EQ(sdks.size(), 2);
    EXPECT_EQ(sdks.at(0).value("epoch"), sdks.at(1).value("epoch"));
    QList<int> seqs{sdks.at(0).value("seq").toInt(), sdks.at(1).value("seq").toInt()};
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(seqs, (QList<int>{1, 2}));
    EXPECT_EQ(sdks.at(0).value("installId").toString(), kInstallId);

    // A unit made before the routing delegate has no twin: its tokened logs are reported.
    auto orphanGroup = VUChannelGroupDefault::create(kInstallId, server.baseUrl());
    orphanGroup->setAppSecret(kSecret);
    auto orphanDelegate = std::make_shared<RecordingChannelDelegate>();
    orphanGroup->addDelegate(orphanDelegate);
    auto orphan = orphanGroup->addChannelUnitWithConfiguration(VUChannelUnitConfiguration::defaultConfigurationWithGroupId("Orphan"));
    // Delegates are held weakly: the test keeps this one.
    auto lateRouting = std::make_shared<VUVezUdudovezoChannelDelegate>(QUuid(kInstallId), csIngestion);
    orphanGroup->addDelegate(lateRouting);
    auto tokened = makeLogWithProperties();
    tokened->addTransmissionTargetToken(token);
    orphan->enqueueItem(tokened, 1);
    ASSERT_TRUE(waitUntil([&] { return orphanDelegate->failureCount() == 1; }));
    EXPECT_EQ(orphanGroup->storage()->countLogsWithGroupId("Orphan"), 0u);
}

TEST_F(ChannelTest, DisablingWithDeletionReportsEveryStoredLog)
{
    makeGroup(false);
    auto unit = addUnit("Deleted");
    enqueue(unit, 4);
    ASSERT_TRUE(waitUntil([&] { return stored("Deleted") == 4; }));
    unit->setEnabled(false, true);
    ASSERT_TRUE(waitUntil([&] { return delegate->failureCount() == 4; }));
    EXPECT_EQ(stored("Deleted"), 0u);
    unit->setEnabled(true, false);
    enqueue(unit, 1);
    ASSERT_TRUE(waitUntil([&] { return stored("Deleted") == 1; }));
}

} // namespace
