// Conversations: which thread each message belongs to and what the thread is called, the
// messages' order in time, the order of the threads and the sidebar tree with its "All"
// entries. All of it is built on the load thread into the snapshot.

#include "messages/SMSDataController.h"

#include "device/AppController.h"
#include "messages/FRMMSInfo.h"
#include "personal/FRAddressExtras.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QMap>
#include <QSet>

#include <algorithm>

namespace {

const QString kName = QStringLiteral("name");
const QString kIds = QStringLiteral("ids");
// The group marker put before a group conversation's name: U+1F465 and a space.
const QString gGuy = QString::fromUtf8("\xF0\x9F\x91\xA5 ");

bool titleUsable(const QString &title)
{
    QString t = title;
    if (t.startsWith(QChar(0x202A)))
        t.remove(0, 1);
    return !t.isEmpty() && !t.startsWith(QLatin1Char('+'));
}

QString digitsOf(const QString &text)
{
    QString out;
    for (QChar c : text)
        if (alldigits.contains(c))
            out += c;
    return out;
}

struct Membership
{
    QString number, names, thread;
};

struct ThreadFacts
{
    QDateTime date, waDate, fbDate, imDate;
    uint64_t size = 0, waSize = 0, fbSize = 0, imSize = 0;
    QString title, tip;
    bool group = false;
};

} // namespace

bool SMSDataController::isAllMode(const QString &name)
{
    return name == QLatin1String("All") || name == QLatin1String("All From Messages")
           || name == QLatin1String("All From Facebook") || name == QLatin1String("All From WhatsApp");
}

QString SMSDataController::individualThreadNumber(const QVariantMap &thread)
{
    const QString number = thread.value(QStringLiteral("number")).toString();
    const QString name = thread.value(kName).toString();
    if (number.isEmpty() || number == name)
        return {};
    QString digits = digitsOf(number);
    if (digits.size() > 8)
        digits = digits.right(8);
    return number == digits ? QString() : number;
}

QString SMSDataController::individualThreadName() const
{
    if (mCurrentThreads.isEmpty())
        return {};
    const QVariantMap &thread = mCurrentThreads.first();
    const QString number = individualThreadNumber(thread);
    const QString name = thread.value(kName).toString();
    return number.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, number);
}

MessageSnapshotPtr SMSDataController::buildSnapshot(const QList<FRSMSInfoPtr> &messages, const QString &device, bool live,
                                                    const QString &orderKey) const
{
    auto snapshot = std::make_shared<MessageSnapshot>();
    QMap<QString, Membership> table;            // number key or joined names -> membership
    QHash<QString, QString> receivedThread;      // number key -> thread key of a received message
    QHash<QString, ThreadFacts> facts;           // thread key -> dates, sizes, title
    const QDateTime distantPast = QDateTime::fromSecsSinceEpoch(0);
    AppController *app = mApp;

    const auto lookup = [&](const QString &address, QString *entry, QByteArray *image) {
        QString cacheKey;
        const QString name = FRAddressExtras::getAddressBookName(address, entry, image, device, &cacheKey);
        return name.isEmpty() ? address : name;
    };

    for (qsizetype i = messages.size() - 1; i >= 0; --i) {
        const FRSMSInfoPtr &message = messages.at(i);
        const QString address = message->keyOrReallyBlank(SMSKey::Address).toString();
        const QString sender = message->keyOrReallyBlank(SMSKey::Sender).toString();
        const bool fb = message->SMSFB(), wa = message->SMSWhatsApp();
        const uint64_t size = live ? message->Size() : 0;
        const QDateTime date = message->SMSNSDate();
        const QString title = message->GroupTitle();
        const QString senderOrAddress = sender.isEmpty() ? address : sender;

        const QStringList addresses = address.split(QStringLiteral(", "));
        const QString recipients = message->RecipientNames();
        const QStringList recipientNames = recipients.isEmpty() ? QStringList() : recipients.split(QStringLiteral(", "));
        struct Participant
        {
            QString name, entry;
        };
        QList<Participant> participants;
        for (qsizetype a = 0; a < addresses.size(); ++a) {
            const QString &one = addresses.at(a);
            Participant p;
            if (!recipientNames.isEmpty() && recipientNames.size() == addresses.size()) {
                p.name = recipientNames.at(a);
                p.entry = QStringLiteral("WA_") + one;
            } else if (one.startsWith(QLatin1String("Facebook ID "))) {
                const QVariantMap contact = app ? app->loadContactFromCache(one, false, device) : QVariantMap();
                p.name = contact.value(kName).toString();
                if (p.name.isEmpty())
                    p.name = one;
                p.entry = contact.value(QStringLiteral("entry")).toString();
            } else {
                p.name = lookup(one, &p.entry, nullptr);
            }
            if (p.name.isEmpty())
                continue;
            participants.append(p);
        }
        std::stable_sort(participants.begin(), participants.end(), [](const Participant &a, const Participant &b) {
            return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
        });
        QStringList names, entries;
        bool allEntries = !participants.isEmpty();
        for (const Participant &p : participants) {
            names.append(p.name);
            entries.append(p.entry);
            allEntries = allEntries && !p.entry.isEmpty();
        }
        const QString joined = names.join(QStringLiteral(", "));
        QString key = allEntries ? entries.join(QStringLiteral(", ")) : joined;
        const bool group = addresses.size() > 1;
        if (group)
            key = QStringLiteral("[x] ") + key;

        // The sender's name and picture.
        QString senderName;
        QByteArray picture;
        if (!message->SMSIncoming()) {
            senderName.clear();
        } else if (senderOrAddress.startsWith(QLatin1String("Facebook ID "))) {
            const QVariantMap contact = app ? app->loadContactFromCache(senderOrAddress, false, device) : QVariantMap();
            senderName = contact.value(kName).toString();
            if (senderName.isEmpty())
                senderName = senderOrAddress;
            picture = contact.value(QStringLiteral("image")).toByteArray();
        } else if (!message->SenderName().isEmpty()) {
            senderName = message->SenderName();
            QString entry;
            FRAddressExtras::getAddressBookName(QStringLiteral("WA") + senderOrAddress, &entry, &picture, device, nullptr);
        } else {
            QString entry;
            senderName = lookup(senderOrAddress, &entry, &picture);
        }

        // The number key.
        // A group's addresses stay whole: the last digits of several numbers run together
        // would name another conversation's number (the group's messages landed in a
        // member's thread and a member's thread vanished).
        QString number = address;
        if (!((address.contains(QLatin1Char('@')) && address.contains(QLatin1Char('.'))) || address.size() <= 7
              || address == joined || group)) {
            QString digits = digitsOf(address);
            if (digits.size() > 8)
                digits = digits.right(8);
            if (!digits.isEmpty())
                number = digits;
        }

        // Membership: a sent message joins the thread of a received one from the same number.
        const auto store = [&] {
            const auto found = table.constFind(number);
            if (found == table.cend() || found->names.size() <= joined.size())
                table.insert(number, {number, joined, key});
            else if (address.size() <= 7 && address != joined)
                table.insert(joined, {number, joined, key});
        };
        if (message->SMSIncoming()) {
            receivedThread.insert(number, key);
            store();
        } else if (receivedThread.contains(number)) {
            key = receivedThread.value(number);
        } else {
            store();
        }

        // A thread's dates are those of its newest message (of each service), whatever order
        // the list came in, so "newest first" orders by the latest activity.
        ThreadFacts &f = facts[key];
        const auto latest = [&](QDateTime &slot, bool ofService) {
            if (!slot.isValid())
                slot = distantPast;
            if (ofService && date > slot)
                slot = date;
        };
        latest(f.date, true);
        latest(f.waDate, wa);
        latest(f.fbDate, fb);
        latest(f.imDate, !wa && !fb);
        f.size += size;
        (wa ? f.waSize : fb ? f.fbSize : f.imSize) += size;
        if (titleUsable(title))
            f.title = title;
        if (f.tip.isEmpty())
            f.tip = joined;
        f.group = key.startsWith(QLatin1String("[x] "));

        message->addThreadObject({{kName, titleUsable(title) ? title : joined},
                                  {QStringLiteral("namelist"), joined},
                                  {QStringLiteral("id"), QVariantList{key}},
                                  {QStringLiteral("senderName"), senderName}});
        if (!picture.isEmpty())
            message->addImageObject(picture);
    }

    // One row per conversation name; rows of the same name merge.
    QList<QVariantMap> rows;
    QHash<QString, qsizetype> rowOfName;
    QSet<QString> seen;
    for (const Membership &m : std::as_const(table)) {
        if (seen.contains(m.thread))
            continue;
        seen.insert(m.thread);
        if (m.names.trimmed().isEmpty() || m.names == tr("Unknown"))
            continue;
        const ThreadFacts f = facts.value(m.thread);
        QString name = f.title.isEmpty() ? m.names : f.title;
        const QString savename = f.title.isEmpty() || f.title == m.names ? m.names
                                                                          : QStringLiteral("%1 (%2)").arg(f.title, m.names);
        if (f.group)
            name = gGuy + name;
        const QString service = m.number.startsWith(QLatin1String("Facebook ID")) ? QStringLiteral("hasFB")
                                : (m.thread.startsWith(QLatin1String("WA_")) || m.thread.startsWith(QLatin1String("[x] WA_")))
                                    ? QStringLiteral("hasWA")
                                    : QStringLiteral("hasIM");
        const auto found = rowOfName.constFind(name);
        if (found != rowOfName.cend()) {
            QVariantMap &row = rows[*found];
            QVariantList ids = row.value(kIds).toList();
            ids.append(m.thread);
            row.insert(kIds, ids);
            for (const char *k : {"size", "WAsize", "FBsize", "IMsize"}) {
                const uint64_t add = QString::fromLatin1(k) == QLatin1String("size")     ? f.size
                                     : QString::fromLatin1(k) == QLatin1String("WAsize") ? f.waSize
                                     : QString::fromLatin1(k) == QLatin1String("FBsize") ? f.fbSize
                                                                                         : f.imSize;
                row.insert(QString::fromLatin1(k), QVariant::fromValue<quint64>(row.value(QString::fromLatin1(k)).toULongLong() + add));
            }
            const auto later = [&](const char *k, const QDateTime &d) {
                const QDateTime old = row.value(QString::fromLatin1(k)).toDateTime();
                if (!old.isValid() || d > old)
                    row.insert(QString::fromLatin1(k), d);
            };
            later("date", f.date);
            later("WAdate", f.waDate);
            later("FBdate", f.fbDate);
            later("IMdate", f.imDate);
            row.insert(service, true);
            continue;
        }
        QVariantMap row{{kName, name},
                        {QStringLiteral("savename"), savename},
                        {kIds, QVariantList{m.thread}},
                        {QStringLiteral("tip"), f.tip},
                        {QStringLiteral("number"), m.number},
                        {QStringLiteral("date"), f.date},
                        {QStringLiteral("WAdate"), f.waDate},
                        {QStringLiteral("FBdate"), f.fbDate},
                        {QStringLiteral("IMdate"), f.imDate},
                        {QStringLiteral("size"), QVariant::fromValue<quint64>(f.size)},
                        {QStringLiteral("WAsize"), QVariant::fromValue<quint64>(f.waSize)},
                        {QStringLiteral("FBsize"), QVariant::fromValue<quint64>(f.fbSize)},
                        {QStringLiteral("IMsize"), QVariant::fromValue<quint64>(f.imSize)},
                        {service, true}};
        rowOfName.insert(name, rows.size());
        rows.append(row);
    }

    // Services present.
    bool hasIM = false, hasWA = false, hasFB = false;
    for (const FRSMSInfoPtr &message : messages) {
        if (message->SMSWhatsApp())
            hasWA = true;
        else if (message->SMSFB())
            hasFB = true;
        else
            hasIM = true;
    }
    snapshot->hasMessages = hasIM;
    snapshot->hasWA = hasWA;
    snapshot->hasFB = hasFB;
    snapshot->allThreadsNoAll = rows;

    // Order and tree.
    const int order = int(preferenceInteger(orderKey));
    const auto sortBy = [&](QList<QVariantMap> &list, const QString &dateKey, const QString &sizeKey) {
        std::stable_sort(list.begin(), list.end(), [&](const QVariantMap &a, const QVariantMap &b) {
            if (order == 1)
                return a.value(QStringLiteral("savename")).toString().compare(b.value(QStringLiteral("savename")).toString(),
                                                                               Qt::CaseInsensitive)
                       < 0;
            if (order == 2)
                return a.value(sizeKey).toULongLong() > b.value(sizeKey).toULongLong();
            return a.value(dateKey).toDateTime() > b.value(dateKey).toDateTime();
        });
    };
    QList<QVariantMap> sorted = rows;
    sortBy(sorted, QStringLiteral("date"), QStringLiteral("size"));
    struct Group
    {
        const char *name, *flag, *marker, *dateKey, *sizeKey;
        bool shown, present;
    };
    const Group groups[] = {
        {"All From Messages", "hasIM", "forIM", "IMdate", "IMsize", preferenceBool(QStringLiteral("SHOW_SMS")), hasIM},
        {"All From Facebook", "hasFB", "forFB", "FBdate", "FBsize", preferenceBool(QStringLiteral("SHOW_FB1")), hasFB},
        {"All From WhatsApp", "hasWA", "forWA", "WAdate", "WAsize", preferenceBool(QStringLiteral("SHOW_WA")), hasWA},
    };
    int servicesShown = 0;
    for (const Group &g : groups)
        servicesShown += (g.shown && g.present) ? 1 : 0;
    QList<QVariantMap> pseudo;
    QList<MessageSnapshot::Node> groupNodes;
    for (const Group &g : groups) {
        if (!(g.shown && g.present && servicesShown > 1))
            continue;
        QList<QVariantMap> members = rows;
        sortBy(members, QString::fromLatin1(g.dateKey), QString::fromLatin1(g.sizeKey));
        MessageSnapshot::Node node{{{kName, QString::fromLatin1(g.name)}, {QStringLiteral("id"), QString::fromLatin1(g.name)}},
                                   {}};
        for (QVariantMap member : members) {
            if (!member.value(QString::fromLatin1(g.flag)).toBool())
                continue;
            member.insert(QString::fromLatin1(g.marker), QString::fromLatin1(g.marker));
            node.children.append({member, {}});
        }
        groupNodes.append(node);
        pseudo.append(node.values);
    }
    const bool anyService = hasIM || hasWA || hasFB;
    if (anyService) {
        const QVariantMap all{{kName, QStringLiteral("All")}, {QStringLiteral("id"), QStringLiteral("All")}};
        pseudo.prepend(all);
        snapshot->tree.append({all, {}});
    }
    snapshot->tree += groupNodes;
    for (const QVariantMap &row : sorted)
        snapshot->tree.append({row, {}});
    snapshot->allThreads = pseudo + sorted;

    // Messages in time order (equal seconds by remote id), then their parts.
    QList<FRSMSInfoPtr> ordered = messages;
    std::stable_sort(ordered.begin(), ordered.end(), [](const FRSMSInfoPtr &a, const FRSMSInfoPtr &b) {
        if (a->SMSSeconds() != b->SMSSeconds())
            return a->SMSSeconds() < b->SMSSeconds();
        return a->SMSRemoteID() < b->SMSRemoteID();
    });
    for (qsizetype i = 0; i < ordered.size(); ++i)
        ordered.at(i)->setSort(int(i));
    snapshot->messages = ordered;
    snapshot->parts.reserve(ordered.size());
    const bool legacy = preferenceBool(QStringLiteral("useLegacySMSView2"));
    for (const FRSMSInfoPtr &message : std::as_const(ordered)) {
        if (legacy) {
            snapshot->parts.append(message);
            continue;
        }
        for (const FRMMSInfoPtr &part : FRMMSInfo::objectsFromSMSInfo(message))
            snapshot->parts.append(part);
    }

    // The owner's picture: the device's (or the backup's) own number in the names.
    if (app) {
        const QString phone = app->devicePhoneNumber();
        if (!phone.isEmpty()) {
            QByteArray me;
            QString entry;
            FRAddressExtras::getAddressBookName(phone, &entry, &me, device, nullptr);
            snapshot->meImage = me;
        }
    }
    return snapshot;
}

void SMSDataController::sortAndAddAll()
{
    const MessageSnapshotPtr current = snapshot();
    if (!current)
        return;
    const QString key = mIsArchive.load()       ? QStringLiteral("messageSortArchive")
                        : mIsiTunesBackup.load() ? QStringLiteral("messageSortBackup")
                                                 : QStringLiteral("messageSort");
    // The conversations were assigned already: only order and tree are rebuilt, from the
    // messages of the snapshot (their thread objects are kept).
    MessageSnapshotPtr rebuilt = buildSnapshot(current->messages, cacheDBName(), !mIsArchive.load() && !mIsiTunesBackup.load(), key);
    QVariantList selection;
    for (const QVariantMap &thread : mCurrentThreads)
        selection.append(thread);
    applySnapshot(rebuilt, selection);
}
