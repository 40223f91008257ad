#pragma once
// JSON values of the telemetry models: nlohmann's ordered_json, so the order in which a
// model writes its keys is the order on the wire. A null value stands for "no object"
// (a model with nothing to write).

#include <QString>
#include <QVariant>

#include <nlohmann/json.hpp>

#include <optional>

using VUJsonObject = nlohmann::ordered_json;

namespace VUJson {

inline std::string str(const QString &text) { return text.toStdString(); }
// A property value (string, number, boolean, date, list, map, null) as JSON.
VUJsonObject fromVariant(const QVariant &value);
// JSON text, compact or pretty-printed; nothing when the writer fails (invalid text).
std::optional<QString> dump(const VUJsonObject &object, bool prettyPrint);

} // namespace VUJson
