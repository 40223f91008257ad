#include "telemetry/analytics/VUSessionTracker.h"

#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VUUserDefaults.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUuid>

namespace {

const QString kPastSessionsKey = QStringLiteral("pastSessionsKey");

double secondsBetween(const QDateTime &from, const QDateTime &to)
{
    return double(from.msecsTo(to)) / 1000.0;
}

} // namespace

VUSessionTracker::VUSessionTracker() : mContext(VUSessionContext::sharedInstance())
{
    // Nothing writes this key any more; what earlier installations left goes.
    VUUserDefaults::shared()->removeObjectForKey(kPastSessionsKey);
}

VUSessionTracker::~VUSessionTracker()
{
    NotificationCenter::defaultCenter().removeObserver(mResignToken);
    NotificationCenter::defaultCenter().removeObserver(mBecomeToken);
}

void VUSessionTracker::setDelegate(std::weak_ptr<VUSessionTrackerDelegate> delegate)
{
    std::lock_guard guard(mLock);
    mDelegate = std::move(delegate);
}

double VUSessionTracker::sessionTimeout() const
{
    std::lock_guard guard(mDatesLock);
    return mSessionTimeout;
}

void VUSessionTracker::setSessionTimeout(double seconds)
{
    std::lock_guard guard(mDatesLock);
    mSessionTimeout = seconds;
}

void VUSessionTracker::setClock(std::function<QDateTime()> clock)
{
    std::lock_guard guard(mDatesLock);
    mClock = std::move(clock);
}

QDateTime VUSessionTracker::now() const
{
    std::function<QDateTime()> clock;
    {
        std::lock_guard guard(mDatesLock);
        clock = mClock;
    }
    return clock ? clock() : QDateTime::currentDateTimeUtc();
}

std::optional<QDateTime> VUSessionTracker::lastCreatedLogTime() const
{
    std::lock_guard guard(mDatesLock);
    return mLastCreatedLogTime;
}

std::optional<QDateTime> VUSessionTracker::lastEnteredForegroundTime() const
{
    std::lock_guard guard(mDatesLock);
    return mLastEnteredForegroundTime;
}

std::optional<QDateTime> VUSessionTracker::lastEnteredBackgroundTime() const
{
    std::lock_guard guard(mDatesLock);
    return mLastEnteredBackgroundTime;
}

bool VUSessionTracker::isApplicationExtension()
{
    const QString path = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                      : QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return path.contains(QLatin1String(".appex/"));
}

void VUSessionTracker::start()
{
    {
        std::lock_guard guard(mLock);
        if (mStarted)
            return;
        mStarted = true;
        auto &center = NotificationCenter::defaultCenter();
        mResignToken = center.addObserver(kDidResignActive, nullptr,
                                          [this](const Notification &) { applicationDidEnterBackground(); });
        mBecomeToken = center.addObserver(kWillBecomeActive, nullptr,
                                          [this](const Notification &) { applicationWillEnterForeground(); });
    }
    // Active (0) or inactive (1): a session begins now; hidden or an extension waits.
    const qint64 state = VUApplicationStateProvider::applicationState();
    if (state == VUApplicationStateActive || state == 1)
        renewSessionId();
}

void VUSessionTracker::stop()
{
    std::lock_guard guard(mLock);
    if (!mStarted)
        return;
    auto &center = NotificationCenter::defaultCenter();
    center.removeObserver(mResignToken);
    center.removeObserver(mBecomeToken);
    mResignToken = mBecomeToken = 0;
    mStarted = false;
    mContext->setSessionId(std::nullopt);
}

void VUSessionTracker::renewSessionId()
{
    std::shared_ptr<VUStartSessionLog> log;
    std::shared_ptr<VUSessionTrackerDelegate> delegate;
    {
        std::lock_guard guard(mLock);
        if (!mStarted)
            return;
        if (mContext->sessionId() && !hasSessionTimedOut())
            return;
        const QString sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        mContext->setSessionId(sessionId);
        VULogInfo(VUAnalyticsLogTag(), "New session ID: %s", qUtf8Printable(sessionId));
        log = std::make_shared<VUStartSessionLog>();
        log->sid = sessionId;
        delegate = mDelegate.lock();
    }
    // Outside the lock: the delegate enqueues, and enqueuing reaches channelPrepareLog.
    if (delegate)
        delegate->sessionTrackerProcessLog(this, log);
}

bool VUSessionTracker::hasSessionTimedOut()
{
    const QDateTime current = now();
    std::lock_guard guard(mDatesLock);
    const double timeout = mSessionTimeout;
    const bool noLogForLong =
        !mLastCreatedLogTime || secondsBetween(*mLastCreatedLogTime, current) >= timeout;
    if (isApplicationExtension())
        return noLogForLong;
    const bool inactiveNowForLong = mLastEnteredBackgroundTime && mLastEnteredForegroundTime &&
                                    *mLastEnteredBackgroundTime > *mLastEnteredForegroundTime &&
                                    secondsBetween(*mLastEnteredBackgroundTime, current) >= timeout;
    bool wasInactiveForLong = false;
    if (mLastEnteredBackgroundTime) {
        const double away = mLastEnteredForegroundTime
                                ? secondsBetween(*mLastEnteredBackgroundTime, *mLastEnteredForegroundTime)
                                : 0.0;
        wasInactiveForLong = away >= timeout;
    }
    return noLogForLong && (inactiveNowForLong || wasInactiveForLong);
}

void VUSessionTracker::applicationDidEnterBackground()
{
    const QDateTime current = now();
    std::lock_guard guard(mDatesLock);
    mLastEnteredBackgroundTime = current;
}

void VUSessionTracker::applicationWillEnterForeground()
{
    const QDateTime current = now();
    {
        std::lock_guard guard(mDatesLock);
        mLastEnteredForegroundTime = current;
    }
    renewSessionId();
}

void VUSessionTracker::channelPrepareLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    if (!log || std::dynamic_pointer_cast<VUStartSessionLog>(log) || std::dynamic_pointer_cast<VUStartServiceLog>(log))
        return;
    if (!dynamic_cast<const VUNoAutoAssignSessionIdLog *>(log.get()))
        log->sid = mStarted ? mContext->sessionId() : std::nullopt;
    const QDateTime current = now();
    std::lock_guard guard(mDatesLock);
    mLastCreatedLogTime = current;
}
