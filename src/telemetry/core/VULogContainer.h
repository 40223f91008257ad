#pragma once
// One upload batch: the batch id and the logs read from the log database for one channel
// unit, serialised as the body {"logs": [...]}.
//
// A batch is all or nothing: when any of its logs cannot be serialised the container has no
// body, so nothing is sent and (since its batch is then never answered) nothing is deleted.
// Built and serialised on the telemetry queue; the logs must not change while a body is
// written (their JSON is written on helper threads).

#include "telemetry/core/VUAbstractLog.h"

class VULogContainer
{
public:
    VULogContainer(QString batchId, QList<std::shared_ptr<VUAbstractLog>> logs)
        : batchId(std::move(batchId)), logs(std::move(logs)) {}

    std::optional<QString> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
    std::optional<QString> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // The compact body as UTF-8, as it is sent.
    std::optional<QByteArray> serializedBody() const;
    bool isValid() const;

    QString batchId;
    QList<std::shared_ptr<VUAbstractLog>> logs;
};
