#pragma once
// A crash report file read back into immutable records. initWithData decodes the whole file
// once (header check, then the protobuf-c decoder) and checks every field the records need;
// afterwards the report and everything it holds are read-only and may be read from any thread.
// Not crash-time code: it allocates freely and is used at the next launch.

#include "VUCrashReportSections.h"

#include <QUuid>

#include <memory>

// Why a report could not be read: domain "VUCrashReporterErrorDomain", the reporter's code
// (2 for an invalid report) and the message (English unless a translation is installed).
struct VUCrashReportError {
    static constexpr int64_t InvalidCrashReport = 2;
    QString domain;
    int64_t code = 0;
    QString message;
};

class VUCrashReport
{
public:
    // The report, or null with *error set (when error is given).
    static std::unique_ptr<VUCrashReport> initWithData(const QByteArray &data, VUCrashReportError *error);

    const VUCrashReportSystemInfo &systemInfo() const { return *mSystemInfo; }
    bool hasMachineInfo() const { return mMachineInfo.has_value(); }
    const std::optional<VUCrashReportMachineInfo> &machineInfo() const { return mMachineInfo; }
    const VUCrashReportApplicationInfo &applicationInfo() const { return *mApplicationInfo; }
    bool hasProcessInfo() const { return mProcessInfo.has_value(); }
    const std::optional<VUCrashReportProcessInfo> &processInfo() const { return mProcessInfo; }
    const VUCrashReportSignalInfo &signalInfo() const { return *mSignalInfo; }
    const std::optional<VUCrashReportMachExceptionInfo> &machExceptionInfo() const { return mMachExceptionInfo; }
    const QList<VUCrashReportThreadInfo> &threads() const { return mThreads; }
    const QList<VUCrashReportBinaryImageInfo> &images() const { return mImages; }
    bool hasExceptionInfo() const { return mExceptionInfo.has_value(); }
    const std::optional<VUCrashReportExceptionInfo> &exceptionInfo() const { return mExceptionInfo; }
    const std::optional<QUuid> &uuidRef() const { return mUuid; }

    // The first image, in file order, with base <= address < base + size; null when none.
    const VUCrashReportBinaryImageInfo *imageForAddress(uint64_t address) const;

private:
    VUCrashReport() = default;

    std::optional<VUCrashReportSystemInfo> mSystemInfo;
    std::optional<VUCrashReportMachineInfo> mMachineInfo;
    std::optional<VUCrashReportApplicationInfo> mApplicationInfo;
    std::optional<VUCrashReportProcessInfo> mProcessInfo;
    std::optional<VUCrashReportSignalInfo> mSignalInfo;
    std::optional<VUCrashReportMachExceptionInfo> mMachExceptionInfo;
    QList<VUCrashReportThreadInfo> mThreads;
    QList<VUCrashReportBinaryImageInfo> mImages;
    std::optional<VUCrashReportExceptionInfo> mExceptionInfo;
    std::optional<QUuid> mUuid;
};
