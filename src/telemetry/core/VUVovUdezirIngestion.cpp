#include "telemetry/core/VUVovUdezirIngestion.h"

#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUTimings.h"

namespace {

const QByteArray kAppSecretHeader = "App-Secret";

} // namespace

void VUSendContainerAsync(VUHttpIngestion &ingestion, const std::shared_ptr<VULogContainer> &container,
                          const VUSendAsyncCompletionHandler &handler)
{
    if (container && container->isValid()) {
        ingestion.VUHttpIngestion::sendAsync(container, container->batchId, handler);
        return;
    }
    const VUError error{kVUErrorDomain, kVULogInvalidContainerErrorCode, QStringLiteral("Invalid log container"), {}};
    VULogError(VULogTag(), "%s", qUtf8Printable(error.localizedDescription));
    if (handler)
        handler(container ? container->batchId : QString(), 0, {}, error);
}

VUVovUdezirIngestion::VUVovUdezirIngestion(const QString &baseURL, const QString &installId,
                                           std::shared_ptr<VU_Reachability> reachability)
    : VUHttpIngestion(baseURL, QStringLiteral("/logs"),
                      {{"Content-Type", "application/json"}, {"Install-ID", installId.toUtf8()}},
                      {{QStringLiteral("api-version"), QStringLiteral("1.0.0")}}, std::move(reachability),
                      VUTimings::current().retryIntervalsMs, 4)
{
}

std::shared_ptr<VUVovUdezirIngestion> VUVovUdezirIngestion::create(const QString &baseURL, const QString &installId)
{
    return create(baseURL, installId, VU_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<VUVovUdezirIngestion> VUVovUdezirIngestion::create(const QString &baseURL, const QString &installId,
                                                                   std::shared_ptr<VU_Reachability> reachability)
{
    std::shared_ptr<VUVovUdezirIngestion> ingestion(new VUVovUdezirIngestion(baseURL, installId, std::move(reachability)));
    ingestion->start();
    return ingestion;
}

bool VUVovUdezirIngestion::isReadyToSend() const
{
    std::lock_guard guard(mLock);
    return mAppSecret.has_value();
}

void VUVovUdezirIngestion::sendAsync(const std::shared_ptr<VULogContainer> &container,
                                     const VUSendAsyncCompletionHandler &handler)
{
    VUSendContainerAsync(*this, container, handler);
}

std::optional<QString> VUVovUdezirIngestion::appSecret() const
{
    std::lock_guard guard(mLock);
    return mAppSecret;
}

void VUVovUdezirIngestion::setAppSecret(const std::optional<QString> &appSecret)
{
    std::lock_guard guard(mLock);
    mAppSecret = appSecret;
}

std::optional<HttpRequest> VUVovUdezirIngestion::createRequest(const VULogContainer &data) const
{
    const auto secret = appSecret();
    if (!secret) {
        VULogError(VULogTag(), "VovUdezir ingestion is used without app secret.");
        return std::nullopt;
    }
    auto body = data.serializedBody();
    if (!body)
        return std::nullopt;
    HttpRequest request;
    request.method = "POST";
    request.url = sendURL().toString(QUrl::FullyEncoded);
    request.headers = httpHeaders();
    request.headers.append(HttpHeaders::value_type(kAppSecretHeader, secret->toUtf8()));
    request.body = std::move(*body);
    if (request.body.size() >= kCompressionThreshold) {
        if (const auto compressed = VUCompression::compressData(request.body)) {
            request.headers.append(HttpHeaders::value_type("Content-Encoding", "gzip"));
            request.body = *compressed;
        }
    }
    logRequest(request);
    return request;
}

QString VUVovUdezirIngestion::obfuscateHeaderValue(const QString &value, const QString &key) const
{
    return key == QString::fromLatin1(kAppSecretHeader) ? VUIngestionUtil::hideSecret(value) : value;
}
