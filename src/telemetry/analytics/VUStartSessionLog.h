#pragma once
// Announces a new analytics session; its "sid" is the new session id. The session tracker
// leaves it alone (it carries its own id).

#include "telemetry/core/VUAbstractLog.h"

class VUStartSessionLog : public VUAbstractLog, public VUNoAutoAssignSessionIdLog
{
public:
    VUStartSessionLog() { setType(QStringLiteral("startSession")); }

    QString className() const override { return QStringLiteral("VUStartSessionLog"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    bool isEqual(const VUModel *other) const override
    {
        return dynamic_cast<const VUStartSessionLog *>(other) && VUAbstractLog::isEqual(other);
    }
};
