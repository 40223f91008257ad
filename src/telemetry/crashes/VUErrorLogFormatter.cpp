#include "telemetry/crashes/VUErrorLogFormatter.h"

#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUVovUdezir.h"
#include "telemetry/crashes/VUMachOLoadCommands.h"
#include "telemetry/crashes/VUWrapperExceptionManager.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUuid>

#include <algorithm>
#include <cmath>

#include <link.h>

namespace {

const QString kTag = QStringLiteral("VovUdezirCrashes");

// Report enumerators (the report file's own numbering).
constexpr int32_t kTypeEncodingMach = 1;
constexpr int32_t kOperatingSystemIPhoneSimulator = 2;

constexpr quint64 kCpuTypeX86 = 7;
constexpr quint64 kCpuTypeX86_64 = 0x01000007;
constexpr quint64 kCpuTypeArm = 12;
constexpr quint64 kCpuTypeArm64 = 0x0100000C;
constexpr quint64 kCpuTypePowerPC = 18;

std::optional<quint64> cpuTypeOfArchitecture(int32_t architecture)
{
    switch (architecture) {
    case 0: return kCpuTypeX86;
    case 1: return kCpuTypeX86_64;
    case 2: return kCpuTypeArm;
    case 3: return kCpuTypePowerPC;
    case 5: return kCpuTypeArm;
    default: return std::nullopt;
    }
}

bool isMach(const std::optional<VUCrashReportProcessorInfo> &info)
{
    return info && info->typeEncoding() == kTypeEncodingMach;
}

std::optional<QString> processPathOf(const VUCrashReport &report)
{
    if (report.hasProcessInfo())
        return report.processInfo()->processPath();
    return std::nullopt;
}

QString lastPathComponent(const QString &path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(QLatin1Char('/'));
    return slash < 0 || trimmed.size() == 1 ? trimmed : trimmed.mid(slash + 1);
}

// The dynamic loader's view of one loaded image of this process.
struct LoadedImage
{
    QByteArray name;
    const uint8_t *header = nullptr;
    quint64 slide = 0;
};

QList<LoadedImage> loadedImages()
{
    QList<LoadedImage> images;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *context) {
            auto *list = static_cast<QList<LoadedImage> *>(context);
            LoadedImage image;
            image.name = info->dlpi_name ? QByteArray(info->dlpi_name) : QByteArray();
            image.slide = info->dlpi_addr;
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0) {
                    image.header = reinterpret_cast<const uint8_t *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                    break;
                }
            list->append(image);
            return 0;
        },
        &images);
    return images;
}

} // namespace

QString VUErrorLogFormatter::formatAddress(quint64 address, bool is64bit)
{
    return QString::asprintf("0x%0*llx", is64bit ? 16 : 8, static_cast<unsigned long long>(address));
}

QString VUErrorLogFormatter::errorIdForCrashReport(const VUCrashReport &report)
{
    const QUuid uuid = report.uuidRef() ? *report.uuidRef() : QUuid::createUuid();
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

std::shared_ptr<VUAppleErrorLog> VUErrorLogFormatter::errorLogFromCrashReport(const VUCrashReport &report)
{
    auto log = std::make_shared<VUAppleErrorLog>();
    const auto codeType = extractCodeTypeFromReport(report);
    const bool is64bit = isCodeType64bit(codeType);

    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(*log, report);

    const VUCrashReportThreadInfo *crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);
    log->timestamp = getCrashTimeFromReport(report);
    if (log->timestamp) {
        // The report keeps whole seconds; the crash happened within the second after.
        const double seconds = double(log->timestamp->toMSecsSinceEpoch()) / 1000.0;
        if (std::trunc(seconds) == seconds)
            *log->timestamp = log->timestamp->addMSecs(999);
    }

    for (const auto &image : report.images())
        if (isMach(image.codeType())) {
            log->primaryArchitectureId = image.codeType()->type();
            log->architectureVariantId = image.codeType()->subtype();
        }

    const VUCrashReportSignalInfo &signal = report.signalInfo();
    log->osExceptionType = signal.name();
    log->osExceptionCode = signal.code();
    log->osExceptionAddress = QString::asprintf("0x%llx", static_cast<unsigned long long>(signal.address()));

    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.hasExceptionInfo())
        log->exceptionType = report.exceptionInfo()->exceptionName();
    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, is64bit);
    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, codeType, is64bit);

    VUDeviceTracker tracker;
    log->device = tracker.deviceForTimestamp(log->timestamp);

    if (report.uuidRef()) {
        const QString uuid = report.uuidRef()->toString(QUuid::WithoutBraces).toUpper();
        if (const auto wrapper = VUWrapperExceptionManager::loadWrapperExceptionWithUUIDString(uuid))
            log->exception = VUWrapperExceptionManager::modelExceptionOf(wrapper);
    }
    return log;
}

std::shared_ptr<VUErrorReport> VUErrorLogFormatter::errorReportFromCrashReport(const VUCrashReport *report)
{
    if (!report)
        return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<VUErrorReport> VUErrorLogFormatter::errorReportFromLog(const VUAppleErrorLog &log)
{
    const QUuid installId = VUVovUdezir::installId();
    const QString reporterKey = installId.isNull() ? QString(QLatin1String("")) : installId.toString(QUuid::WithoutBraces);
    return std::make_shared<VUErrorReport>(log.errorId, reporterKey, log.osExceptionType, log.exceptionType,
                                           log.exceptionReason, log.appLaunchTimestamp, log.timestamp,
                                           VUDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp),
                                           log.processId.value_or(0));
}

void VUErrorLogFormatter::addProcessInfoAndApplicationPathTo(VUAppleErrorLog &log, const VUCrashReport &report)
{
    const QString unknown = QStringLiteral("???");
    log.processId = 0;
    log.processName = unknown;
    log.parentProcessName = unknown;
    log.parentProcessId.reset();
    log.applicationPath = unknown;
    if (!report.hasProcessInfo())
        return;
    const VUCrashReportProcessInfo &info = *report.processInfo();
    log.processId = info.processID();
    if (info.processName())
        log.processName = *info.processName();
    if (info.processPath())
        log.applicationPath = anonymizedPathFromPath(*info.processPath());
    if (info.parentProcessName())
        log.parentProcessName = *info.parentProcessName();
    log.parentProcessId = info.parentProcessID();
}

std::optional<QDateTime> VUErrorLogFormatter::getAppLaunchTimeFromReport(const VUCrashReport &report)
{
    if (report.hasProcessInfo())
        return report.processInfo()->processStartTime();
    return report.systemInfo().timestamp();
}

std::optional<QDateTime> VUErrorLogFormatter::getCrashTimeFromReport(const VUCrashReport &report)
{
    return report.systemInfo().timestamp();
}

QList<std::shared_ptr<VUThread>> VUErrorLogFormatter::extractThreadsFromReport(const VUCrashReport &report,
                                                                               const VUCrashReportThreadInfo *crashedThread,
                                                                               bool is64bit)
{
    std::shared_ptr<VUException> crashException;
    if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames() &&
        !report.exceptionInfo()->stackFrames()->isEmpty()) {
        const VUCrashReportExceptionInfo &info = *report.exceptionInfo();
        crashException = std::make_shared<VUException>();
        crashException->message = info.exceptionReason();
        QList<std::shared_ptr<VUStackFrame>> frames;
        for (const auto &frame : *info.stackFrames()) {
            auto stackFrame = std::make_shared<VUStackFrame>();
            stackFrame->address = formatAddress(frame.instructionPointer(), is64bit);
            frames.append(stackFrame);
        }
        crashException->frames = frames;
        crashException->type = info.exceptionName().isEmpty() ? report.signalInfo().name() : info.exceptionName();
    }

    QList<std::shared_ptr<VUThread>> threads;
    for (const auto &thread : report.threads()) {
        auto result = std::make_shared<VUThread>();
        result->threadId = thread.threadNumber();
        if (crashedThread && crashException && thread.threadNumber() == crashedThread->threadNumber())
            result->exception = crashException;
        for (const auto &frame : thread.stackFrames()) {
            auto stackFrame = std::make_shared<VUStackFrame>();
            stackFrame->address = formatAddress(frame.instructionPointer(), is64bit);
            stackFrame->code = formatStackFrame(frame, report);
            result->frames->append(stackFrame);
        }
        threads.append(result);
    }
    return threads;
}

QString VUErrorLogFormatter::formatStackFrame(const VUCrashReportStackFrameInfo &frame, const VUCrashReport &report)
{
    const quint64 pc = frame.instructionPointer();
    const VUCrashReportBinaryImageInfo *image = report.imageForAddress(pc);
    const quint64 base = image ? image->imageBaseAddress() : 0;
    const quint64 offset = image ? pc - base : 0;
    const ImageType kind =
        imageTypeForImagePath(image ? std::optional<QString>(image->imageName()) : std::nullopt, processPathOf(report));
    if (kind == OtherImage && frame.symbolInfo()) {
        QString name = frame.symbolInfo()->symbolName();
        if (name.startsWith(QLatin1Char('_')) && name.size() >= 2) {
            if (report.systemInfo().operatingSystem() == kOperatingSystemIPhoneSimulator)
                name.remove(0, 1);
            else
                VULogWarning(kTag, "Symbol prefix rules are unknown for this OS!");
        }
        return QStringLiteral("%1 + %2").arg(name).arg(static_cast<qint64>(pc - frame.symbolInfo()->startAddress()));
    }
    return QString::asprintf("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
}

QMap<QString, QString> VUErrorLogFormatter::extractRegistersFromCrashedThread(const VUCrashReportThreadInfo *thread,
                                                                             bool is64bit)
{
    QMap<QString, QString> registers;
    if (thread)
        for (const auto &reg : thread->registers())
            registers.insert(reg.registerName(), formatAddress(reg.registerValue(), is64bit));
    return registers;
}

std::optional<QString> VUErrorLogFormatter::extractExceptionReasonFromReport(const VUCrashReport &report)
{
    if (report.hasExceptionInfo())
        return report.exceptionInfo()->exceptionReason();
    return std::nullopt;
}

std::optional<QString> VUErrorLogFormatter::selectorRegisterValueFromReport(const VUCrashReport &report,
                                                                            const VUCrashReportThreadInfo *crashedThread,
                                                                            bool is64bit)
{
    if (!crashedThread)
        return std::nullopt;
    if (is64bit)
        return selectorForRegisterWithName(QStringLiteral("x1"), *crashedThread, report);
    if (auto value = selectorForRegisterWithName(QStringLiteral("r1"), *crashedThread, report))
        return value;
    return selectorForRegisterWithName(QStringLiteral("r2"), *crashedThread, report);
}

std::optional<QString> VUErrorLogFormatter::selectorForRegisterWithName(const QString &name,
                                                                        const VUCrashReportThreadInfo &thread,
                                                                        const VUCrashReport &report)
{
    const auto reg = std::find_if(thread.registers().cbegin(), thread.registers().cend(),
                                  [&](const VUCrashReportRegisterInfo &r) { return r.registerName() == name; });
    if (reg == thread.registers().cend() || reg->registerValue() == 0)
        return std::nullopt;
    const quint64 value = reg->registerValue();
    const VUCrashReportBinaryImageInfo *image = report.imageForAddress(value);
    if (!image || !image->imageUUID())
        return std::nullopt;
    const QByteArray imagePath = image->imageName().toUtf8();
    for (const LoadedImage &loaded : loadedImages()) {
        if (!loaded.header || loaded.name != imagePath)
            continue;
        // Only the mapped header page is read; ELF images have no Mach-O magic and answer nil.
        constexpr size_t kHeaderWindow = 4096;
        const auto uuid = VUMachOLoadCommands::uuidText(loaded.header, kHeaderWindow);
        if (!uuid || *uuid != *image->imageUUID())
            continue;
        const auto section = VUMachOLoadCommands::findSection(loaded.header, kHeaderWindow, "__TEXT", "__objc_methname");
        if (!section)
            return std::nullopt;
        const quint64 start = section->address + loaded.slide;
        if (start == 0)
            return std::nullopt;
        const quint64 end = start + section->size;
        const quint64 p = reinterpret_cast<quint64>(loaded.header) + (value - image->imageBaseAddress());
        if (p < start || p >= end)
            return std::nullopt;
        const char *text = reinterpret_cast<const char *>(p);
        const void *nul = std::memchr(text, 0, end - p);
        if (!nul)
            return std::nullopt;
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString selector = decoder(QByteArrayView(text, static_cast<const char *>(nul) - text));
        if (decoder.hasError())
            return std::nullopt;
        return selector;
    }
    return std::nullopt;
}

QList<std::shared_ptr<VUBinary>> VUErrorLogFormatter::extractBinaryImagesFromReport(const VUCrashReport &report,
                                                                                    std::optional<quint64> codeType,
                                                                                    bool is64bit)
{
    const QList<quint64> addresses = addressesFromReport(report, is64bit);
    QList<const VUCrashReportBinaryImageInfo *> images;
    for (const auto &image : report.images())
        images.append(&image);
    std::stable_sort(images.begin(), images.end(), [](const auto *a, const auto *b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const auto processPath = processPathOf(report);
    QList<std::shared_ptr<VUBinary>> binaries;
    for (const auto *image : images) {
        const quint64 start = image->imageBaseAddress();
        const quint64 size = image->imageSize() == 0 ? 1 : image->imageSize();
        const quint64 end = start + size - 1;
        const ImageType kind = imageTypeForImagePath(image->imageName(), processPath);
        if (!isBinaryWithStart(start, end, addresses) && kind == OtherImage)
            continue;
        auto binary = std::make_shared<VUBinary>();
        binary->binaryId = image->imageUUID().value_or(QStringLiteral("???"));
        binary->startAddress = formatAddress(start, is64bit);
        binary->endAddress = formatAddress(end, is64bit);
        binary->path = anonymizedPathFromPath(image->imageName());
        binary->name = image->imageName().isEmpty() ? QStringLiteral("???") : lastPathComponent(image->imageName());
        binary->primaryArchitectureId = codeType;
        binary->architectureVariantId = image->codeType() ? image->codeType()->subtype() : 0;
        binaries.append(binary);
    }
    return binaries;
}

bool VUErrorLogFormatter::isBinaryWithStart(quint64 start, quint64 end, const QList<quint64> &addresses)
{
    return std::any_of(addresses.cbegin(), addresses.cend(), [&](quint64 a) { return start <= a && a <= end; });
}

QString VUErrorLogFormatter::anonymizedPathFromPath(const QString &path)
{
    static const QRegularExpression users(QStringLiteral("(/Users/[^/]+/)"));
    if (!path.isEmpty() && path.startsWith(QLatin1String("/Users/"))) {
        if (!users.isValid()) {
            VULogError(kTag, "Couldn't create regular expression with pattern\"%s\": %s",
                       qUtf8Printable(users.pattern()), qUtf8Printable(users.errorString()));
            return QString(QLatin1String(""));
        }
        return QString(path).replace(users, QStringLiteral("/Users/USER/"));
    }
    if (path.isEmpty() || path.contains(QLatin1String("Users")))
        return QString(QLatin1String(""));
    // This system keeps users' folders elsewhere: the user's own home folder name is hidden
    // the same way.
    const QString home = QDir::cleanPath(QDir::homePath());
    const qsizetype slash = home.lastIndexOf(QLatin1Char('/'));
    if (slash > 0 && home.size() > slash + 1 && path.startsWith(home + QLatin1Char('/')))
        return home.left(slash + 1) + QStringLiteral("USER") + path.mid(home.size());
    return path;
}

VUErrorLogFormatter::ImageType VUErrorLogFormatter::imageTypeForImagePath(const std::optional<QString> &imagePath,
                                                                          const std::optional<QString> &processPath)
{
    if (!imagePath || !processPath)
        return OtherImage;
    const QString standardized = QDir::cleanPath(*imagePath).toLower();
    const QString lower = imagePath->toLower();
    const QString process = processPath->toLower();
    if (!standardized.contains(QLatin1String(".app/")) ||
        (standardized.contains(QLatin1String("frameworks/libswift")) && standardized.endsWith(QLatin1String(".dylib"))))
        return OtherImage;
    if (standardized == process || lower.startsWith(process))
        return ApplicationExecutable;
    return ApplicationBundleImage;
}

std::optional<quint64> VUErrorLogFormatter::extractCodeTypeFromReport(const VUCrashReport &report)
{
    for (const auto &image : report.images()) {
        if (isMach(image.codeType()))
            return image.codeType()->type();
        if (const auto type = cpuTypeOfArchitecture(report.systemInfo().architecture()))
            return type;
    }
    return std::nullopt;
}

bool VUErrorLogFormatter::isCodeType64bit(std::optional<quint64> codeType)
{
    return codeType && (*codeType == kCpuTypeArm64 || *codeType == kCpuTypeX86_64);
}

const VUCrashReportThreadInfo *VUErrorLogFormatter::findCrashedThreadInReport(const VUCrashReport &report)
{
    for (const auto &thread : report.threads())
        if (thread.crashed())
            return &thread;
    return nullptr;
}

QList<quint64> VUErrorLogFormatter::addressesFromReport(const VUCrashReport &report, bool is64bit)
{
    QList<quint64> addresses;
    if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames())
        for (const auto &frame : *report.exceptionInfo()->stackFrames())
            addresses.append(normalizeAddress(frame.instructionPointer(), is64bit));
    for (const auto &thread : report.threads()) {
        for (const auto &frame : thread.stackFrames())
            addresses.append(normalizeAddress(frame.instructionPointer(), is64bit));
        for (const auto &reg : thread.registers())
            addresses.append(normalizeAddress(reg.registerValue(), is64bit));
    }
    return addresses;
}
