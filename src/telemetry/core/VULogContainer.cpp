#include "telemetry/core/VULogContainer.h"

#include "telemetry/core/VULogger.h"

std::optional<QString> VULogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const
{
    VUJsonObject array = VUJsonObject::array();
    for (const auto &log : logs) {
        VUJsonObject json = log ? log->serializeToDictionary() : VUJsonObject();
        if (json.is_null()) {
            // Leaving the log out would let the batch's deletion remove a log never sent.
            VULogError(VULogTag(), "Couldn't serialize log container to json: %s",
                       "a log of the batch could not be serialized");
            return std::nullopt;
        }
        array.push_back(std::move(json));
    }
    VUJsonObject body = VUJsonObject::object();
    body["logs"] = std::move(array);
    try {
        return QString::fromStdString(body.dump(prettyPrint ? 2 : -1));
    } catch (const nlohmann::json::exception &error) {
        VULogError(VULogTag(), "Couldn't serialize log container to json: %s", error.what());
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
