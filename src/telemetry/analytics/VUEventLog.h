#pragma once
// An event the application tracked: a name, an id given when it was tracked and typed
// properties. For each transmission target token it becomes a common-schema log whose data
// holds the properties as a tree (a name "a.b" puts b inside a) and whose metadata extension
// declares the type of every number and date in the same shape ("f" maps): long 4, double 6,
// dateTime 9. The base-type rules: "baseType" (a string) needs at least one "baseData."
// property and "baseData." properties need a "baseType"; whatever breaks them is left out,
// of the common-schema log and of the event itself.

#include "telemetry/analytics/VUEventProperties.h"
#include "telemetry/analytics/VULogWithNameAndProperties.h"

class VUCommonSchemaLog;

class VUEventLog : public VULogWithNameAndProperties
{
public:
    VUEventLog();

    QString className() const override { return QStringLiteral("VUEventLog"); }
    QStringList superclasses() const override
    {
        return QStringList{QStringLiteral("VULogWithNameAndProperties"), QStringLiteral("VULogWithProperties")} +
               logSuperclasses();
    }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::shared_ptr<VUCommonSchemaLog> toCommonSchemaLogForTargetToken(const QString &token,
                                                                       quint64 flags) const override;
    // Fills the data and metadata of `log` from the typed properties (dropping, from the
    // event too, what the base-type rules refuse).
    void setPropertiesAndMetadataForCSLog(VUCommonSchemaLog &log) const;

    // Type name to metadata type id; string and boolean have none.
    static std::optional<int> metadataTypeIdFor(const std::optional<QString> &type);

    std::optional<QString> eventId;
    std::shared_ptr<VUEventProperties> typedProperties;
};
