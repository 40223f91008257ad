#pragma once
// Turns a decoded crash report into the crash log that is sent (VUAppleErrorLog) and into
// the summary the crash delegate sees (VUErrorReport): addresses as text, a symbol or an
// image-relative address per frame, the images that matter, the user's folder name hidden
// in paths, the Mach CPU type and subtype of the crash.
//
// Stateless class operations; any thread. Build the log once and derive the report from
// it (errorReportFromLog), so both carry the same ids even for a report without a UUID.

#include "VUCrashReport.h"
#include "telemetry/crashes/VUAppleErrorLog.h"
#include "telemetry/crashes/VUErrorReport.h"

#include <QVariantList>

class VUErrorLogFormatter
{
public:
    enum ImageType : qint64 { ApplicationExecutable = 0, ApplicationBundleImage = 1, OtherImage = 2 };

    static std::shared_ptr<VUAppleErrorLog> errorLogFromCrashReport(const VUCrashReport &report);
    static std::shared_ptr<VUErrorReport> errorReportFromCrashReport(const VUCrashReport *report);
    static std::shared_ptr<VUErrorReport> errorReportFromLog(const VUAppleErrorLog &log);

    static QString errorIdForCrashReport(const VUCrashReport &report);
    static void addProcessInfoAndApplicationPathTo(VUAppleErrorLog &log, const VUCrashReport &report);
    static std::optional<QDateTime> getAppLaunchTimeFromReport(const VUCrashReport &report);
    static std::optional<QDateTime> getCrashTimeFromReport(const VUCrashReport &report);
    static QList<std::shared_ptr<VUThread>> extractThreadsFromReport(const VUCrashReport &report,
                                                                     const VUCrashReportThreadInfo *crashedThread,
                                                                     bool is64bit);
    static QString formatStackFrame(const VUCrashReportStackFrameInfo &frame, const VUCrashReport &report);
    static QMap<QString, QString> extractRegistersFromCrashedThread(const VUCrashReportThreadInfo *thread, bool is64bit);
    static std::optional<QString> extractExceptionReasonFromReport(const VUCrashReport &report);
    static std::optional<QString> selectorRegisterValueFromReport(const VUCrashReport &report,
                                                                  const VUCrashReportThreadInfo *crashedThread,
                                                                  bool is64bit);
    static QList<std::shared_ptr<VUBinary>> extractBinaryImagesFromReport(const VUCrashReport &report,
                                                                          std::optional<quint64> codeType,
                                                                          bool is64bit);
    static bool isBinaryWithStart(quint64 start, quint64 end, const QList<quint64> &addresses);
    static QString anonymizedPathFromPath(const QString &path);
    static std::optional<QString> selectorForRegisterWithName(const QString &name, const VUCrashReportThreadInfo &thread,
                                                              const VUCrashReport &report);
    static ImageType imageTypeForImagePath(const std::optional<QString> &imagePath,
                                           const std::optional<QString> &processPath);
    static std::optional<quint64> extractCodeTypeFromReport(const VUCrashReport &report);
    static bool isCodeType64bit(std::optional<quint64> codeType);
    static const VUCrashReportThreadInfo *findCrashedThreadInReport(const VUCrashReport &report);
    static QList<quint64> addressesFromReport(const VUCrashReport &report, bool is64bit);
    static quint64 normalizeAddress(quint64 address, bool is64bit) { return address; }
    static QString formatAddress(quint64 address, bool is64bit);
};
