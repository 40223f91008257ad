#pragma once
// The ingestion of the log endpoint: POST <base>/logs?api-version=1.0.0 with the batch's
// {"logs": [...]} body (gzip from 1400 bytes), "Install-ID" and "App-Secret" headers.
// Not ready to send until it has an application secret; the secret is masked in log output.
// Thread-safe like its base.

#include "telemetry/core/VUHttpIngestion.h"

class VUVovUdezirIngestion : public VUHttpIngestion
{
public:
    static constexpr qsizetype kCompressionThreshold = 1400;

    static std::shared_ptr<VUVovUdezirIngestion> create(const QString &baseURL, const QString &installId);
    static std::shared_ptr<VUVovUdezirIngestion> create(const QString &baseURL, const QString &installId,
                                                        std::shared_ptr<VU_Reachability> reachability);

    bool isReadyToSend() const override;
    void sendAsync(const std::shared_ptr<VULogContainer> &container, const VUSendAsyncCompletionHandler &handler) override;
    std::optional<HttpRequest> createRequest(const VULogContainer &data) const override;
    QString obfuscateHeaderValue(const QString &value, const QString &key) const override;

    std::optional<QString> appSecret() const;
    void setAppSecret(const std::optional<QString> &appSecret);

private:
    VUVovUdezirIngestion(const QString &baseURL, const QString &installId, std::shared_ptr<VU_Reachability> reachability);
    std::optional<QString> mAppSecret;
};

// Sends a batch's container through the base's call table under its batch id, or answers
// an invalid container at once with the component's error code 1.
void VUSendContainerAsync(VUHttpIngestion &ingestion, const std::shared_ptr<VULogContainer> &container,
                          const VUSendAsyncCompletionHandler &handler);
