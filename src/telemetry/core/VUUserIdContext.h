#pragma once
// The process-wide keeper of the application's user id and of when each id was current
// ("UserIdHistory" in the user defaults), so a crash processed at the next launch gets the
// id of the crash time. Each launch adds one record; the history keeps the newest
// kMaxUserIdHistoryCount records.
//
// Thread-safe: every operation, the plain userId read included, holds the context's lock.

#include "telemetry/core/VUHistoryInfo.h"

#include <mutex>

class VUUserIdContext
{
public:
    static constexpr int kMaxUserIdHistoryCount = 5;

    static std::shared_ptr<VUUserIdContext> sharedInstance();
    static void resetSharedInstance();

    VUUserIdContext();

    std::optional<QString> userId() const;
    void setUserId(const std::optional<QString> &userId);
    std::optional<QString> userIdAt(const QDateTime &date) const;
    void clearUserIdHistory();

    static bool isUserIdValidForVovUdezir(const std::optional<QString> &userId);
    static bool isUserIdValidForVezUdudovezo(const std::optional<QString> &userId);
    static std::optional<QString> prefixedUserIdFromUserId(const std::optional<QString> &userId);

    std::shared_ptr<VUUserIdHistoryInfo> currentUserIdInfo() const;
    QList<std::shared_ptr<VUUserIdHistoryInfo>> userIdHistory() const;

private:
    void storeHistory();

    mutable std::mutex mLock;
    std::shared_ptr<VUUserIdHistoryInfo> mCurrentUserIdInfo;
    QList<std::shared_ptr<VUUserIdHistoryInfo>> mUserIdHistory;
};
