#pragma once
// Exceptions a wrapper SDK (a layer running the telemetry component under another language
// runtime) saved just before its process died: kept as keyed archives in
// "crasheswrapperexceptions", tied at the next launch to the crash report of the same
// process id, and kept under the report's incident identifier until it is sent or
// discarded. Quillon runs no wrapper SDK, so normally there is nothing to find.
//
// A wrapper exception is any archived model that also answers VUWrapperException; its
// class is registered with VUKeyedCoding by whoever supplies it.
//
// Thread-safe: the in-memory table has its own lock; file work goes through VUUtility.

#include "telemetry/crashes/VUErrorReport.h"
#include "telemetry/crashes/VUException.h"

#include <QList>

class VUWrapperException
{
public:
    virtual ~VUWrapperException() = default;
    // The process that saved it.
    virtual std::optional<quint64> processId() const = 0;
    virtual std::shared_ptr<VUException> modelException() const = 0;
};

class VUWrapperExceptionManager
{
public:
    static inline const QString kLastSavedFileName = QStringLiteral("last_saved_wrapper_exception");

    static void saveWrapperException(const std::shared_ptr<VUModel> &wrapperException);
    static std::shared_ptr<VUModel> loadWrapperExceptionWithUUIDString(const QString &uuid);
    static void deleteWrapperExceptionWithUUIDString(const QString &uuid);
    static void deleteAllWrapperExceptions();
    static void correlateLastSavedWrapperExceptionToReport(const QList<std::shared_ptr<VUErrorReport>> &reports);

    static void saveWrapperException(const std::shared_ptr<VUModel> &wrapperException, const QString &baseFilename);
    static void deleteWrapperExceptionWithBaseFilename(const QString &baseFilename);
    // The object, or nothing when the file is missing; a file that does not hold a wrapper
    // exception is logged and deleted.
    static std::shared_ptr<VUModel> loadWrapperExceptionWithBaseFilename(const QString &baseFilename);

    // The model exception of the object (null when it is none or has none).
    static std::shared_ptr<VUException> modelExceptionOf(const std::shared_ptr<VUModel> &wrapperException);
    // Forgets the in-memory table (tests start each run afresh).
    static void resetForTesting();
};
