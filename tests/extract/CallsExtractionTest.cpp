#include "ExtractRig.h"

#include "personal/CallListController.h"
#include "personal/FRAddressExtras.h"
#include "personal/FRCallInfo.h"
#include "platform/KeyedArchive.h"

#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

struct Controller : CallListController
{
    explicit Controller(QString table = "call", QString cache = "uid-phone")
        : table(std::move(table)), cache(std::move(cache))
    {}
    QString archiveTableName() const override { return table; }
    QString cacheDBName() const override { return cache; }
    void setNumTotalCalls(int t) override { total = t; }
    int numTotalCalls() const override { return total; }
    QString table, cache;
    int total = 0;
};

QDateTime from2001(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds + 978307200, Qt::UTC);
}

QString callHistory(bool full)
{
    QString sql = "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZDATE REAL, ZADDRESS TEXT, ZDURATION REAL, "
                  "ZORIGINATED INTEGER, ZCALLTYPE INTEGER";
    sql += full ? ", ZSERVICE_PROVIDER TEXT, ZNAME TEXT, ZCALL_CATEGORY INTEGER);" : ");";
    if (full) {
        sql += "INSERT INTO ZCALLRECORD VALUES(1,600000000,'+1 555 123 4567',60,1,1,'com.apple.Telephony',NULL,1);"
               // The same second and number, another call: both are kept.
               "INSERT INTO ZCALLRECORD VALUES(2,600000000,'+1 555 123 4567',5,0,1,'com.apple.Telephony',NULL,1);"
               "INSERT INTO ZCALLRECORD VALUES(3,600000500,'+1 555 000 9999',30,0,8,'com.apple.FaceTime','Fay',1);"
               "INSERT INTO ZCALLRECORD VALUES(4,600000200,'+44 7700 900123',12,1,1,'net.whatsapp.WhatsApp',NULL,1);"
               "INSERT INTO ZCALLRECORD VALUES(5,600000300,'+44 7700 900123',12,1,1,'net.whatsapp.WhatsApp',NULL,2);";
    } else {
        sql += "INSERT INTO ZCALLRECORD VALUES(1,600000000,'+1 555 123 4567',60,1,1);";
    }
    return sql;
}

QByteArray callLog(const QList<QPair<QDateTime, bool>> &events)
{
    QVariantList list;
    for (const auto &[date, incoming] : events)
        list << QVariant::fromValue(KeyedArchive::makeObject(
            "WACallEvent", {{"duration", 42.5},
                            {"incoming", incoming},
                            {"peerJID", "447700900123@s.whatsapp.net"},
                            {"peerDisplayName", "Wendy"},
                            {"date", date}}));
    return KeyedArchive::encode(list);
}

} // namespace

TEST(CallsExtraction, CallHistoryIsReadNamedArchivedOnceAndKeepsSameSecondCallsApart)
{
    ExtractRig rig;
    rig.makeArchive();
    // The names a contacts run of the same backup put into its work folder's caches.
    FRAddressExtras::addName(QStringLiteral("Ann Lee"), QStringLiteral("device_1_1"), std::nullopt, "51234567",
                             "callbackupB1");
    Controller controller("call", "callbackupB1");
    const QString path = rig.workFile("call_history.db");
    const QString store = rig.workFile("CallHistory.storedata");
    makeDatabase(store, callHistory(true));
    int error = 0;
    QDateTime oldestWA;
    const auto calls = rig.controller.processCallData(path, &controller, "callbackupuid-phone", &error, &oldestWA);
    ASSERT_TRUE(calls) << error;
    ASSERT_EQ(calls->size(), 5);
    EXPECT_EQ(controller.total, 5);
    EXPECT_EQ(oldestWA, from2001(600000200));

    const FRCallInfoPtr &video = calls->at(0);
    EXPECT_EQ(video->CallFlags(), 0x10);
    EXPECT_EQ(video->CallName(), "Fay");
    EXPECT_EQ(video->CallProvider().toString(), "apple.FaceTime");
    const FRCallInfoPtr &ann = calls->at(3);
    EXPECT_EQ(ann->CallNSDate(), from2001(600000000));
    EXPECT_EQ(ann->CallName(), "Ann Lee");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 5);
    EXPECT_EQ(rig.text("uid-phone", "SELECT name FROM contacts WHERE id='+1 555 123 4567'"), "Ann Lee");

    makeDatabase(store, callHistory(true));
    ASSERT_TRUE(rig.controller.processCallData(path, &controller, "callbackupuid-phone", &error, nullptr));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 5) << "a second run adds nothing";
}

TEST(CallsExtraction, OlderStoresAndDatabasesAreRead)
{
    ExtractRig rig;
    Controller controller;
    int error = 0;
    makeDatabase(rig.workFile("CallHistory.storedata"), callHistory(false));
    auto calls = rig.controller.processCallData(rig.workFile("call_history.db"), &controller, "k", &error, nullptr);
    ASSERT_TRUE(calls) << error;
    ASSERT_EQ(calls->size(), 1);
    EXPECT_FALSE(calls->at(0)->CallProvider().isValid());
    EXPECT_EQ(calls->at(0)->CallFlags(), 1);

    makeDatabase(rig.workFile("call_history.db"),
                 "CREATE TABLE call (ROWID INTEGER PRIMARY KEY, address TEXT, date INTEGER, duration INTEGER, flags "
                 "INTEGER);"
                 "INSERT INTO call VALUES(1,'+15550001',1300000000,10,5);");
    calls = rig.controller.processCallData(rig.workFile("call_history.db"), &controller, "k", &error, nullptr);
    ASSERT_TRUE(calls) << error;
    EXPECT_EQ(calls->at(0)->info().value("Flags").toString(), "5");
    EXPECT_EQ(calls->at(0)->CallNSDate(), QDateTime::fromSecsSinceEpoch(1300000000, Qt::UTC));

    makeDatabase(rig.workFile("call_history.db"), "CREATE TABLE other (x);");
    EXPECT_FALSE(rig.controller.processCallData(rig.workFile("call_history.db"), &controller, "k", &error, nullptr));
    EXPECT_EQ(error, -38818);
    writeFile(rig.workFile("call_history.db"), QByteArray(1024, 'z'));
    EXPECT_FALSE(rig.controller.processCallData(rig.workFile("call_history.db"), &controller, "k", &error, nullptr));
    EXPECT_EQ(error, -8929);
}

TEST(CallsExtraction, WhatsAppCallsKeepTheirIdsAndSkipWhatTheHistoryLists)
{
    ExtractRig rig;
    rig.makeArchive();
    Controller controller;
    const QDateTime oldest = from2001(600000200);
    const QString path = rig.workFile("calls.log");
    const QByteArray log = callLog({{from2001(600000100), true}, {from2001(600000199), false}, {oldest, false}});
    writeFile(path, log);
    int error = 0;
    const auto calls = rig.controller.processWACallData(path, &controller, "callbackupuid-phone", &error, oldest);
    ASSERT_TRUE(calls) << error;
    ASSERT_EQ(calls->size(), 1) << "from one second before the oldest history call on, the history lists them";
    const FRCallInfoPtr &call = calls->at(0);
    EXPECT_EQ(call->CallNumber(), "447700900123");
    EXPECT_EQ(call->CallName(), "Wendy");
    EXPECT_EQ(call->CallFlags(), 0);
    EXPECT_EQ(call->CallProvider().toString(), "net.whatsapp.WhatsApp");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 1);

    writeFile(path, log);
    const auto again = rig.controller.processWACallData(path, &controller, "callbackupuid-phone", &error, QDateTime());
    ASSERT_TRUE(again) << error;
    ASSERT_EQ(again->size(), 3);
    EXPECT_EQ(again->at(0)->keyString(), call->keyString()) << "the same call keeps its id at every load";
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM call"), 3);

    writeFile(path, "not an archive");
    EXPECT_FALSE(rig.controller.processWACallData(path, &controller, "k", &error, QDateTime()));
    EXPECT_NE(error, 0);
}

TEST(CallsExtraction, VoicemailRecordingsAreMatchedByRowAndDate)
{
    ExtractRig rig;
    rig.makeArchive();
    Controller controller("voicemail");
    const QString path = rig.tempFile("voicemail.db");
    auto prepare = [&](qint64 secondDate) {
        makeDatabase(path, QStringLiteral("CREATE TABLE voicemail (ROWID INTEGER PRIMARY KEY, date INTEGER, sender TEXT, "
                                          "duration INTEGER, flags INTEGER);"
                                          "INSERT INTO voicemail VALUES(1,1300000000,'+15550001',20,1);"
                                          "INSERT INTO voicemail VALUES(2,%1,'+15550002',30,0);")
                               .arg(secondDate));
    };
    prepare(1300000100);
    writeFile(rig.tempFile("1.amr"), "#!AMR one");
    writeFile(rig.tempFile("2.amr"), "#!AMR two");
    int error = 0;
    auto voicemail = rig.controller.processVoicemailData(path, &controller, "uid-phone", &error);
    ASSERT_TRUE(voicemail) << error;
    ASSERT_EQ(voicemail->size(), 2);
    EXPECT_EQ(voicemail->at(1)->amr(), "#!AMR one");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM voicemail"), 2);
    EXPECT_FALSE(QFileInfo::exists(rig.tempFile("1.amr")));

    // The device deleted voicemail 2; a new one took its row id. The cached recording of the
    // old one must not be attached to it; voicemail 1 comes from the cache.
    prepare(1300009999);
    // A cache written by row id alone (as older versions keyed it) must not match either.
    rig.exec("uid-phone", "INSERT INTO amrs (uuid, data) VALUES ('2', CAST('#!AMR stale' AS BLOB))");
    voicemail = rig.controller.processVoicemailData(path, &controller, "uid-phone", &error);
    ASSERT_TRUE(voicemail) << error;
    EXPECT_EQ(voicemail->at(1)->amr(), "#!AMR one");
    EXPECT_TRUE(voicemail->at(0)->amr().isEmpty());
    EXPECT_TRUE(voicemail->at(0)->info().value("noAMR").toBool());
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM voicemail"), 2) << "without a recording: not archived";
}
