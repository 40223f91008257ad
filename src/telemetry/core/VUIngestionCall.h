#pragma once
// One batch in flight and its retry state, kept by an HTTP ingestion in its pending-call
// table under the batch id.
//
// States: submitted (a request runs) -> answered -> one of
//   retry scheduled (a timer on the global queue re-sends it; at most one per interval),
//   waiting for the network (the network is down: no timer, retry count 0, re-sent when
//     the ingestion resumes),
//   over (the completion handler runs, then the ingestion drops the call).
// A transport failure while the network is up is retried like a missing answer (status 0),
// so no call waits for a network change that never comes.
//
// Every field is guarded by the owning ingestion's lock; the ingestion calls in with it held.

#include "telemetry/core/VUDispatchQueue.h"
#include "telemetry/core/VUIngestionProtocol.h"

#include "net/HttpSession.h"

class VUHttpIngestion;

// Outcomes an ingestion acts on.
enum VUIngestionCallResult : qint64 {
    VUIngestionCallResultSuccess = 100,     // answered, or nothing more to do
    VUIngestionCallResultRecoverable = 500, // retries exhausted; the batch is kept for later
    VUIngestionCallResultFatal = 999,       // the credentials were refused
};

class VUIngestionCall : public std::enable_shared_from_this<VUIngestionCall>
{
public:
    explicit VUIngestionCall(QList<qint64> retryIntervalsMs);
    ~VUIngestionCall();

    bool hasReachedMaxRetries() const;
    // Half the interval plus a random part below that half: in whole seconds for intervals
    // of a second or more (10 s gives 5-9 s), in milliseconds for shorter (test) intervals.
    qint64 delayForRetryCount(quint64 retryCount) const;
    void startRetryTimerWithStatusCode(qint64 statusCode);
    void resetTimer();
    void resetRetry();
    void ingestionCallCompleted(VUHttpIngestion &ingestion, qint64 statusCode, const QByteArray &data,
                                std::optional<VUError> error);

    bool submitted = false;
    VUSendAsyncCompletionHandler completionHandler;
    std::shared_ptr<VULogContainer> data;
    QString callId;
    std::weak_ptr<VUHttpIngestion> delegate;
    HttpSession::TaskId taskId = 0;
    quint64 retryCount = 0;
    QList<qint64> retryIntervals;

private:
    VUDispatchQueue::Token mTimer = 0;
};
