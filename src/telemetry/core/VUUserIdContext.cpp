#include "telemetry/core/VUUserIdContext.h"

#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"

namespace {

const QString kUserIdHistoryKey = QStringLiteral("UserIdHistory");
constexpr int kMaxUserIdLength = 256;
const QString kCommonSchemaPrefix = QStringLiteral("c");

std::mutex gSharedLock;
std::shared_ptr<VUUserIdContext> gShared;

} // namespace

std::shared_ptr<VUUserIdContext> VUUserIdContext::sharedInstance()
{
    std::lock_guard guard(gSharedLock);
    if (!gShared)
        gShared = std::make_shared<VUUserIdContext>();
    return gShared;
}

void VUUserIdContext::resetSharedInstance()
{
    std::lock_guard guard(gSharedLock);
    gShared.reset();
}

VUUserIdContext::VUUserIdContext()
{
    const QVariant stored = VUUserDefaults::shared()->objectForKey(kUserIdHistoryKey);
    if (stored.isValid()) {
        if (auto list = VUKeyedCoding::unarchiveList(stored.toByteArray())) {
            for (const auto &item : *list)
                if (auto entry = std::dynamic_pointer_cast<VUUserIdHistoryInfo>(item); entry && entry->timestamp)
                    mUserIdHistory.append(entry);
        }
    }
    VULogDebug(VULogTag(), "%lld userId(s) in the history.", static_cast<long long>(mUserIdHistory.size()));
    std::lock_guard guard(mLock);
    mCurrentUserIdInfo = std::make_shared<VUUserIdHistoryInfo>(QDateTime::currentDateTimeUtc(), std::nullopt);
    mUserIdHistory.append(mCurrentUserIdInfo);
    storeHistory();
}

std::optional<QString> VUUserIdContext::userId() const
{
    std::lock_guard guard(mLock);
    return mCurrentUserIdInfo->userId;
}

void VUUserIdContext::setUserId(const std::optional<QString> &userId)
{
    std::lock_guard guard(mLock);
    if (!mUserIdHistory.isEmpty())
        mUserIdHistory.removeLast();
    // A fresh record, so a copy handed out by userIdHistory() never changes under its reader.
    mCurrentUserIdInfo = std::make_shared<VUUserIdHistoryInfo>(QDateTime::currentDateTimeUtc(), userId);
    mUserIdHistory.append(mCurrentUserIdInfo);
    storeHistory();
    VULogVerbose(VULogTag(), "Stored new userId:%s and timestamp: %s.", userId ? qUtf8Printable(*userId) : "(null)",
                 qUtf8Printable(VUUtility::dateToISO8601(*mCurrentUserIdInfo->timestamp)));
}

std::optional<QString> VUUserIdContext::userIdAt(const QDateTime &date) const
{
    std::lock_guard guard(mLock);
    for (auto it = mUserIdHistory.crbegin(); it != mUserIdHistory.crend(); ++it)
        if ((*it)->timestamp && *(*it)->timestamp < date)
            return (*it)->userId;
    return std::nullopt;
}

void VUUserIdContext::clearUserIdHistory()
{
    std::lock_guard guard(mLock);
    mUserIdHistory.clear();
    mUserIdHistory.append(mCurrentUserIdInfo);
    storeHistory();
    VULogVerbose(VULogTag(), "Cleared old userIds while keeping current userId.");
}

std::shared_ptr<VUUserIdHistoryInfo> VUUserIdContext::currentUserIdInfo() const
{
    std::lock_guard guard(mLock);
    return mCurrentUserIdInfo;
}

QList<std::shared_ptr<VUUserIdHistoryInfo>> VUUserIdContext::userIdHistory() const
{
    std::lock_guard guard(mLock);
    return mUserIdHistory;
}

void VUUserIdContext::storeHistory()
{
    // Without a cap the history would grow by one record every launch.
    while (mUserIdHistory.size() > kMaxUserIdHistoryCount)
        mUserIdHistory.removeFirst();
    QList<std::shared_ptr<VUModel>> entries(mUserIdHistory.cbegin(), mUserIdHistory.cend());
    VUUserDefaults::shared()->setObject(VUKeyedCoding::archiveList(entries), kUserIdHistoryKey);
}

bool VUUserIdContext::isUserIdValidForVovUdezir(const std::optional<QString> &userId)
{
    if (userId && VUUtility::characterCount(*userId) > kMaxUserIdLength) {
        VULogError(VULogTag(), "userId is limited to %d characters.", kMaxUserIdLength);
        return false;
    }
    return true;
}

bool VUUserIdContext::isUserIdValidForVezUdudovezo(const std::optional<QString> &userId)
{
    if (!userId)
        return true;
    if (userId->isEmpty()) {
        VULogError(VULogTag(), "userId must not be empty.");
        return false;
    }
    const int colon = userId->indexOf(QLatin1Char(':'));
    if (colon < 0)
        return true;
    const QString prefix = userId->left(colon);
    if (prefix != kCommonSchemaPrefix) {
        VULogError(VULogTag(), "userId prefix must be '%s', '%s' is not supported.", qUtf8Printable(kCommonSchemaPrefix),
                   qUtf8Printable(prefix));
        return false;
    }
    if (colon == userId->size() - 1) {
        VULogError(VULogTag(), "userId must not be empty.");
        return false;
    }
    return true;
}

std::optional<QString> VUUserIdContext::prefixedUserIdFromUserId(const std::optional<QString> &userId)
{
    if (!userId || userId->contains(QLatin1Char(':')))
        return userId;
    return kCommonSchemaPrefix + QLatin1Char(':') + *userId;
}
