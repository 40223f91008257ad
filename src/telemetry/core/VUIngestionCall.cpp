#include "telemetry/core/VUIngestionCall.h"

#include "telemetry/core/VUHttpIngestion.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VULogger.h"

#include <QRandomGenerator>

VUIngestionCall::VUIngestionCall(QList<qint64> retryIntervalsMs) : retryIntervals(std::move(retryIntervalsMs)) {}

VUIngestionCall::~VUIngestionCall()
{
    if (mTimer)
        VUDispatchQueue::global()->cancel(mTimer);
}

bool VUIngestionCall::hasReachedMaxRetries() const
{
    return retryCount >= quint64(retryIntervals.size());
}

qint64 VUIngestionCall::delayForRetryCount(quint64 count) const
{
    if (count >= quint64(retryIntervals.size()))
        return 0;
    const qint64 interval = retryIntervals.at(qsizetype(count));
    const qint64 unit = interval >= 1000 ? 1000 : 1;
    const qint64 half = (interval / unit) / 2;
    const qint64 random = half > 0 ? qint64(QRandomGenerator::global()->bounded(quint64(half))) : 0;
    return (half + random) * unit;
}

void VUIngestionCall::startRetryTimerWithStatusCode(qint64 statusCode)
{
    resetTimer();
    const qint64 delay = delayForRetryCount(retryCount);
    VULogWarning(VULogTag(), "Call attempt #%llu failed with status code: %lld, it will be retried in %lld ms.",
                 static_cast<unsigned long long>(retryCount), static_cast<long long>(statusCode),
                 static_cast<long long>(delay));
    retryCount++;
    std::weak_ptr<VUIngestionCall> weakCall = weak_from_this();
    std::weak_ptr<VUHttpIngestion> weakIngestion = delegate;
    mTimer = VUDispatchQueue::global()->asyncAfter(delay, [weakCall, weakIngestion] {
        const auto call = weakCall.lock();
        const auto ingestion = weakIngestion.lock();
        if (!call || !ingestion)
            return;
        std::lock_guard guard(ingestion->mLock);
        call->mTimer = 0;
        ingestion->sendCallAsync(call);
    });
}

void VUIngestionCall::resetTimer()
{
    if (mTimer) {
        VUDispatchQueue::global()->cancel(mTimer);
        mTimer = 0;
    }
}

void VUIngestionCall::resetRetry()
{
    retryCount = 0;
    resetTimer();
}

void VUIngestionCall::ingestionCallCompleted(VUHttpIngestion &ingestion, qint64 statusCode, const QByteArray &data,
                                             std::optional<VUError> error)
{
    const bool noInternet = VUIngestionUtil::isNoInternetConnectionError(error);
    if (noInternet || VUIngestionUtil::isSSLConnectionError(error)) {
        const auto reachability = ingestion.reachability();
        if (reachability && reachability->currentReachabilityStatus() == VU_Reachability::NotReachable) {
            resetRetry();
            VULogInfo(VULogTag(), "Ingestion call failed with error: %s",
                      noInternet ? "Internet connection is down." : "Could not establish secure connection.");
            return;
        }
        // The network is up, so no change of it will ever send this call again: retry it
        // like any request that got no answer.
        statusCode = 0;
    }
    if (VUIngestionUtil::isRecoverableError(statusCode) && !hasReachedMaxRetries()
        && !VUIngestionUtil::isRequestCanceledError(error)) {
        startRetryTimerWithStatusCode(statusCode);
        return;
    }
    resetTimer();
    if (!VUIngestionUtil::isSuccessStatusCode(statusCode) && !error) {
        error = VUError{kVUErrorDomain, kVUConnectionHttpErrorCode, QStringLiteral("An HTTP error occured."),
                        {{kVUHttpCodeKey, statusCode}}};
    }
    qint64 result = VUIngestionCallResultSuccess;
    if (VUIngestionUtil::isRequestCanceledError(error))
        result = VUIngestionCallResultSuccess;
    else if (VUIngestionUtil::isRecoverableError(statusCode))
        result = VUIngestionCallResultRecoverable;
    else if (VUIngestionUtil::isAuthenticationFailure(statusCode))
        result = VUIngestionCallResultFatal;
    if (completionHandler)
        completionHandler(callId, statusCode, data, error);
    ingestion.callCompletedWithResult(shared_from_this(), result);
}
