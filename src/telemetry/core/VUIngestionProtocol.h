#pragma once
// What a channel unit asks of an ingestion, and what an ingestion tells its delegates.
//
// sendAsync sends one batch as one call and calls the completion exactly once, on the
// ingestion's network thread, when the call is over (answered, refused, or given up after
// its retries); a call held back by a network that is down does not complete until it is
// sent again. Delegates are held weakly and hear pause, resume and fatal errors (the
// credentials were refused) on the thread that caused them.

#include "telemetry/core/VUError.h"
#include "telemetry/core/VULogContainer.h"

#include <functional>
#include <memory>
#include <optional>

class VUIngestionProtocol;

class VUIngestionDelegate
{
public:
    virtual ~VUIngestionDelegate() = default;
    virtual void ingestionDidPause(VUIngestionProtocol *ingestion) {}
    virtual void ingestionDidResume(VUIngestionProtocol *ingestion) {}
    virtual void ingestionDidReceiveFatalError(VUIngestionProtocol *ingestion) {}
};

// (call id, HTTP status or 0 without an answer, response body, error or none on success)
using VUSendAsyncCompletionHandler = std::function<void(const QString &callId, qint64 statusCode,
                                                        const QByteArray &data, const std::optional<VUError> &error)>;

class VUIngestionProtocol
{
public:
    virtual ~VUIngestionProtocol() = default;
    virtual void sendAsync(const std::shared_ptr<VULogContainer> &container,
                           const VUSendAsyncCompletionHandler &handler) = 0;
    virtual void addDelegate(const std::weak_ptr<VUIngestionDelegate> &delegate) = 0;
    virtual void removeDelegate(const VUIngestionDelegate *delegate) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual bool paused() const = 0;
    virtual bool enabled() const = 0;
    virtual bool isReadyToSend() const = 0;
    virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};
