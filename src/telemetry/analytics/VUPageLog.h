#pragma once
// A page the user saw: its name and string properties. Never carries a transmission target.

#include "telemetry/analytics/VULogWithNameAndProperties.h"

class VUPageLog : public VULogWithNameAndProperties
{
public:
    VUPageLog() { setType(QStringLiteral("page")); }

    QString className() const override { return QStringLiteral("VUPageLog"); }
    QStringList superclasses() const override
    {
        return QStringList{QStringLiteral("VULogWithNameAndProperties"), QStringLiteral("VULogWithProperties")} +
               logSuperclasses();
    }
    bool isEqual(const VUModel *other) const override
    {
        return dynamic_cast<const VUPageLog *>(other) && VULogWithNameAndProperties::isEqual(other);
    }
};
