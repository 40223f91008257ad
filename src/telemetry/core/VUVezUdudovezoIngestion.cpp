#include "telemetry/core/VUVezUdudovezoIngestion.h"

#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VUCompression.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VUTicketCache.h"
#include "telemetry/core/VUTimings.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUVovUdezirIngestion.h"

#include <nlohmann/json.hpp>

#include <QSet>

VUVezUdudovezoIngestion::VUVezUdudovezoIngestion(const QString &baseURL, std::shared_ptr<VU_Reachability> reachability)
    : VUHttpIngestion(baseURL, QStringLiteral("%1/%2").arg(QStringLiteral("/VezUdudovezo"), QStringLiteral("1.0")),
                      {{"Content-Type", "application/x-json-stream; charset=utf-8"},
                       {"Client-Version", QStringLiteral("ACS-iOS-ObjectiveC-no-%1-no").arg(VUUtility::sdkVersion()).toUtf8()}},
                      {}, std::move(reachability), VUTimings::current().retryIntervalsMs, 2)
{
}

std::shared_ptr<VUVezUdudovezoIngestion> VUVezUdudovezoIngestion::create(const QString &baseURL)
{
    return create(baseURL, VU_Reachability::reachabilityForInternetConnection());
}

std::shared_ptr<VUVezUdudovezoIngestion> VUVezUdudovezoIngestion::create(const QString &baseURL,
                                                                         std::shared_ptr<VU_Reachability> reachability)
{
    std::shared_ptr<VUVezUdudovezoIngestion> ingestion(new VUVezUdudovezoIngestion(baseURL, std::move(reachability)));
    ingestion->start();
    return ingestion;
}

void VUVezUdudovezoIngestion::sendAsync(const std::shared_ptr<VULogContainer> &container,
                                        const VUSendAsyncCompletionHandler &handler)
{
    VUSendContainerAsync(*this, container, handler);
}

std::optional<HttpRequest> VUVezUdudovezoIngestion::createRequest(const VULogContainer &data) const
{
    HttpRequest request;
    request.method = "POST";
    request.url = sendURL().toString(QUrl::FullyEncoded);
    request.headers = httpHeaders();

    QSet<QString> tokens;
    nlohmann::json tickets = nlohmann::json::object();
    QByteArray body;
    for (const auto &log : data.logs) {
        if (const auto logTokens = log->transmissionTargetTokens())
            tokens.unite(*logTokens);
        if (const auto csLog = std::dynamic_pointer_cast<VUCommonSchemaLog>(log)) {
            if (csLog->ext && csLog->ext->protocolExt && csLog->ext->protocolExt->ticketKeys) {
                for (const QString &key : *csLog->ext->protocolExt->ticketKeys)
                    if (const auto ticket = VUTicketCache::sharedInstance()->ticketFor(key))
                        tickets[key.toStdString()] = ticket->toStdString();
            }
        }
        const auto line = log->serializeLogWithPrettyPrinting(false);
        if (!line)
            return std::nullopt; // a batch is all or nothing
        body += line->toUtf8() + '\n';
    }
    QStringList sortedTokens(tokens.cbegin(), tokens.cend());
    sortedTokens.sort();
    request.headers.append(HttpHeaders::value_type("apikey", sortedTokens.join(QLatin1Char(',')).toUtf8()));
    request.headers.append(HttpHeaders::value_type("Upload-Time", QByteArray::number(qint64(VUUtility::nowInMilliseconds()))));
    if (!tickets.empty())
        request.headers.append(HttpHeaders::value_type("Tickets", QByteArray::fromStdString(tickets.dump())));
    request.body = body;
    if (request.body.size() >= VUVovUdezirIngestion::kCompressionThreshold) {
        if (const auto compressed = VUCompression::compressData(request.body)) {
            request.headers.append(HttpHeaders::value_type("Content-Encoding", "gzip"));
            request.body = *compressed;
        }
    }
    logRequest(request);
    return request;
}

QString VUVezUdudovezoIngestion::obfuscateHeaderValue(const QString &value, const QString &key) const
{
    if (key == QLatin1String("apikey"))
        return obfuscateTargetTokens(value);
    if (key == QLatin1String("Tickets"))
        return obfuscateTickets(value);
    return value;
}

QString VUVezUdudovezoIngestion::obfuscateTargetTokens(const QString &tokens)
{
    QStringList masked;
    for (const QString &token : tokens.split(QLatin1Char(',')))
        masked.append(VUIngestionUtil::hideSecret(token));
    return masked.join(QLatin1Char(','));
}

QString VUVezUdudovezoIngestion::obfuscateTickets(const QString &tickets)
{
    const nlohmann::json parsed = nlohmann::json::parse(tickets.toStdString(), nullptr, false);
    if (!parsed.is_object())
        return QString(tickets.size(), QLatin1Char('*'));
    nlohmann::json masked = nlohmann::json::object();
    for (auto it = parsed.begin(); it != parsed.end(); ++it)
        masked[it.key()] = "***";
    return QString::fromStdString(masked.dump());
}
