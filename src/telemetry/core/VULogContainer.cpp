#include "telemetry/core/VULogContainer.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUWorkers.h"

#include <string>
#include <vector>

namespace {

const char kUnserializableLog[] = "a log of the batch could not be serialized";

void reportFailure(const char *reason)
{
    VULogError(VULogTag(), "Couldn't serialize log container to json: %s", reason);
}

} // namespace

std::optional<QByteArray> VULogContainer::serializedBody() const
{
    // Each log's JSON is its own, so a batch is written on several cores and joined in
    // order: the text is the same as writing the whole body at once, compactly.
    struct Written
    {
        std::string text;
        std::string error;
        bool missing = false;
    };
    std::vector<Written> written(size_t(logs.size()));
    Written *const slot = written.data(); // each item writes only its own slot
    VUWorkers::forEach(logs.size(), [&](qsizetype i) {
        const auto &log = logs.at(i);
        const VUJsonObject json = log ? log->serializeToDictionary() : VUJsonObject();
        if (json.is_null()) {
            slot[i].missing = true;
            return;
        }
        try {
            slot[i].text = json.dump(-1);
        } catch (const nlohmann::json::exception &error) {
            slot[i].error = error.what();
        }
    });
    // Leaving a log out would let the batch's deletion remove a log never sent.
    for (const Written &log : written) {
        if (log.missing) {
            reportFailure(kUnserializableLog);
            return std::nullopt;
        }
    }
    qsizetype size = 12;
    for (const Written &log : written) {
        if (!log.error.empty()) {
            reportFailure(log.error.c_str());
            return std::nullopt;
        }
        size += qsizetype(log.text.size()) + 1;
    }
    QByteArray body;
    body.reserve(size);
    body.append("{\"logs\":[");
    for (size_t i = 0; i < written.size(); ++i) {
        if (i > 0)
            body.append(',');
        body.append(written[i].text.data(), qsizetype(written[i].text.size()));
    }
    body.append("]}");
    return body;
}

std::optional<QString> VULogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const
{
    if (!prettyPrint) {
        const auto body = serializedBody();
        return body ? std::optional<QString>(QString::fromUtf8(*body)) : std::nullopt;
    }
    VUJsonObject array = VUJsonObject::array();
    for (const auto &log : logs) {
        VUJsonObject json = log ? log->serializeToDictionary() : VUJsonObject();
        if (json.is_null()) {
            reportFailure(kUnserializableLog);
            return std::nullopt;
        }
        array.push_back(std::move(json));
    }
    VUJsonObject body = VUJsonObject::object();
    body["logs"] = std::move(array);
    try {
        return QString::fromStdString(body.dump(2));
    } catch (const nlohmann::json::exception &error) {
        reportFailure(error.what());
        return std::nullopt;
    }
}

bool VULogContainer::isValid() const
{
    if (logs.isEmpty())
        return false;
    for (const auto &log : logs)
        if (!log || !log->isValid())
            return false;
    return true;
}
