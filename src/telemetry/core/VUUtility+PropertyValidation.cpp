#include "telemetry/core/VUUtility.h"

#include "telemetry/core/VULogger.h"

namespace {
constexpr int kMaxProperties = 20;
constexpr int kMaxPropertyLength = 125;
} // namespace

VUStringProperties VUUtility::validateProperties(const VUPropertyList &properties,
                                                 const QString &logName, const QString &logType)
{
    VUStringProperties result;
    for (const auto &[rawKey, rawValue] : properties) {
        if (result.size() >= kMaxProperties) {
            VULogWarning(VULogTag(),
                         "%s '%s' : properties cannot contain more than %d items. Skipping other properties.",
                         qUtf8Printable(logType), qUtf8Printable(logName), kMaxProperties);
            break;
        }
        if (rawValue.metaType().id() != QMetaType::QString)
            continue;
        QString key = rawKey;
        QString value = rawValue.toString();
        if (key.isEmpty()) {
            VULogWarning(VULogTag(),
                         "%s '%s' : a property key cannot be null or empty. Property will be skipped.",
                         qUtf8Printable(logType), qUtf8Printable(logName));
            continue;
        }
        if (characterCount(key) > kMaxPropertyLength) {
            VULogWarning(VULogTag(),
                         "%s '%s' : property %s : property key length cannot be longer than %d characters. "
                         "Property key will be truncated.",
                         qUtf8Printable(logType), qUtf8Printable(logName), qUtf8Printable(key),
                         kMaxPropertyLength);
            key = truncatedToCharacters(key, kMaxPropertyLength);
        }
        if (characterCount(value) > kMaxPropertyLength) {
            VULogWarning(VULogTag(),
                         "%s '%s' : property '%s' : property value cannot be longer than %d characters. "
                         "Property value will be truncated.",
                         qUtf8Printable(logType), qUtf8Printable(logName), qUtf8Printable(key),
                         kMaxPropertyLength);
            value = truncatedToCharacters(value, kMaxPropertyLength);
        }
        auto existing = std::find_if(result.begin(), result.end(),
                                     [&key](const auto &entry) { return entry.first == key; });
        if (existing != result.end())
            existing->second = value;
        else
            result.append({key, value});
    }
    return result;
}
