#pragma once
// What the host application may hear about its event and page logs. Every operation is
// optional (empty by default). Called on the telemetry queue or the enqueuing thread, never
// with an analytics lock held.

#include "telemetry/core/VUError.h"

#include <memory>
#include <optional>

class VUAnalytics;
class VUEventLog;
class VUPageLog;

class VUAnalyticsDelegate
{
public:
    virtual ~VUAnalyticsDelegate() = default;
    virtual void analyticsWillSendEventLog(VUAnalytics *, const std::shared_ptr<VUEventLog> &) {}
    virtual void analyticsDidSucceedSendingEventLog(VUAnalytics *, const std::shared_ptr<VUEventLog> &) {}
    virtual void analyticsDidFailSendingEventLog(VUAnalytics *, const std::shared_ptr<VUEventLog> &,
                                                 const std::optional<VUError> &) {}
    virtual void analyticsWillSendPageLog(VUAnalytics *, const std::shared_ptr<VUPageLog> &) {}
    virtual void analyticsDidSucceedSendingPageLog(VUAnalytics *, const std::shared_ptr<VUPageLog> &) {}
    virtual void analyticsDidFailSendingPageLog(VUAnalytics *, const std::shared_ptr<VUPageLog> &,
                                                const std::optional<VUError> &) {}
};
