#include "telemetry/core/VUHttpIngestion.h"

#include "platform/NotificationCenter.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUTimings.h"
#include "telemetry/core/VUUtility.h"

#include <QUuid>

VUHttpIngestion::VUHttpIngestion(const QString &baseURL, const QString &apiPath, HttpHeaders headers,
                                 const QueryStrings &queryStrings, std::shared_ptr<VU_Reachability> reachability,
                                 QList<qint64> retryIntervalsMs, qint64 maxNumberOfConnections)
    : mBaseURL(baseURL), mApiPath(apiPath), mReachability(std::move(reachability)),
      mSendURL(buildSendURL(baseURL, apiPath, queryStrings)), mHttpHeaders(std::move(headers)),
      mMaxNumberOfConnections(maxNumberOfConnections), mCallsRetryIntervals(std::move(retryIntervalsMs))
{
}

VUHttpIngestion::~VUHttpIngestion()
{
    if (mReachabilityObserver)
        NotificationCenter::defaultCenter().removeObserver(mReachabilityObserver);
    if (mReachability)
        mReachability->stopNotifier();
    for (const auto &call : std::as_const(mPendingCalls))
        call->resetTimer();
}

void VUHttpIngestion::start()
{
    if (!mReachability)
        return;
    std::weak_ptr<VUHttpIngestion> weakSelf = weak_from_this();
    mReachabilityObserver = NotificationCenter::defaultCenter().addObserver(
        VU_Reachability::kVUNetworkReachabilityChangedNotification, mReachability.get(), [weakSelf](const Notification &) {
            if (const auto self = weakSelf.lock())
                self->networkStateChanged();
        });
    mReachability->startNotifier();
}

QUrl VUHttpIngestion::buildSendURL(const QString &baseURL, const QString &apiPath, const QueryStrings &queryStrings)
{
    QString text = baseURL + apiPath;
    QStringList pairs;
    for (const auto &[key, value] : queryStrings)
        pairs.append(QString::fromLatin1(QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value)));
    if (!pairs.isEmpty())
        text += QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    return QUrl(text, QUrl::StrictMode);
}

template <typename Fn> void VUHttpIngestion::enumerateDelegates(Fn fn)
{
    const auto snapshot = mDelegates;
    for (const auto &weak : snapshot)
        if (const auto delegate = weak.lock())
            fn(*delegate);
}

void VUHttpIngestion::sendAsync(const std::shared_ptr<VULogContainer> &container,
                                const VUSendAsyncCompletionHandler &handler)
{
    // The base sends any payload under a new call id; subclasses send batches by batch id.
    sendAsync(container, QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), handler);
}

void VUHttpIngestion::sendAsync(const std::shared_ptr<VULogContainer> &data, const QString &callId,
                                const VUSendAsyncCompletionHandler &handler)
{
    std::lock_guard guard(mLock);
    auto call = mPendingCalls.value(callId);
    if (!call) {
        call = std::make_shared<VUIngestionCall>(mCallsRetryIntervals);
        call->delegate = weak_from_this();
        call->data = data;
        call->callId = callId;
        call->completionHandler = handler;
        mPendingCalls.insert(callId, call);
    }
    sendCallAsync(call);
}

HttpSession &VUHttpIngestion::session()
{
    if (!mSession)
        mSession = std::make_unique<HttpSession>(int(mMaxNumberOfConnections));
    return *mSession;
}

void VUHttpIngestion::sendCallAsync(const std::shared_ptr<VUIngestionCall> &call)
{
    std::lock_guard guard(mLock);
    if (mPaused || !mEnabled || !call || call->submitted || !call->data)
        return;
    if (mPendingCalls.value(call->callId) != call)
        return; // dropped while its timer was running
    auto request = createRequest(*call->data);
    if (!request)
        return;
    request->timeoutMs = int(VUTimings::current().requestTimeoutMs);
    call->submitted = true;
    std::weak_ptr<VUHttpIngestion> weakSelf = weak_from_this();
    std::weak_ptr<VUIngestionCall> weakCall = call;
    call->taskId = session().start(std::move(*request), [weakSelf, weakCall](const HttpResult &result) {
        const auto self = weakSelf.lock();
        const auto call = weakCall.lock();
        if (self && call)
            self->taskCompleted(call, result);
    });
}

void VUHttpIngestion::taskCompleted(const std::shared_ptr<VUIngestionCall> &call, const HttpResult &result)
{
    std::lock_guard guard(mLock);
    if (mPendingCalls.value(call->callId) != call)
        return; // the call was dropped (fatal error or deletion) while its request ran
    call->submitted = false;
    const auto error = VUIngestionUtil::errorFromHttpResult(result);
    if (error) {
        VULogDebug(VULogTag(), "HTTP request error with code: %lld, domain: %s, description: %s",
                   static_cast<long long>(error->code), qUtf8Printable(error->domain),
                   qUtf8Printable(error->localizedDescription));
    } else if (VULogger::currentLogLevel() <= VULogLevelVerbose) {
        VULogVerbose(VULogTag(), "HTTP response received with status code: %d, payload:\n%s", result.status,
                     qUtf8Printable(VUUtility::prettyPrintJson(result.body).value_or(QString::fromUtf8(result.body))));
    }
    call->ingestionCallCompleted(*this, result.status, result.body, error);
}

void VUHttpIngestion::callCompletedWithResult(const std::shared_ptr<VUIngestionCall> &call, qint64 result)
{
    std::lock_guard guard(mLock);
    if (result == VUIngestionCallResultFatal) {
        setEnabled(false, true);
        enumerateDelegates([this](VUIngestionDelegate &delegate) { delegate.ingestionDidReceiveFatalError(this); });
    }
    // An exhausted retry ends only its own call: the batch goes back to its unit's store and
    // the ingestion keeps sending the others.
    if (call && !call->callId.isEmpty()) {
        mPendingCalls.remove(call->callId);
        VULogInfo(VULogTag(), "Removed call id:%s from pending calls:%lld", qUtf8Printable(call->callId),
                  static_cast<long long>(mPendingCalls.size()));
    } else {
        VULogWarning(VULogTag(), "Call object is invalid");
    }
}

void VUHttpIngestion::addDelegate(const std::weak_ptr<VUIngestionDelegate> &delegate)
{
    std::lock_guard guard(mLock);
    mDelegates.push_back(delegate);
}

void VUHttpIngestion::removeDelegate(const VUIngestionDelegate *delegate)
{
    std::lock_guard guard(mLock);
    std::erase_if(mDelegates, [delegate](const std::weak_ptr<VUIngestionDelegate> &weak) {
        const auto strong = weak.lock();
        return !strong || strong.get() == delegate;
    });
}

void VUHttpIngestion::pause()
{
    std::lock_guard guard(mLock);
    if (mPaused)
        return;
    VULogInfo(VULogTag(), "Pause ingestion.");
    mPaused = true;
    for (const auto &call : std::as_const(mPendingCalls))
        if (!call->submitted)
            call->resetRetry();
    enumerateDelegates([this](VUIngestionDelegate &delegate) { delegate.ingestionDidPause(this); });
}

void VUHttpIngestion::resume()
{
    std::lock_guard guard(mLock);
    if (!mPaused || !mEnabled)
        return;
    VULogInfo(VULogTag(), "Resume ingestion.");
    mPaused = false;
    const auto calls = mPendingCalls.values();
    for (const auto &call : calls)
        if (!call->submitted)
            sendCallAsync(call);
    enumerateDelegates([this](VUIngestionDelegate &delegate) { delegate.ingestionDidResume(this); });
}

bool VUHttpIngestion::paused() const
{
    std::lock_guard guard(mLock);
    return mPaused;
}

bool VUHttpIngestion::enabled() const
{
    std::lock_guard guard(mLock);
    return mEnabled;
}

void VUHttpIngestion::setEnabled(bool isEnabled, bool deleteDataOnDisabled)
{
    std::lock_guard guard(mLock);
    if (mEnabled == isEnabled)
        return;
    mEnabled = isEnabled;
    if (isEnabled) {
        // The watcher's first report resumes sending.
        if (mReachability)
            mReachability->startNotifier();
        return;
    }
    if (mReachability)
        mReachability->stopNotifier();
    pause();
    if (deleteDataOnDisabled) {
        if (mSession) {
            mSession->invalidateAndCancel();
            mRetiredSessions.push_back(std::move(mSession));
        }
        for (const auto &call : std::as_const(mPendingCalls))
            call->resetTimer();
        mPendingCalls.clear();
    }
}

void VUHttpIngestion::networkStateChanged()
{
    if (!mReachability)
        return;
    if (mReachability->currentReachabilityStatus() == VU_Reachability::NotReachable) {
        VULogInfo(VULogTag(), "Internet connection is down.");
        pause();
    } else {
        VULogInfo(VULogTag(), "Internet connection is up.");
        resume();
    }
}

void VUHttpIngestion::setBaseURL(const QString &baseURL)
{
    std::lock_guard guard(mLock);
    mBaseURL = baseURL;
    const QUrl base(baseURL + mApiPath, QUrl::StrictMode);
    if (!base.isValid() || base.scheme().isEmpty() || base.host().isEmpty()) {
        VULogInfo(VULogTag(), "Failed to update HTTP URL %s with %s", qUtf8Printable(mSendURL.toString()),
                  qUtf8Printable(baseURL));
        return;
    }
    QUrl updated = mSendURL;
    updated.setScheme(base.scheme());
    updated.setUserName(base.userName());
    updated.setPassword(base.password());
    updated.setHost(base.host());
    updated.setPort(base.port());
    updated.setPath(base.path());
    if (!updated.isValid()) {
        VULogInfo(VULogTag(), "Failed to update HTTP URL %s with %s", qUtf8Printable(mSendURL.toString()),
                  qUtf8Printable(baseURL));
        return;
    }
    mSendURL = updated;
}

QString VUHttpIngestion::baseURL() const
{
    std::lock_guard guard(mLock);
    return mBaseURL;
}

QUrl VUHttpIngestion::sendURL() const
{
    std::lock_guard guard(mLock);
    return mSendURL;
}

int VUHttpIngestion::pendingCallCount() const
{
    std::lock_guard guard(mLock);
    return int(mPendingCalls.size());
}

bool VUHttpIngestion::hasPendingCall(const QString &callId) const
{
    std::lock_guard guard(mLock);
    return mPendingCalls.contains(callId);
}

QList<qint64> VUHttpIngestion::callsRetryIntervals() const
{
    std::lock_guard guard(mLock);
    return mCallsRetryIntervals;
}

void VUHttpIngestion::setCallsRetryIntervals(const QList<qint64> &intervalsMs)
{
    std::lock_guard guard(mLock);
    mCallsRetryIntervals = intervalsMs;
}

QString VUHttpIngestion::prettyPrintHeaders(const HttpHeaders &headers) const
{
    QStringList lines;
    for (const auto &[name, value] : headers)
        lines.append(QStringLiteral("%1 = %2").arg(QString::fromUtf8(name),
                                                   obfuscateHeaderValue(QString::fromUtf8(value), QString::fromUtf8(name))));
    return lines.join(QStringLiteral(", "));
}

void VUHttpIngestion::logRequest(const HttpRequest &request) const
{
    if (VULogger::currentLogLevel() > VULogLevelVerbose)
        return;
    VULogVerbose(VULogTag(), "URL: %s", qUtf8Printable(request.url));
    VULogVerbose(VULogTag(), "Headers: %s", qUtf8Printable(prettyPrintHeaders(request.headers)));
}
