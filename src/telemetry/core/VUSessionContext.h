#pragma once
// The current analytics session id and the ids each run had with the time each took
// effect ("SessionIdHistory" in the user defaults), so a crash read at the next launch can
// be stamped with the session that ran when it happened. Each run keeps one entry (its
// last id); the history keeps the newest kMaxSessionHistoryCount entries.
//
// Thread-safe: every operation, the plain sessionId read included, holds the context's lock.

#include "telemetry/core/VUHistoryInfo.h"

#include <mutex>

class VUSessionContext
{
public:
    static constexpr int kMaxSessionHistoryCount = 5;

    static std::shared_ptr<VUSessionContext> sharedInstance();
    static void resetSharedInstance();

    VUSessionContext();

    std::optional<QString> sessionId() const;
    void setSessionId(const std::optional<QString> &sessionId);
    std::optional<QString> sessionIdAt(const QDateTime &date) const;
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);
    QList<std::shared_ptr<VUSessionHistoryInfo>> sessionHistory() const;

private:
    void storeHistory();

    mutable std::mutex mLock;
    std::shared_ptr<VUSessionHistoryInfo> mCurrentSessionInfo;
    QList<std::shared_ptr<VUSessionHistoryInfo>> mSessionHistory;
};
