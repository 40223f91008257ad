#pragma once
// The immutable records a decoded crash report is made of, one per section of the report
// file. Each is built once, by its constructor taking every property in order, and is only
// read afterwards, so it may be read from any thread. A property that may be absent is a
// std::optional; a list that may be absent (an exception's frames) is an optional list.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

class VUCrashReportSystemInfo
{
public:
    VUCrashReportSystemInfo(int32_t operatingSystem, QString operatingSystemVersion,
                            std::optional<QString> operatingSystemBuild, int32_t architecture,
                            std::optional<QDateTime> timestamp)
        : mOperatingSystem(operatingSystem), mOperatingSystemVersion(std::move(operatingSystemVersion)),
          mOperatingSystemBuild(std::move(operatingSystemBuild)), mArchitecture(architecture),
          mTimestamp(std::move(timestamp))
    {
    }
    int32_t operatingSystem() const { return mOperatingSystem; }
    const QString &operatingSystemVersion() const { return mOperatingSystemVersion; }
    const std::optional<QString> &operatingSystemBuild() const { return mOperatingSystemBuild; }
    int32_t architecture() const { return mArchitecture; }
    const std::optional<QDateTime> &timestamp() const { return mTimestamp; }

private:
    int32_t mOperatingSystem;
    QString mOperatingSystemVersion;
    std::optional<QString> mOperatingSystemBuild;
    int32_t mArchitecture;
    std::optional<QDateTime> mTimestamp;
};

class VUCrashReportProcessorInfo
{
public:
    VUCrashReportProcessorInfo(int32_t typeEncoding, uint64_t type, uint64_t subtype)
        : mTypeEncoding(typeEncoding), mType(type), mSubtype(subtype)
    {
    }
    int32_t typeEncoding() const { return mTypeEncoding; }
    uint64_t type() const { return mType; }
    uint64_t subtype() const { return mSubtype; }

private:
    int32_t mTypeEncoding;
    uint64_t mType;
    uint64_t mSubtype;
};

class VUCrashReportMachineInfo
{
public:
    VUCrashReportMachineInfo(std::optional<QString> modelName, std::optional<VUCrashReportProcessorInfo> processorInfo,
                             uint64_t processorCount, uint64_t logicalProcessorCount)
        : mModelName(std::move(modelName)), mProcessorInfo(std::move(processorInfo)),
          mProcessorCount(processorCount), mLogicalProcessorCount(logicalProcessorCount)
    {
    }
    const std::optional<QString> &modelName() const { return mModelName; }
    const std::optional<VUCrashReportProcessorInfo> &processorInfo() const { return mProcessorInfo; }
    uint64_t processorCount() const { return mProcessorCount; }
    uint64_t logicalProcessorCount() const { return mLogicalProcessorCount; }

private:
    std::optional<QString> mModelName;
    std::optional<VUCrashReportProcessorInfo> mProcessorInfo;
    uint64_t mProcessorCount;
    uint64_t mLogicalProcessorCount;
};

class VUCrashReportApplicationInfo
{
public:
    VUCrashReportApplicationInfo(QString applicationIdentifier, QString applicationVersion,
                                 std::optional<QString> applicationMarketingVersion)
        : mApplicationIdentifier(std::move(applicationIdentifier)), mApplicationVersion(std::move(applicationVersion)),
          mApplicationMarketingVersion(std::move(applicationMarketingVersion))
    {
    }
    const QString &applicationIdentifier() const { return mApplicationIdentifier; }
    const QString &applicationVersion() const { return mApplicationVersion; }
    const std::optional<QString> &applicationMarketingVersion() const { return mApplicationMarketingVersion; }

private:
    QString mApplicationIdentifier;
    QString mApplicationVersion;
    std::optional<QString> mApplicationMarketingVersion;
};

class VUCrashReportProcessInfo
{
public:
    VUCrashReportProcessInfo(std::optional<QString> processName, uint64_t processID,
                             std::optional<QString> processPath, std::optional<QDateTime> processStartTime,
                             std::optional<QString> parentProcessName, uint64_t parentProcessID, bool native)
        : mProcessName(std::move(processName)), mProcessID(processID), mProcessPath(std::move(processPath)),
          mProcessStartTime(std::move(processStartTime)), mParentProcessName(std::move(parentProcessName)),
          mParentProcessID(parentProcessID), mNative(native)
    {
    }
    const std::optional<QString> &processName() const { return mProcessName; }
    uint64_t processID() const { return mProcessID; }
    const std::optional<QString> &processPath() const { return mProcessPath; }
    const std::optional<QDateTime> &processStartTime() const { return mProcessStartTime; }
    const std::optional<QString> &parentProcessName() const { return mParentProcessName; }
    uint64_t parentProcessID() const { return mParentProcessID; }
    bool native() const { return mNative; }

private:
    std::optional<QString> mProcessName;
    uint64_t mProcessID;
    std::optional<QString> mProcessPath;
    std::optional<QDateTime> mProcessStartTime;
    std::optional<QString> mParentProcessName;
    uint64_t mParentProcessID;
    bool mNative;
};

class VUCrashReportSignalInfo
{
public:
    VUCrashReportSignalInfo(QString name, QString code, uint64_t address)
        : mName(std::move(name)), mCode(std::move(code)), mAddress(address)
    {
    }
    const QString &name() const { return mName; }
    const QString &code() const { return mCode; }
    uint64_t address() const { return mAddress; }

private:
    QString mName;
    QString mCode;
    uint64_t mAddress;
};

class VUCrashReportMachExceptionInfo
{
public:
    VUCrashReportMachExceptionInfo(uint64_t type, QList<uint64_t> codes) : mType(type), mCodes(std::move(codes)) {}
    uint64_t type() const { return mType; }
    const QList<uint64_t> &codes() const { return mCodes; }

private:
    uint64_t mType;
    QList<uint64_t> mCodes;
};

class VUCrashReportSymbolInfo
{
public:
    VUCrashReportSymbolInfo(QString symbolName, uint64_t startAddress, uint64_t endAddress)
        : mSymbolName(std::move(symbolName)), mStartAddress(startAddress), mEndAddress(endAddress)
    {
    }
    const QString &symbolName() const { return mSymbolName; }
    uint64_t startAddress() const { return mStartAddress; }
    uint64_t endAddress() const { return mEndAddress; }

private:
    QString mSymbolName;
    uint64_t mStartAddress;
    uint64_t mEndAddress;
};

class VUCrashReportStackFrameInfo
{
public:
    VUCrashReportStackFrameInfo(uint64_t instructionPointer, std::optional<VUCrashReportSymbolInfo> symbolInfo)
        : mInstructionPointer(instructionPointer), mSymbolInfo(std::move(symbolInfo))
    {
    }
    uint64_t instructionPointer() const { return mInstructionPointer; }
    const std::optional<VUCrashReportSymbolInfo> &symbolInfo() const { return mSymbolInfo; }

private:
    uint64_t mInstructionPointer;
    std::optional<VUCrashReportSymbolInfo> mSymbolInfo;
};

class VUCrashReportRegisterInfo
{
public:
    VUCrashReportRegisterInfo(QString registerName, uint64_t registerValue)
        : mRegisterName(std::move(registerName)), mRegisterValue(registerValue)
    {
    }
    const QString &registerName() const { return mRegisterName; }
    uint64_t registerValue() const { return mRegisterValue; }

private:
    QString mRegisterName;
    uint64_t mRegisterValue;
};

class VUCrashReportThreadInfo
{
public:
    VUCrashReportThreadInfo(int64_t threadNumber, QList<VUCrashReportStackFrameInfo> stackFrames, bool crashed,
                            QList<VUCrashReportRegisterInfo> registers)
        : mThreadNumber(threadNumber), mStackFrames(std::move(stackFrames)), mCrashed(crashed),
          mRegisters(std::move(registers))
    {
    }
    int64_t threadNumber() const { return mThreadNumber; }
    const QList<VUCrashReportStackFrameInfo> &stackFrames() const { return mStackFrames; }
    bool crashed() const { return mCrashed; }
    const QList<VUCrashReportRegisterInfo> &registers() const { return mRegisters; }

private:
    int64_t mThreadNumber;
    QList<VUCrashReportStackFrameInfo> mStackFrames;
    bool mCrashed;
    QList<VUCrashReportRegisterInfo> mRegisters;
};

class VUCrashReportBinaryImageInfo
{
public:
    // `uuid` is the raw bytes; when given, imageUUID() is them as lowercase hexadecimal text.
    VUCrashReportBinaryImageInfo(std::optional<VUCrashReportProcessorInfo> codeType, uint64_t baseAddress,
                                 uint64_t size, QString name, std::optional<QByteArray> uuid)
        : mCodeType(std::move(codeType)), mImageBaseAddress(baseAddress), mImageSize(size), mImageName(std::move(name))
    {
        if (uuid)
            mImageUUID = QString::fromLatin1(uuid->toHex());
    }
    const std::optional<VUCrashReportProcessorInfo> &codeType() const { return mCodeType; }
    uint64_t imageBaseAddress() const { return mImageBaseAddress; }
    uint64_t imageSize() const { return mImageSize; }
    const QString &imageName() const { return mImageName; }
    bool hasImageUUID() const { return mImageUUID.has_value(); }
    const std::optional<QString> &imageUUID() const { return mImageUUID; }

private:
    std::optional<VUCrashReportProcessorInfo> mCodeType;
    uint64_t mImageBaseAddress;
    uint64_t mImageSize;
    QString mImageName;
    std::optional<QString> mImageUUID;
};

class VUCrashReportExceptionInfo
{
public:
    VUCrashReportExceptionInfo(QString exceptionName, QString exceptionReason,
                               std::optional<QList<VUCrashReportStackFrameInfo>> stackFrames = std::nullopt)
        : mExceptionName(std::move(exceptionName)), mExceptionReason(std::move(exceptionReason)),
          mStackFrames(std::move(stackFrames))
    {
    }
    const QString &exceptionName() const { return mExceptionName; }
    const QString &exceptionReason() const { return mExceptionReason; }
    const std::optional<QList<VUCrashReportStackFrameInfo>> &stackFrames() const { return mStackFrames; }

private:
    QString mExceptionName;
    QString mExceptionReason;
    std::optional<QList<VUCrashReportStackFrameInfo>> mStackFrames;
};
