#include "telemetry/core/VUSessionContext.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUtility.h"

namespace {

const QString kSessionIdHistoryKey = QStringLiteral("SessionIdHistory");

std::mutex gSharedLock;
std::shared_ptr<VUSessionContext> gShared;

} // namespace

std::shared_ptr<VUSessionContext> VUSessionContext::sharedInstance()
{
    std::lock_guard guard(gSharedLock);
    if (!gShared)
        gShared = std::make_shared<VUSessionContext>();
    return gShared;
}

void VUSessionContext::resetSharedInstance()
{
    std::lock_guard guard(gSharedLock);
    gShared.reset();
}

VUSessionContext::VUSessionContext()
{
    const QVariant stored = VUUserDefaults::shared()->objectForKey(kSessionIdHistoryKey);
    if (stored.isValid()) {
        if (auto list = VUKeyedCoding::unarchiveList(stored.toByteArray())) {
            for (const auto &item : *list)
                if (auto entry = std::dynamic_pointer_cast<VUSessionHistoryInfo>(item); entry && entry->timestamp)
                    mSessionHistory.append(entry);
        }
    }
    VULogDebug(VULogTag(), "%lld session(s) in the history.", static_cast<long long>(mSessionHistory.size()));
    mCurrentSessionInfo = std::make_shared<VUSessionHistoryInfo>(QDateTime::currentDateTimeUtc(), std::nullopt);
    mSessionHistory.append(mCurrentSessionInfo);
}

std::optional<QString> VUSessionContext::sessionId() const
{
    std::lock_guard guard(mLock);
    return mCurrentSessionInfo->sessionId;
}

void VUSessionContext::setSessionId(const std::optional<QString> &sessionId)
{
    std::lock_guard guard(mLock);
    if (!mSessionHistory.isEmpty())
        mSessionHistory.removeLast();
    // A fresh entry, so one handed out by sessionHistory() never changes under its reader.
    mCurrentSessionInfo = std::make_shared<VUSessionHistoryInfo>(QDateTime::currentDateTimeUtc(), sessionId);
    mSessionHistory.append(mCurrentSessionInfo);
    storeHistory();
    VULogVerbose(VULogTag(), "Stored new session with id:%s and timestamp: %s.",
                 qUtf8Printable(sessionId.value_or(QStringLiteral("(null)"))),
                 qUtf8Printable(VUUtility::dateToISO8601(*mCurrentSessionInfo->timestamp)));
}

std::optional<QString> VUSessionContext::sessionIdAt(const QDateTime &date) const
{
    std::lock_guard guard(mLock);
    for (auto it = mSessionHistory.crbegin(); it != mSessionHistory.crend(); ++it)
        if ((*it)->timestamp && *(*it)->timestamp < date)
            return (*it)->sessionId;
    return std::nullopt;
}

void VUSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession)
{
    std::lock_guard guard(mLock);
    mSessionHistory.clear();
    if (keepCurrentSession)
        mSessionHistory.append(mCurrentSessionInfo);
    storeHistory();
    VULogVerbose(VULogTag(), "Cleared old sessions.");
}

QList<std::shared_ptr<VUSessionHistoryInfo>> VUSessionContext::sessionHistory() const
{
    std::lock_guard guard(mLock);
    return mSessionHistory;
}

void VUSessionContext::storeHistory()
{
    while (mSessionHistory.size() > kMaxSessionHistoryCount)
        mSessionHistory.removeFirst();
    QList<std::shared_ptr<VUModel>> entries(mSessionHistory.cbegin(), mSessionHistory.cend());
    VUUserDefaults::shared()->setObject(VUKeyedCoding::archiveList(entries), kSessionIdHistoryKey);
}
