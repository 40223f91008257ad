#pragma once
// The base of the telemetry component's HTTPS senders: the send URL (base URL, API path and
// query), the fixed headers, the table of pending calls by call id, pause and resume on
// network changes, enable and disable, and the delegates. Subclasses build the request of
// one batch (createRequest) and mask their secret headers for log output.
//
// States: enabled and running -> paused (network down, pause(), or disabled) -> running
// again (network back or resume() while enabled). No request starts while paused or
// disabled; pending calls wait. A fatal result (credentials refused) disables the
// ingestion and drops every pending call; an exhausted retry only ends its own call.
//
// Thread-safe: one recursive lock guards all state; completions of the HTTP session run on
// its worker thread and take the lock; retry timers fire on the global queue; reachability
// reports arrive on the main thread. Delegates and completion handlers are called with the
// lock held and must not wait for another thread that takes it.

#include "net/HttpSession.h"
#include "telemetry/core/VUIngestionCall.h"
#include "telemetry/core/VUIngestionProtocol.h"
#include "telemetry/core/VU_Reachability.h"

#include <QMap>
#include <QUrl>

#include <mutex>
#include <vector>

class VUHttpIngestion : public VUIngestionProtocol, public std::enable_shared_from_this<VUHttpIngestion>
{
public:
    using QueryStrings = QList<QPair<QString, QString>>;

    ~VUHttpIngestion() override;

    // Observes the watcher and starts it; call once after construction (the subclasses'
    // factories do).
    void start();

    void sendAsync(const std::shared_ptr<VULogContainer> &container, const VUSendAsyncCompletionHandler &handler) override;
    void sendAsync(const std::shared_ptr<VULogContainer> &data, const QString &callId,
                   const VUSendAsyncCompletionHandler &handler);
    void addDelegate(const std::weak_ptr<VUIngestionDelegate> &delegate) override;
    void removeDelegate(const VUIngestionDelegate *delegate) override;
    void pause() override;
    void resume() override;
    bool paused() const override;
    bool enabled() const override;
    bool isReadyToSend() const override { return true; }
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

    void sendCallAsync(const std::shared_ptr<VUIngestionCall> &call);
    void callCompletedWithResult(const std::shared_ptr<VUIngestionCall> &call, qint64 result);
    void networkStateChanged();
    void setBaseURL(const QString &baseURL);

    virtual std::optional<HttpRequest> createRequest(const VULogContainer &data) const { return std::nullopt; }
    virtual QString obfuscateHeaderValue(const QString &value, const QString &key) const { return value; }
    QString prettyPrintHeaders(const HttpHeaders &headers) const;

    QString baseURL() const;
    QString apiPath() const { return mApiPath; }
    QUrl sendURL() const;
    HttpHeaders httpHeaders() const { return mHttpHeaders; }
    std::shared_ptr<VU_Reachability> reachability() const { return mReachability; }
    int pendingCallCount() const;
    bool hasPendingCall(const QString &callId) const;
    qint64 maxNumberOfConnections() const { return mMaxNumberOfConnections; }
    QList<qint64> callsRetryIntervals() const;
    void setCallsRetryIntervals(const QList<qint64> &intervalsMs);

    // The send URL: base, then the path, then "?" and each key and value percent-encoded on
    // its own, joined by "=" and "&" (nothing when there are no pairs).
    static QUrl buildSendURL(const QString &baseURL, const QString &apiPath, const QueryStrings &queryStrings);

    mutable std::recursive_mutex mLock;

protected:
    VUHttpIngestion(const QString &baseURL, const QString &apiPath, HttpHeaders headers, const QueryStrings &queryStrings,
                    std::shared_ptr<VU_Reachability> reachability, QList<qint64> retryIntervalsMs,
                    qint64 maxNumberOfConnections = 4);

    // The part of a body to show in verbose output.
    void logRequest(const HttpRequest &request) const;

private:
    HttpSession &session();
    void taskCompleted(const std::shared_ptr<VUIngestionCall> &call, const HttpResult &result);
    template <typename Fn> void enumerateDelegates(Fn fn);

    bool mPaused = false;
    bool mEnabled = true;
    QString mBaseURL;
    QString mApiPath;
    std::shared_ptr<VU_Reachability> mReachability;
    QUrl mSendURL;
    HttpHeaders mHttpHeaders;
    QMap<QString, std::shared_ptr<VUIngestionCall>> mPendingCalls;
    std::unique_ptr<HttpSession> mSession;
    // Cancelled sessions wait here for the ingestion's end: ending one waits for its worker,
    // which may be waiting for this ingestion's lock.
    std::vector<std::unique_ptr<HttpSession>> mRetiredSessions;
    qint64 mMaxNumberOfConnections;
    QList<qint64> mCallsRetryIntervals;
    std::vector<std::weak_ptr<VUIngestionDelegate>> mDelegates;
    quint64 mReachabilityObserver = 0;
};
