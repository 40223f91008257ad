#include "telemetry/analytics/VUEventLog.h"

#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"

#include <map>

namespace {

const QString kVUDataBaseType = QStringLiteral("baseType");
const QString kVUDataBaseData = QStringLiteral("baseData");
const QString kVUFieldDelimiter = QStringLiteral("f");

// A mutable JSON-like tree: each key holds either a leaf value or a child node.
struct TreeNode
{
    std::map<QString, QVariant> leaves;
    std::map<QString, std::shared_ptr<TreeNode>> children;

    bool has(const QString &key) const { return leaves.count(key) || children.count(key); }
    // The child under `key`, made when nothing is there; null when a leaf is there.
    std::shared_ptr<TreeNode> childCreating(const QString &key, bool *created = nullptr)
    {
        if (const auto it = children.find(key); it != children.end())
            return it->second;
        if (leaves.count(key))
            return nullptr;
        auto child = std::make_shared<TreeNode>();
        children.emplace(key, child);
        if (created)
            *created = true;
        return child;
    }
    bool isEmpty() const { return leaves.empty() && children.empty(); }
    QVariantMap toMap() const
    {
        QVariantMap map;
        for (const auto &[key, value] : leaves)
            map.insert(key, value);
        for (const auto &[key, child] : children)
            map.insert(key, child->toMap());
        return map;
    }
};

// What the walk had to create first, so it can be taken back when the property is refused.
struct CreatedEntry
{
    std::shared_ptr<TreeNode> parent;
    QString key;
};

// Puts the property's value under `key` of `node`; false (and the first value stays) when the
// key is taken or there is no node (a collision higher up).
bool addTypedPropertyToPropertyTree(const VUTypedProperty &property, const std::shared_ptr<TreeNode> &node,
                                    const QString &key)
{
    if (!node || node->has(key)) {
        VULogWarning(VUAnalyticsLogTag(), "Property key '%s' already has a value, choosing one.", qUtf8Printable(key));
        return false;
    }
    if (const auto *string = dynamic_cast<const VUStringTypedProperty *>(&property))
        node->leaves[key] = string->value().value_or(QString());
    else if (const auto *boolean = dynamic_cast<const VUBooleanTypedProperty *>(&property))
        node->leaves[key] = boolean->value();
    else if (const auto *longValue = dynamic_cast<const VULongTypedProperty *>(&property))
        node->leaves[key] = longValue->value();
    else if (const auto *doubleValue = dynamic_cast<const VUDoubleTypedProperty *>(&property))
        node->leaves[key] = doubleValue->value();
    else if (const auto *date = dynamic_cast<const VUDateTimeTypedProperty *>(&property); date && date->value())
        node->leaves[key] = VUUtility::dateToISO8601(*date->value());
    return true;
}

void addTypedPropertyToCS(const VUTypedProperty &property, const std::shared_ptr<TreeNode> &metadata,
                          const std::shared_ptr<TreeNode> &properties)
{
    const QStringList keys = property.name().value_or(QString()).split(QLatin1Char('.'));
    const auto typeId = VUEventLog::metadataTypeIdFor(property.type());
    std::shared_ptr<TreeNode> node = properties;
    std::shared_ptr<TreeNode> metadataNode = typeId ? metadata : nullptr;
    std::optional<CreatedEntry> firstCreated;
    auto remember = [&](const std::shared_ptr<TreeNode> &parent, const QString &key, bool created) {
        if (created && !firstCreated)
            firstCreated = CreatedEntry{parent, key};
    };
    for (qsizetype i = 0; i + 1 < keys.size(); ++i) {
        const QString &key = keys.at(i);
        if (node)
            node = node->childCreating(key);
        if (metadataNode) {
            bool created = false;
            auto fields = metadataNode->childCreating(kVUFieldDelimiter, &created);
            remember(metadataNode, kVUFieldDelimiter, created);
            created = false;
            auto next = fields ? fields->childCreating(key, &created) : nullptr;
            remember(fields, key, created);
            // A type already declared for a plain value: the two cannot both be sent.
            metadataNode = next;
        }
    }
    const QString &last = keys.last();
    const bool added = addTypedPropertyToPropertyTree(property, node, last);
    if (typeId && added && metadataNode) {
        if (auto fields = metadataNode->childCreating(kVUFieldDelimiter)) {
            fields->leaves[last] = *typeId;
            return;
        }
    }
    // Nothing the walk made for this property may stay: an empty object in the metadata
    // would declare the colliding key an object.
    if (firstCreated && firstCreated->parent)
        firstCreated->parent->children.erase(firstCreated->key);
}

} // namespace

VUEventLog::VUEventLog()
{
    setType(QStringLiteral("event"));
}

std::optional<int> VUEventLog::metadataTypeIdFor(const std::optional<QString> &type)
{
    if (type == QLatin1String("long"))
        return 4;
    if (type == QLatin1String("double"))
        return 6;
    if (type == QLatin1String("dateTime"))
        return 9;
    return std::nullopt;
}

VUJsonObject VUEventLog::serializeToDictionary() const
{
    VUJsonObject json = VULogWithNameAndProperties::serializeToDictionary();
    if (eventId)
        json["id"] = VUJson::str(*eventId);
    if (typedProperties)
        json["typedProperties"] = typedProperties->serializeToArray();
    return json;
}

bool VUEventLog::isValid() const
{
    return VULogWithNameAndProperties::isValid() && eventId.has_value();
}

bool VUEventLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUEventLog *>(other);
    return log && VULogWithNameAndProperties::isEqual(other) && eventId == log->eventId;
}

void VUEventLog::encodeWithCoder(VUCoder &coder) const
{
    VULogWithNameAndProperties::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("id"), eventId);
    coder.encodeObject(QStringLiteral("typedProperties"), typedProperties.get());
}

bool VUEventLog::initWithCoder(const VUCoder &coder)
{
    VULogWithNameAndProperties::initWithCoder(coder);
    eventId = coder.decodeString(QStringLiteral("id"));
    typedProperties = coder.decodeObject<VUEventProperties>(QStringLiteral("typedProperties"));
    return !coder.failed();
}

std::shared_ptr<VUCommonSchemaLog> VUEventLog::toCommonSchemaLogForTargetToken(const QString &token, quint64 flags) const
{
    auto log = VULogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
    log->name = name;
    setPropertiesAndMetadataForCSLog(*log);
    log->tag = tag;
    return log;
}

void VUEventLog::setPropertiesAndMetadataForCSLog(VUCommonSchemaLog &log) const
{
    if (!typedProperties)
        return;
    VUEventProperties &p = *typedProperties;
    const QString prefixType = kVUDataBaseType + QLatin1Char('.');
    const QString prefixData = kVUDataBaseData + QLatin1Char('.');
    auto keysWithPrefix = [&p](const QString &prefix) {
        QStringList keys;
        for (const auto &[key, property] : p.properties())
            if (key.startsWith(prefix))
                keys.append(key);
        return keys;
    };
    if (std::dynamic_pointer_cast<VUStringTypedProperty>(p.propertyForKey(kVUDataBaseType))) {
        if (keysWithPrefix(prefixData).isEmpty()) {
            VULogWarning(VUAnalyticsLogTag(), "baseType was set but baseData is missing.");
            p.removePropertyForKey(kVUDataBaseType);
        }
    } else {
        const QStringList dataKeys = keysWithPrefix(prefixData);
        for (const QString &key : dataKeys)
            p.removePropertyForKey(key);
        if (!dataKeys.isEmpty())
            VULogWarning(VUAnalyticsLogTag(), "baseData was set but baseType is missing or invalid.");
        p.removePropertyForKey(kVUDataBaseType);
    }
    auto properties = std::make_shared<TreeNode>();
    auto metadata = std::make_shared<TreeNode>();
    for (const auto &[key, property] : p.properties()) {
        const QString name = property->name().value_or(key);
        if (name.startsWith(prefixType)) {
            VULogWarning(VUAnalyticsLogTag(), "baseType must not be an object.");
            continue;
        }
        if (name == kVUDataBaseData) {
            VULogWarning(VUAnalyticsLogTag(), "baseData must be an object.");
            continue;
        }
        addTypedPropertyToCS(*property, metadata, properties);
    }
    if (!properties->isEmpty()) {
        log.data = std::make_shared<VUCSData>();
        log.data->properties = properties->toMap();
    }
    if (!metadata->isEmpty()) {
        if (!log.ext)
            log.ext = std::make_shared<VUCSExtensions>();
        log.ext->metadataExt = std::make_shared<VUMetadataExtension>();
        log.ext->metadataExt->metadata = metadata->toMap();
    }
}
