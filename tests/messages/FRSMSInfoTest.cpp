// The message record: flags and state words, fallbacks of missing keys, gateway screen
// names, conversation names, export lines and search.

#include "messages/FRSMSInfo.h"

#include <QXmlStreamReader>

namespace {

FRSMSInfoPtr record(QVariantMap info)
{
    return FRSMSInfo::infoWithInfo(info, nullptr);
}

} // namespace

TEST(FRSMSInfo, FlagsGiveServiceStateAndDirection)
{
    struct Case
    {
        const char *name;
        qint64 flags;
        const char *type;
        const char *kind;
        bool incoming, regular;
    };
    const Case cases[] = {
        {"received SMS", 0, "Received", "", true, true},
        {"sent SMS", 1, "Sent", "", false, true},
        {"failed", 0x21, "Failed", "", false, true},
        {"waiting wins over failed and sent", qint64(int32_t(0x80000021)), "Waiting", "", false, true},
        {"iMessage", 0x40000001, "Sent", "iMessage", false, false},
        {"WhatsApp", 0x20000000, "Received", "WhatsApp", true, false},
        {"Messenger", 0x10000000, "Received", "Facebook", true, false},
        {"flags as text", -1, "Waiting", "iMessage", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QVariantMap info{{SMSKey::Flags, c.flags}};
        if (c.flags == -1)
            info[SMSKey::Flags] = QStringLiteral("-1073741823"); // 0xC0000001
        const auto sms = record(info);
        EXPECT_EQ(sms->SMSType(), c.type);
        EXPECT_EQ(sms->kindString(), c.kind);
        EXPECT_EQ(sms->SMSIncoming(), c.incoming);
        EXPECT_EQ(sms->SMSRegularMessage(), c.regular);
    }
}

TEST(FRSMSInfo, MissingKeysFallBack)
{
    const auto sms = record({});
    EXPECT_EQ(sms->SMSNumber(), "Unknown");
    EXPECT_EQ(sms->SMSRawText(), "Unknown");
    EXPECT_EQ(sms->keyString(), "Unknown");
    EXPECT_EQ(sms->SMSFullHTML(), "");
    EXPECT_EQ(sms->GroupTitle(), "");
    EXPECT_EQ(sms->SMSSeconds(), 0);                                  // sorts at 0
    EXPECT_LE(qAbs(sms->SMSNSDate().secsTo(QDateTime::currentDateTime())), 5); // shows now
    EXPECT_EQ(sms->SMSFlagsInt(), 0);
    EXPECT_FALSE(sms->SMSOnPhone());
    EXPECT_EQ(sms->description(), "nil mInfo");
}

TEST(FRSMSInfo, AReceivedMessageIsAttributedToItsSenderOrItsConversation)
{
    EXPECT_EQ(record({{SMSKey::Address, "a, b"}, {SMSKey::Sender, "b"}})->SMSNumberSpecific(), "b");
    EXPECT_EQ(record({{SMSKey::Address, "a, b"}, {SMSKey::Sender, ""}})->SMSNumberSpecific(), "a, b");
    EXPECT_EQ(record({{SMSKey::Address, "a, b"}, {SMSKey::Sender, "b"}, {SMSKey::Flags, 1}})->SMSNumberSpecific(),
              "a, b");
}

TEST(FRSMSInfo, GatewayNumbersAndScreenNames)
{
    for (const char *gateway : {"9200", "9229", "265019", "265060", "265089", "4651"})
        EXPECT_TRUE(FRSMSInfo::isAIM(gateway)) << gateway;
    for (const char *other : {"9199", "9230", "265059", "2650190", "+15550100", ""})
        EXPECT_FALSE(FRSMSInfo::isAIM(other)) << other;

    EXPECT_EQ(FRSMSInfo::getScreenName("buddy (AIM): hi there\nmore text"), "buddy");
    EXPECT_EQ(FRSMSInfo::getScreenName("pal (IM): hi\nmore"), "pal");
    EXPECT_EQ(FRSMSInfo::getScreenName("buddy (AIM): no line end"), "");
    EXPECT_EQ(FRSMSInfo::getScreenName("no colon here\nmore"), "");

    const auto sms = record({{SMSKey::Address, "9201"}, {SMSKey::Text, "buddy (AIM): hi\nthere\n(You can reply to this message)"}});
    EXPECT_EQ(sms->tooltip(), "buddy");
    EXPECT_EQ(sms->SMSText(), "buddy (AIM): hi\nthere\n");
    EXPECT_TRUE(sms->SMSDetailsTabbed().contains("\tbuddy\t"));
}

TEST(FRSMSInfo, LongConversationNamesAreShortened)
{
    const auto named = [](const QString &name) {
        const auto sms = record({{SMSKey::Flags, 1}});
        sms->addThreadObject({{"name", name}});
        return sms->SMSShortenedAddressSpecific();
    };
    EXPECT_EQ(named("Ann, Bob, Cy"), "Ann, Bob, Cy");
    EXPECT_EQ(named("Ann, Bob, Cy, Dee"), "Ann, Bob and 2 others");
    const auto received = record({});
    received->addThreadObject({{"name", "Ann, Bob, Cy, Dee"}, {"senderName", "Cy"}});
    EXPECT_EQ(received->SMSShortenedAddressSpecific(), "Cy");
    EXPECT_EQ(received->SMSAddressSpecific(), "Cy");
}

TEST(FRSMSInfo, ExportLinesKeepEveryFieldIntact)
{
    const auto sms = record({{SMSKey::Text, "say \"hi\"\tnow\nplease"},
                             {SMSKey::Address, "+15550100"},
                             {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1400000000, Qt::UTC)},
                             {SMSKey::Flags, 0x40000001}});
    sms->addThreadObject({{"name", "An\tn"}});
    const QStringList tabbed = sms->SMSDetailsTabbed().chopped(1).split('\t');
    ASSERT_EQ(tabbed.size(), 6);
    EXPECT_EQ(tabbed[0], "Sent");
    EXPECT_EQ(tabbed[2], "Ann");
    EXPECT_EQ(tabbed[3], "+15550100");
    EXPECT_EQ(tabbed[4], "say \"hi\"    now please");
    EXPECT_EQ(tabbed[5], "iMessage");
    EXPECT_TRUE(sms->SMSDetailsCSV().startsWith("\"Sent\","));
    EXPECT_TRUE(sms->SMSDetailsCSV().contains(",\"say \"\"hi\"\"\tnow\nplease\",\"iMessage\"\n"));
    EXPECT_TRUE(sms->SMSDetails().startsWith("Sent\t"));
    EXPECT_TRUE(sms->SMSDetails().endsWith("\tAnn\nsay \"hi\"\tnow\nplease\n"));
}

TEST(FRSMSInfo, XmlExportIsWellFormedWhateverTheText)
{
    const auto sms = record({{SMSKey::Text, QString("bell\x07 nul") + QChar(0) + " <tag> & \xF0\x9F\x98\x80 "
                                                + QChar(0xD800) + " end"},
                             {SMSKey::Address, "a&b"},
                             {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1400000000, Qt::UTC)}});
    const QString xml = sms->SMSDetailsXML();
    QXmlStreamReader reader(xml);
    QString message, kind, dateTime;
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement) {
            if (reader.name() == QLatin1String("Message"))
                message = reader.readElementText();
            else if (reader.name() == QLatin1String("Kind"))
                kind = reader.readElementText();
            else if (reader.name() == QLatin1String("DateTime"))
                dateTime = reader.readElementText();
        }
    }
    EXPECT_FALSE(reader.hasError()) << qPrintable(reader.errorString());
    EXPECT_EQ(message, QString::fromUtf8("bell nul <tag> & \xF0\x9F\x98\x80  end"));
    EXPECT_EQ(kind, "Received");
    EXPECT_EQ(dateTime, "2014-05-13 16:53:20 +0000");
}

TEST(FRSMSInfo, SearchMatchesWhateverFormTheAccentsTake)
{
    const QString composed = QString::fromUtf8("Caf\xC3\xA9");
    const QString decomposed = QString::fromUtf8("Cafe\xCC\x81");
    EXPECT_TRUE(record({{SMSKey::Text, composed}})->matchesSearchFor(decomposed.toUpper()));
    EXPECT_TRUE(record({{SMSKey::Text, decomposed}})->matchesSearchFor(composed));
    EXPECT_FALSE(record({{SMSKey::Text, "tea"}})->matchesSearchFor(composed));
    EXPECT_FALSE(record({{SMSKey::Text, "tea"}})->matchesSearchFor(""));
    EXPECT_TRUE(record({{SMSKey::Flags, 0x20000000}})->matchesSearchFor("whatsapp"));
}

TEST(FRSMSInfo, ConversationSelection)
{
    const auto wa = record({{SMSKey::Flags, 0x20000000}});
    wa->addThreadObject({{"id", QVariantList{"t1"}}});
    const auto sms = record({});
    sms->addThreadObject({{"id", QVariantList{"t2"}}});
    const QVariantList all{QVariantMap{{"name", "All"}}};
    const QVariantList fromWA{QVariantMap{{"name", "All From WhatsApp"}}};
    const QVariantList fromMessages{QVariantMap{{"name", "All From Messages"}}};
    const QVariantList t1{QVariantMap{{"name", "x"}, {"ids", QVariantList{"t1"}}}};
    const QVariantList t1ForIM{QVariantMap{{"name", "x"}, {"ids", QVariantList{"t1"}}, {"forIM", true}}};
    EXPECT_TRUE(wa->isInThreads(all));
    EXPECT_TRUE(wa->isInThreads(fromWA));
    EXPECT_FALSE(sms->isInThreads(fromWA));
    EXPECT_TRUE(sms->isInThreads(fromMessages));
    EXPECT_TRUE(wa->isInThreads(t1));
    EXPECT_FALSE(sms->isInThreads(t1));
    EXPECT_FALSE(wa->isInThreads(t1ForIM));
}

TEST(FRSMSInfo, SettingFilesSetsTheirKeys)
{
    const auto sms = record({});
    sms->setFiles({{"a.jpg", QByteArray("x")}, {"b.mov", QString("/p/b.mov")}});
    EXPECT_EQ(sms->fileids(), (QStringList{"a.jpg", "b.mov"}));
    sms->clearFiles();
    EXPECT_TRUE(sms->files().isEmpty());
    EXPECT_EQ(sms->fileids().size(), 2);
}
