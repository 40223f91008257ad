#pragma once
// The ingestion of the common-schema endpoint: POST <base>/VezUdudovezo/1.0 with one log's
// compact JSON per line (gzip from 1400 bytes), the batch's target tokens in "apikey", the
// upload time and, when tickets are known, a "Tickets" JSON object. Token and ticket values
// are masked in log output. Thread-safe like its base.

#include "telemetry/core/VUHttpIngestion.h"

class VUVezUdudovezoIngestion : public VUHttpIngestion
{
public:
    static std::shared_ptr<VUVezUdudovezoIngestion> create(const QString &baseURL);
    static std::shared_ptr<VUVezUdudovezoIngestion> create(const QString &baseURL,
                                                           std::shared_ptr<VU_Reachability> reachability);

    void sendAsync(const std::shared_ptr<VULogContainer> &container, const VUSendAsyncCompletionHandler &handler) override;
    std::optional<HttpRequest> createRequest(const VULogContainer &data) const override;
    QString obfuscateHeaderValue(const QString &value, const QString &key) const override;

    static QString obfuscateTargetTokens(const QString &tokens);
    // Every value of the tickets object becomes "***"; text that is no JSON object is hidden whole.
    static QString obfuscateTickets(const QString &tickets);

private:
    VUVezUdudovezoIngestion(const QString &baseURL, std::shared_ptr<VU_Reachability> reachability);
};
