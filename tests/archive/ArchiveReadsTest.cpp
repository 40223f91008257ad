// Reading an archive back: the service switches, the date repair of older rows, what a
// reader skips, and the contact names that calls and cached contacts are read with.

#include "ArchiveRig.h"

#include "archive/ArchiveDates.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/CallListController.h"
#include "personal/FRAddressExtras.h"
#include "personal/FRCallInfo.h"
#include "platform/UserDefaults.h"

namespace {

void setSwitches(bool sms, bool wa, bool fb)
{
    UserDefaults::standard().setBool(sms, "SHOW_SMS");
    UserDefaults::standard().setBool(wa, "SHOW_WA");
    UserDefaults::standard().setBool(fb, "SHOW_FB1");
}

QStringList texts(ArchiveRig &rig, SMSDataController *controller = nullptr)
{
    int error = 0;
    QStringList result;
    const auto records = rig.controller.getSMSFromBackupFile(QString(), QString(), controller, &error);
    EXPECT_TRUE(records) << error;
    for (const auto &record : records.value_or(QList<FRSMSInfoPtr>{}))
        result << record->SMSRawText();
    result.sort();
    return result;
}

} // namespace

TEST(ArchiveReads, TheServiceSwitchesFilterTheMessages)
{
    ArchiveRig rig;
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    rig.exec("uid-phone", "INSERT INTO message (date, address, text, flags) VALUES "
                          "(1, 'a', 'sms', 1), (2, 'a', 'imessage', 1073741824), (3, 'a', 'wa', 536870912),"
                          " (4, 'a', 'fb', 268435456)");
    struct Case
    {
        bool sms, wa, fb;
        QStringList expected;
    };
    const Case cases[] = {
        {true, true, true, {"fb", "imessage", "sms", "wa"}},
        {true, false, false, {"imessage", "sms"}},
        {false, true, false, {"wa"}},
        {false, false, true, {"fb"}},
        {false, true, true, {"fb", "wa"}},
        {true, true, false, {"imessage", "sms", "wa"}},
        {true, false, true, {"fb", "imessage", "sms"}},
        {false, false, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(QStringLiteral("%1%2%3").arg(c.sms).arg(c.wa).arg(c.fb).toStdString());
        setSwitches(c.sms, c.wa, c.fb);
        SMSDataController controller;
        EXPECT_EQ(texts(rig, &controller), c.expected);
        EXPECT_EQ(controller.numTotalSMS(), c.expected.size());
        EXPECT_EQ(controller.hasWA(), c.expected.contains("wa"));
        EXPECT_EQ(controller.hasFB(), c.expected.contains("fb"));
        EXPECT_EQ(controller.hasMessages(), c.expected.contains("sms"));
    }
}

TEST(ArchiveReads, StoredDatesOfEveryFormAreRepaired)
{
    struct Case
    {
        const char *name;
        int64_t stored;
        double now;
        double expected;
    };
    const double now = 1700000000;
    const Case cases[] = {
        {"seconds since 1970", 1400000000, now, 1400000000},
        {"the largest seconds value (and too late)", 500000000000000000LL, now, 500000000000000000.0 - 978307200},
        {"nanoseconds since 2001", 500000000000000001LL, now, 500000000 + 978307200.0},
        {"a whole nanosecond second", 600000000000000000LL, now, 600000000 + 978307200.0},
        {"pushed 978307200 too late", 2145916810 + 100, now, 2145916810 + 100 - 978307200.0},
        {"late dates are kept once the present reaches them", 2145916810 + 100, 2145916811, 2145916910},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ArchiveDates::repairedSeconds(c.stored, double(c.stored), c.now), c.expected);
    }
}

TEST(ArchiveReads, NanosecondRowsReadAsTheSecondTheyWereWritten)
{
    ArchiveRig rig;
    setSwitches(true, true, true);
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    rig.exec("uid-phone", "INSERT INTO message (date, address, text, flags) VALUES (600000000000000000, 'a', 'x', 0)");
    const auto records = rig.controller.getSMSFromBackupFile(QString(), QString(), nullptr, &error);
    ASSERT_TRUE(records && records->size() == 1);
    EXPECT_EQ(records->at(0)->SMSNSDate().toSecsSinceEpoch(), 600000000 + 978307200);
}

TEST(ArchiveReads, TombstonesAndBlankMessagesAreSkippedButKept)
{
    ArchiveRig rig;
    setSwitches(true, true, true);
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    rig.exec("uid-phone", "INSERT INTO message (date, address, text, flags) VALUES "
                          "(1, 'a', ' \n\t ', 0), (2, '---DELETED---', '---DELETED---', 0), (3, 'a', 'kept', 0),"
                          " (4, 'a', NULL, 0)");
    EXPECT_EQ(texts(rig), QStringList{"kept"});
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 4);
}

TEST(ArchiveReads, AReaderWithoutAnArchiveGetsAnError)
{
    ArchiveRig rig{QString()};
    int error = 0;
    EXPECT_FALSE(rig.controller.getSMSFromBackupFile(QString(), QString(), nullptr, &error));
    EXPECT_EQ(error, AppController::kReadNoMessageDB);
    EXPECT_FALSE(rig.controller.getCallsFromBackupFile(QString(), QString(), nullptr, &error));
    EXPECT_EQ(error, AppController::kReadNoCallDB);
}

TEST(ArchiveReads, CallsWithoutAStoredNameAreNamedByTheContactNames)
{
    struct Controller : CallListController
    {
        QString table;
        explicit Controller(QString t) : table(std::move(t)) {}
        QString archiveTableName() const override { return table; }
        QString cacheDBName() const override { return "uid-phone"; }
        void setNumTotalCalls(int) override {}
    };
    ArchiveRig rig;
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    rig.exec("uid-phone", "INSERT INTO contacts (id, name) VALUES ('+15550100', 'Ann')");
    FRAddressExtras::addName(QStringLiteral("Bob"), QStringLiteral("entry-bob"), std::nullopt,
                             FRAddressExtras::lookupKey("+15550199"), "uid-phone");
    rig.exec("uid-phone", "INSERT INTO call (id, date, address, duration, flags, name) VALUES "
                          "(1, 1, '+15550100', 5, 0, NULL), (2, 2, '+15550199', 5, 0, ''),"
                          " (3, 3, '+15550101', 5, 0, 'Stored'), (4, 4, '+15550000', 5, 0, NULL)");
    rig.exec("uid-phone", "INSERT INTO voicemail (id, date, address, duration, flags, amr) VALUES "
                          "(5, 5, '+15550199', 9, 0, x'2321414d520a')");

    auto names = [&](const char *table) {
        Controller controller(table);
        QStringList result;
        const auto calls = rig.controller.getCallsFromBackupFile(QString(), QString(), &controller, &error);
        for (const auto &call : calls.value_or(QList<FRCallInfoPtr>{}))
            result << call->CallNumber() + "=" + call->CallName();
        return result;
    };
    EXPECT_EQ(names("call"), (QStringList{"+15550000=", "+15550101=Stored", "+15550199=Bob", "+15550100=Ann"}));
    EXPECT_EQ(names("voicemail"), QStringList{"+15550199=Bob"});
}

TEST(ArchiveReads, CachedContactsAnswerFromMemoryUnlessTheArchiveIsAsked)
{
    ArchiveRig rig;
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    rig.exec("uid-phone", "INSERT INTO contacts (id, name, image) VALUES ('WA15550100', 'Anna', x'01'),"
                          " ('15550177', 'Carl', NULL)");
    FRAddressExtras::addName(QStringLiteral("Remembered"), std::nullopt, QByteArray("mem"), "WA15550100", "uid-phone");

    auto &c = rig.controller;
    EXPECT_EQ(c.loadContactFromCache("WA15550100", false, "uid-phone").value("name"), "Remembered");
    const QVariantMap stored = c.loadContactFromCache("WA15550100", true, "uid-phone");
    EXPECT_EQ(stored.value("name"), "Anna");
    EXPECT_EQ(stored.value("image").toByteArray(), QByteArray("\x01"));
    // What the archive answered is what memory answers next.
    EXPECT_EQ(c.loadContactFromCache("WA15550100", false, "uid-phone").value("name"), "Anna");

    EXPECT_EQ(c.loadContactFromCache("Facebook ID 15550177", false, "uid-phone").value("entry"), "15550177");
    std::lock_guard cache(gGlobalCacheLock);
    EXPECT_EQ(gPhones.value("uid-phone").value("15550177"), "Carl");
}
