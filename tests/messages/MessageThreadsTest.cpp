// Conversations from a list of messages: who is in which thread and what the thread is
// called, how rows merge, the thread order preferences and the messages' order in time.

#include "messages/FRMMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/FRAddressExtras.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

// Failures print the texts.
inline void PrintTo(const QStringList &list, std::ostream *os) { *os << '"' << qPrintable(list.join("\", \"")) << '"'; }

namespace {

const QString kDB = QStringLiteral("threads-test-db");

void contact(const QString &number, const QString &name, const QString &entry)
{
    FRAddressExtras::addName(name, entry, QByteArray(), FRAddressExtras::lookupKey(number), kDB);
}

FRSMSInfoPtr sms(int id, const QString &address, qint64 seconds, const QString &text, qint64 flags = 0,
                 quint64 size = 0, const QString &sender = {})
{
    QVariantMap info{{SMSKey::SMSID, id},         {SMSKey::RemoteID, id},
                     {SMSKey::Address, address},  {SMSKey::Date, QDateTime::fromSecsSinceEpoch(seconds)},
                     {SMSKey::Text, text},        {SMSKey::Flags, flags},
                     {SMSKey::Size, size}};
    if (!sender.isEmpty())
        info.insert(SMSKey::Sender, sender);
    return FRSMSInfo::infoWithInfo(info, nullptr);
}

QStringList names(const QList<QVariantMap> &threads)
{
    QStringList out;
    for (const QVariantMap &thread : threads)
        out.append(thread.value("name").toString());
    return out;
}

QVariantMap thread(const MessageSnapshotPtr &snapshot, const QString &name)
{
    for (const QVariantMap &t : snapshot->allThreads)
        if (t.value("name").toString() == name)
            return t;
    return {};
}

} // namespace

TEST(MessageThreads, ConversationsNamesAndOrder)
{
    contact("+1 555 000 0001", "Ann Lee", "e1");
    contact("+1 555 000 0002", "Bob Day", "e2");
    contact("+1 555 000 0003", "Cy Fox", "e3");
    contact("+1 555 000 0004", "Mom", "e4");
    contact("+44 7700 900005", "Mom", "e5");
    const QString group = QStringLiteral("+15550000001, +15550000002, +15550000003");
    const QString groupOtherOrder = QStringLiteral("+15550000003, +15550000001, +15550000002");
    const QList<FRSMSInfoPtr> list = {
        sms(1, "+15550000001", 1000, "Hi Ann", 0, 10),
        sms(2, "+15550000001", 1010, "Reply to Ann", 1, 5), // sent: joins Ann's thread
        sms(3, group, 1020, "Group hello", 0, 0, "+15550000002"),
        sms(4, groupOtherOrder, 1030, "Group again", 1),
        sms(5, "+15550000004", 1040, "Mom US", 0, 100),
        sms(6, "+447700900005", 1050, "Mom UK", 0, 200),
        sms(7, "+15550000002", 1060, "Bob alone"),
        sms(9, "+15550000003", 1070, "Cy equal second, higher id"),
        sms(8, "+15550000003", 1070, "Cy equal second, lower id"),
        sms(10, "+15550000001", 990, "Ann earliest"),
        sms(11, "+19999999999", 1080, "Stranger"),
        sms(12, "+15550000002", 1090, "Bob later", 1),
        sms(13, "+15550000001", 1100, "Ann last"),
        sms(14, "+15550000004", 1110, "Mom US again"),
        sms(15, "+15550000003", 1065, "Cy first"),
    };
    UserDefaults::standard().setInteger(0, "messageSort");
    SMSDataController controller;
    auto snapshot = controller.buildSnapshot(list, kDB, true, "messageSort");

    // Newest first; only SMS: no service groups, "All" leads.
    const QString guy = QString::fromUtf8("\xF0\x9F\x91\xA5 ");
    EXPECT_EQ(names(snapshot->allThreads),
              QStringList({"All", "Mom", "Ann Lee", "Bob Day", "+19999999999", "Cy Fox", guy + "Ann Lee, Bob Day, Cy Fox"}));

    // Messages in time order; equal seconds by remote id.
    QStringList order;
    for (const FRSMSInfoPtr &m : snapshot->messages)
        order.append(m->SMSFullText());
    EXPECT_EQ(order.mid(0, 2), QStringList({"Ann earliest", "Hi Ann"}));
    EXPECT_LT(order.indexOf("Cy equal second, lower id"), order.indexOf("Cy equal second, higher id"));

    // A thread's ids match its messages by membership.
    auto texts = [&](const QString &name) {
        QStringList out;
        const QVariantList selection{thread(snapshot, name)};
        for (const FRSMSInfoPtr &m : snapshot->parts)
            if (m->isInThreads(selection))
                out.append(m->SMSFullText());
        return out;
    };
    EXPECT_EQ(texts("Ann Lee"), QStringList({"Ann earliest", "Hi Ann", "Reply to Ann", "Ann last"}));
    EXPECT_EQ(texts(guy + "Ann Lee, Bob Day, Cy Fox"), QStringList({"Group hello", "Group again"}));
    // Two contacts called "Mom": one row, both threads, sizes summed.
    const QVariantMap mom = thread(snapshot, "Mom");
    EXPECT_EQ(mom.value("ids").toList().size(), 2);
    EXPECT_EQ(mom.value("size").toULongLong(), 300u);
    EXPECT_EQ(texts("Mom"), QStringList({"Mom US", "Mom UK", "Mom US again"}));
    // A group message's sender is named in its part.
    const auto groupParts = FRMMSInfo::objectsFromSMSInfo(list[2]);
    EXPECT_EQ(groupParts[0]->SMSAddressSpecific(), "Bob Day");

    // By name, and by size (largest first).
    UserDefaults::standard().setInteger(1, "messageSort");
    snapshot = controller.buildSnapshot(list, kDB, true, "messageSort");
    EXPECT_EQ(names(snapshot->allThreads),
              QStringList({"All", "+19999999999", "Ann Lee", guy + "Ann Lee, Bob Day, Cy Fox", "Bob Day", "Cy Fox", "Mom"}));
    UserDefaults::standard().setInteger(2, "messageSort");
    snapshot = controller.buildSnapshot(list, kDB, true, "messageSort");
    EXPECT_EQ(names(snapshot->allThreads).mid(0, 3), QStringList({"All", "Mom", "Ann Lee"}));
    UserDefaults::standard().setInteger(0, "messageSort");
}
