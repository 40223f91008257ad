#include "TelemetryTestSupport.h"
#include "TestHome.h"

#include "platform/UserDefaults.h"
#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VUUserIdContext.h"

#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

#include <thread>

TEST(VUDeviceTracker, DescribesThisHost)
{
    TestHome home;
    VUDeviceTracker::resetSharedInstance();
    const auto device = VUDeviceTracker::sharedInstance()->device();
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->isValid()) << device->serializeToDictionary().dump();
    EXPECT_EQ(device->sdkName, "vovudezir.macos");
    EXPECT_TRUE(device->osVersion && QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(*device->osVersion).hasMatch());
    EXPECT_FALSE(device->osBuild.value_or("").isEmpty());
    EXPECT_FALSE(device->model.value_or("").isEmpty());
    EXPECT_TRUE(QRegularExpression("^[a-zA-Z]+(-[A-Z][a-z]{3})?_[A-Z0-9]*$").match(*device->locale).hasMatch())
        << device->locale->toStdString();
    EXPECT_EQ(device->screenSize, "0x0");
    EXPECT_EQ(device->timeZoneOffset, QDateTime::currentDateTime().offsetFromUtc() / 60);
    EXPECT_FALSE(device->carrierName);
    EXPECT_EQ(VUDeviceTracker::sharedInstance()->device(), device) << "kept until something changes";

    EXPECT_EQ(VUDeviceTracker::localeIdentifier("sr-Latn-RS", "DE"), "sr-Latn_RS");
    EXPECT_EQ(VUDeviceTracker::localeIdentifier("en", "CA"), "en_CA");
    EXPECT_EQ(VUDeviceTracker::localeIdentifier("de_AT", "DE"), "de_AT");

    VUDeviceTracker::setScreenSizeProvider([] { return QSize(2880, 1800); });
    EXPECT_EQ(VUDeviceTracker::screenSize(), "1800x2880");
    VUDeviceTracker::setScreenSizeProvider({});
    VUDeviceTracker::resetSharedInstance();
}

TEST(VUDeviceTracker, KeepsAHistoryOfFiveAcrossRestarts)
{
    TestHome home;
    VUDeviceTracker::resetSharedInstance();
    auto tracker = VUDeviceTracker::sharedInstance();
    QList<QDateTime> made;
    for (int i = 0; i < 7; ++i) {
        tracker->setCountryCode(QStringLiteral("C%1").arg(i));
        tracker->device();
        made.append(*tracker->deviceHistory().last()->timestamp);
        QThread::msleep(3);
    }
    const auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 5);
    EXPECT_EQ(history.first()->device->carrierCountry, "C2");
    EXPECT_EQ(history.last()->device->carrierCountry, "C6");

    // Lookup by time: the last description made strictly before the date.
    EXPECT_EQ(tracker->deviceForTimestamp(made.first().addSecs(-60))->carrierCountry, "C2");
    EXPECT_EQ(tracker->deviceForTimestamp(made.at(4))->carrierCountry, "C3");
    EXPECT_EQ(tracker->deviceForTimestamp(made.at(4).addMSecs(1))->carrierCountry, "C4");
    EXPECT_EQ(tracker->deviceForTimestamp(made.last().addSecs(60))->carrierCountry, "C6");
    EXPECT_EQ(tracker->deviceForTimestamp(std::nullopt)->carrierCountry, "C6");

    // A new run reads the stored history and still answers for earlier times.
    VUDeviceTracker::resetSharedInstance();
    auto restarted = VUDeviceTracker::sharedInstance();
    ASSERT_EQ(restarted->deviceHistory().size(), 5);
    EXPECT_EQ(restarted->deviceForTimestamp(made.at(5).addMSecs(1))->carrierCountry, "C5");

    // Lookups while another thread keeps changing the history.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            restarted->setCountryCode(QStringLiteral("W%1").arg(i));
            restarted->device();
        }
    });
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(restarted->deviceForTimestamp(QDateTime::currentDateTimeUtc()));
    stop = true;
    writer.join();
    EXPECT_LE(restarted->deviceHistory().size(), 5);

    restarted->clearDevices();
    EXPECT_TRUE(restarted->deviceHistory().isEmpty());
    EXPECT_FALSE(UserDefaults::standard().contains("pastDevicesKey"));
    VUDeviceTracker::resetSharedInstance();
}

TEST(VUUserIdContext, HistoryPerLaunchCappedAndLookedUpByTime)
{
    TestHome home;
    VUUserIdContext::resetSharedInstance();
    auto context = VUUserIdContext::sharedInstance();
    EXPECT_FALSE(context->userId());
    const QDateTime beforeIds = QDateTime::currentDateTimeUtc().addSecs(-60);
    context->setUserId(QStringLiteral("first"));
    context->setUserId(QStringLiteral("second"));
    EXPECT_EQ(context->userId(), "second");
    ASSERT_EQ(context->userIdHistory().size(), 1) << "one record per run";
    EXPECT_FALSE(context->userIdAt(beforeIds));
    EXPECT_EQ(context->userIdAt(QDateTime::currentDateTimeUtc().addSecs(1)), "second");

    // Every launch adds a record; the stored history never grows past the cap.
    for (int launch = 0; launch < 8; ++launch) {
        VUUserIdContext::resetSharedInstance();
        QThread::msleep(2);
        VUUserIdContext::sharedInstance();
    }
    context = VUUserIdContext::sharedInstance();
    EXPECT_EQ(context->userIdHistory().size(), VUUserIdContext::kMaxUserIdHistoryCount);
    EXPECT_FALSE(context->userId());
    context->clearUserIdHistory();
    EXPECT_EQ(context->userIdHistory().size(), 1);

    // Reads overlap the writes for as long as the writer runs; the tsan build sees a read
    // that does not hold the context's lock.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i)
            context->setUserId(QStringLiteral("u%1").arg(i));
        writing = false;
    });
    int reads = 0;
    while (writing.load() || reads == 0) {
        const auto id = context->userId();
        EXPECT_TRUE(!id || id->startsWith('u'));
        ++reads;
    }
    writer.join();
    EXPECT_EQ(context->userId(), "u299");
    VUUserIdContext::resetSharedInstance();
}

TEST(VUUserIdContext, ValidationAndPrefix)
{
    RecordingLogHandler log(VULogLevelError);
    EXPECT_TRUE(VUUserIdContext::isUserIdValidForVovUdezir(std::nullopt));
    // The limit counts characters, so 256 emoji pass and 257 do not.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_TRUE(VUUserIdContext::isUserIdValidForVovUdezir(emoji.repeated(256)));
    EXPECT_FALSE(VUUserIdContext::isUserIdValidForVovUdezir(emoji.repeated(257)));
    EXPECT_TRUE(log.contains("userId is limited to 256 characters."));

    struct Case { std::optional<QString> id; bool valid; };
    for (const Case &c : {Case{std::nullopt, true}, Case{QString(""), false}, Case{QString("c:"), false},
                          Case{QString("d:alice"), false}, Case{QString("c:alice"), true}, Case{QString("alice"), true}})
        EXPECT_EQ(VUUserIdContext::isUserIdValidForVezUdudovezo(c.id), c.valid) << c.id.value_or("(absent)").toStdString();
    EXPECT_TRUE(log.contains("userId prefix must be 'c', 'd' is not supported."));

    EXPECT_EQ(VUUserIdContext::prefixedUserIdFromUserId(QString("alice")), "c:alice");
    EXPECT_EQ(VUUserIdContext::prefixedUserIdFromUserId(QString("x:alice")), "x:alice");
    EXPECT_FALSE(VUUserIdContext::prefixedUserIdFromUserId(std::nullopt));
}
