// The call record: duration and status words, provider names, sort keys, the export line,
// voicemail file names and search.

#include "personal/FRCallInfo.h"

namespace {

FRCallInfoPtr call(const QVariantMap &info)
{
    return FRCallInfo::infoWithInfo(info, nullptr);
}

} // namespace

TEST(FRCallInfo, DurationAndStatusWords)
{
    struct Case
    {
        const char *name;
        int seconds, flags;
        bool voicemail;
        const char *provider;
        const char *duration, *status, *typeSort;
        int durationSort;
    };
    const Case cases[] = {
        {"one second", 1, 0, false, nullptr, "1 Second", "Incoming", "(null)1", 2},
        {"59 seconds", 59, 0, false, nullptr, "59 Seconds", "Incoming", "(null)1", 60},
        {"60 seconds", 60, 1, false, nullptr, "1 Minute", "Outgoing", "(null)3", 61},
        {"119 seconds", 119, 1, false, nullptr, "1 Minute", "Outgoing", "(null)3", 120},
        {"120 seconds", 120, 1, false, nullptr, "2 Minutes", "Outgoing", "(null)3", 121},
        {"voicemail of 95 seconds", 95, 0, true, nullptr, "95 Seconds", "Incoming", "(null)1", 96},
        {"cancelled", 0, 1, false, nullptr, "Cancelled", "Failed", "(null)4", 0},
        {"missed", 0, 0, false, nullptr, "Missed Call", "Missed", "(null)2", 1},
        {"WhatsApp video", 30, 16, false, "net.whatsapp.WhatsApp", "30 Seconds", "Incoming WhatsApp Video",
         "WhatsApp1X", 31},
        {"the phone itself", 30, 0, false, "com.apple.Telephony", "30 Seconds", "Incoming", "(null)1", 31},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QVariantMap info{{CallKey::Duration, QString::number(c.seconds)}, {CallKey::Flags, QString::number(c.flags)}};
        if (c.voicemail)
            info.insert(CallKey::IsVoicemail, true);
        if (c.provider)
            info.insert(CallKey::Provider, c.provider);
        const auto row = call(info);
        EXPECT_EQ(row->CallDuration(), c.duration);
        EXPECT_EQ(row->CallStatus(), c.status);
        EXPECT_EQ(row->CallTypeSort(), c.typeSort);
        EXPECT_EQ(row->CallDurationSort(), c.durationSort);
    }
}

TEST(FRCallInfo, MissingValuesFallBack)
{
    const auto row = call({{CallKey::Number, ""}});
    EXPECT_EQ(row->CallNumber(), "Unknown");
    EXPECT_EQ(row->CallName(), "");
    EXPECT_FALSE(row->CallDBName().isValid());
    EXPECT_EQ(row->keyString(), "Unknown");
    EXPECT_TRUE(row->CallProviderName().isNull());
    EXPECT_EQ(row->dataSize(), 0u);
    EXPECT_NEAR(row->CallDateSort(), QDateTime::currentSecsSinceEpoch(), 5);
}

TEST(FRCallInfo, TheExportLineHoldsTheDurationAsHoursMinutesSeconds)
{
    const auto row = call({{CallKey::Duration, 3725}, {CallKey::Flags, 1}, {CallKey::Number, "+15550100"},
                           {CallKey::Name, "A\tnn"}, {CallKey::Date, QDateTime::fromSecsSinceEpoch(1400000000)}});
    const QStringList fields = row->CallDetails().split('\t');
    ASSERT_EQ(fields.size(), 5);
    EXPECT_EQ(fields[0], "Outgoing");
    EXPECT_EQ(fields[2], "01:02:05");
    EXPECT_EQ(fields[3], "+15550100");
    EXPECT_EQ(fields[4], "Ann");
}

TEST(FRCallInfo, VoicemailFileNames)
{
    const auto undated = call({{CallKey::Name, "Dr. A: B/C."}});
    undated->setUniqueFileName();
    EXPECT_EQ(undated->uniqueFileName(), "Saved Voicemail from Dr. A B-C.m4a");
    EXPECT_EQ(FRCallInfo::fixFileName("..a:b/c.."), "ab-c.m4a");

    QList<FRCallInfoPtr> chosen;
    QStringList names;
    for (int i = 0; i < 3; ++i) {
        const auto row = call({{CallKey::UniqueFileName, "x.m4a"}});
        row->makeUniqueFileName(chosen);
        chosen.append(row);
        names << row->uniqueFileName();
    }
    EXPECT_EQ(names, (QStringList{"x.m4a", "x-1.m4a", "x-1-2.m4a"}));
}

TEST(FRCallInfo, SearchFindsAccentsInEitherForm)
{
    const auto row = call({{CallKey::Name, QString::fromUtf8("Jose\xCC\x81")}});
    EXPECT_TRUE(row->matchesSearchFor(QString::fromUtf8("JOS\xC3\x89")));
    EXPECT_FALSE(row->matchesSearchFor("maria"));
}

TEST(FRCallInfo, VoicemailRowsAndReading)
{
    const auto row = call({{CallKey::IsVoicemail, true}, {CallKey::AMR, QByteArray("#!AMR")}, {CallKey::Unread, 1},
                           {CallKey::CallID, "42"}});
    EXPECT_TRUE(row->isVoicemail());
    EXPECT_EQ(row->dataSize(), 5u);
    EXPECT_EQ(row->itemId(), 42);
    EXPECT_TRUE(row->unread());
    row->setread();
    EXPECT_FALSE(row->unread());
    EXPECT_EQ(row->setFinalFileName("v.m4a"), "v.m4a");
    EXPECT_EQ(row->finalFileName(), "v.m4a");
}
