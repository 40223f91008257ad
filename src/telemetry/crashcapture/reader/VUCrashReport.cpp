#include "VUCrashReport.h"

#include "crash_report.pb-c.h"

#include <QCoreApplication>

namespace {

using Report = Vucrash__CrashReport;

QString tr(const char *text) { return QCoreApplication::translate("VUCrashReport", text); }

// Records the failure (when the caller wants it) and returns an empty value to pass up.
struct Failure {
    VUCrashReportError *error;
    std::nullopt_t operator()(int64_t code, const QString &message) const
    {
        if (error)
            *error = VUCrashReportError{QStringLiteral("VUCrashReporterErrorDomain"), code, message};
        return std::nullopt;
    }
};

struct Unpacked {
    Report *report = nullptr;
    ~Unpacked()
    {
        if (report)
            vucrash__crash_report__free_unpacked(report, nullptr);
    }
};

std::optional<QString> optionalString(const char *text)
{
    if (!text)
        return std::nullopt;
    return QString::fromUtf8(text);
}

std::optional<QDateTime> dateFromSeconds(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

Report *decodeCrashData(const QByteArray &data, const Failure &fail)
{
    if (data.size() <= 8) {
        fail(VUCrashReportError::InvalidCrashReport, tr("Could not decode truncated crash log"));
        return nullptr;
    }
    if (!data.startsWith("vucrash")) {
        fail(VUCrashReportError::InvalidCrashReport, tr("Could not decode invalid crash log header"));
        return nullptr;
    }
    int version = static_cast<uint8_t>(data.at(7));
    if (version != 1) {
        fail(VUCrashReportError::InvalidCrashReport,
             tr("Could not decode unsupported crash report version: %1").arg(version));
        return nullptr;
    }
    Report *report = vucrash__crash_report__unpack(nullptr, static_cast<size_t>(data.size() - 8),
                                                   reinterpret_cast<const uint8_t *>(data.constData()) + 8);
    if (!report)
        fail(VUCrashReportError::InvalidCrashReport, tr("An unknown error occured decoding the crash report"));
    return report;
}

std::optional<VUCrashReportSystemInfo> extractSystemInfo(const Vucrash__CrashReport__SystemInfo *info,
                                                         const Failure &fail)
{
    if (!info)
        return fail(2, tr("Crash report is missing System Information section"));
    if (!info->os_version)
        return fail(2, tr("Crash report is missing System Information OS version field"));
    std::optional<QDateTime> timestamp;
    if (info->timestamp != 0)
        timestamp = dateFromSeconds(info->timestamp);
    return VUCrashReportSystemInfo(info->operating_system, QString::fromUtf8(info->os_version),
                                   optionalString(info->os_build), info->architecture, timestamp);
}

std::optional<VUCrashReportProcessorInfo> extractProcessorInfo(const Vucrash__CrashReport__Processor *processor,
                                                               const Failure &fail)
{
    if (!processor)
        return fail(2, tr("Crash report is missing processor info section"));
    return VUCrashReportProcessorInfo(processor->encoding, processor->type, processor->subtype);
}

std::optional<VUCrashReportMachineInfo> extractMachineInfo(const Vucrash__CrashReport__MachineInfo *info,
                                                           const Failure &fail)
{
    if (!info)
        return fail(2, tr("Crash report is missing Machine Information section"));
    std::optional<VUCrashReportProcessorInfo> processor;
    if (info->processor && !(processor = extractProcessorInfo(info->processor, fail)))
        return std::nullopt;
    return VUCrashReportMachineInfo(optionalString(info->model), processor, info->processor_count,
                                    info->logical_processor_count);
}

std::optional<VUCrashReportApplicationInfo>
extractApplicationInfo(const Vucrash__CrashReport__ApplicationInfo *info, const Failure &fail)
{
    if (!info)
        return fail(2, tr("Crash report is missing Application Information section"));
    if (!info->identifier)
        return fail(2, tr("Crash report is missing Application Information app identifier field"));
    if (!info->version)
        return fail(2, tr("Crash report is missing Application Information app version field"));
    return VUCrashReportApplicationInfo(QString::fromUtf8(info->identifier), QString::fromUtf8(info->version),
                                        optionalString(info->marketing_version));
}

std::optional<VUCrashReportProcessInfo> extractProcessInfo(const Vucrash__CrashReport__ProcessInfo *info,
                                                           const Failure &fail)
{
    if (!info)
        return fail(2, tr("Crash report is missing Process Information section"));
    std::optional<QDateTime> start;
    if (info->has_start_time)
        start = dateFromSeconds(static_cast<int64_t>(info->start_time));
    return VUCrashReportProcessInfo(optionalString(info->process_name), info->process_id,
                                    optionalString(info->process_path), start,
                                    optionalString(info->parent_process_name), info->parent_process_id,
                                    info->native);
}

// A symbol without its name carries nothing worth showing: the frame simply has no symbol.
std::optional<VUCrashReportSymbolInfo> extractSymbolInfo(const Vucrash__CrashReport__Symbol *symbol)
{
    if (!symbol || !symbol->name)
        return std::nullopt;
    return VUCrashReportSymbolInfo(QString::fromUtf8(symbol->name), symbol->start_address,
                                   symbol->has_end_address ? symbol->end_address : 0);
}

std::optional<VUCrashReportStackFrameInfo> extractStackFrameInfo(const Vucrash__CrashReport__Thread__StackFrame *frame,
                                                                 const Failure &fail)
{
    if (!frame)
        return fail(2, tr("Crash report is missing stack frame information"));
    return VUCrashReportStackFrameInfo(frame->pc, extractSymbolInfo(frame->symbol));
}

std::optional<QList<VUCrashReportStackFrameInfo>>
extractFrames(Vucrash__CrashReport__Thread__StackFrame *const *frames, size_t count, const Failure &fail)
{
    QList<VUCrashReportStackFrameInfo> list;
    list.reserve(static_cast<qsizetype>(count));
    for (size_t i = 0; i < count; ++i) {
        std::optional<VUCrashReportStackFrameInfo> frame = extractStackFrameInfo(frames[i], fail);
        if (!frame)
            return std::nullopt;
        list.append(*frame);
    }
    return list;
}

std::optional<QList<VUCrashReportThreadInfo>> extractThreadInfo(const Report *report, const Failure &fail)
{
    if (report->n_threads == 0)
        return fail(2, tr("Crash report is missing thread state information"));
    QList<VUCrashReportThreadInfo> threads;
    for (size_t i = 0; i < report->n_threads; ++i) {
        const Vucrash__CrashReport__Thread *thread = report->threads[i];
        std::optional<QList<VUCrashReportStackFrameInfo>> frames =
            extractFrames(thread->frames, thread->n_frames, fail);
        if (!frames)
            return std::nullopt;
        QList<VUCrashReportRegisterInfo> registers;
        for (size_t r = 0; r < thread->n_registers; ++r) {
            const Vucrash__CrashReport__Thread__RegisterValue *value = thread->registers[r];
            if (!value->name)
                return fail(2, QStringLiteral("Missing register name in register value"));
            registers.append(VUCrashReportRegisterInfo(QString::fromUtf8(value->name), value->value));
        }
        threads.append(VUCrashReportThreadInfo(thread->thread_number, *frames, thread->crashed, registers));
    }
    return threads;
}

std::optional<QList<VUCrashReportBinaryImageInfo>> extractImageInfo(const Report *report, const Failure &fail)
{
    if (report->n_binary_images == 0)
        return fail(2, tr("Crash report is missing binary image information"));
    QList<VUCrashReportBinaryImageInfo> images;
    for (size_t i = 0; i < report->n_binary_images; ++i) {
        const Vucrash__CrashReport__BinaryImage *image = report->binary_images[i];
        if (!image->name)
            return fail(2, QStringLiteral("Missing image name in image record"));
        std::optional<QByteArray> uuid;
        if (image->has_uuid && image->uuid.len > 0)
            uuid = QByteArray(reinterpret_cast<const char *>(image->uuid.data), static_cast<qsizetype>(image->uuid.len));
        std::optional<VUCrashReportProcessorInfo> codeType;
        if (image->code_type && !(codeType = extractProcessorInfo(image->code_type, fail)))
            return std::nullopt;
        images.append(VUCrashReportBinaryImageInfo(codeType, image->base_address, image->size,
                                                   QString::fromUtf8(image->name), uuid));
    }
    return images;
}

std::optional<VUCrashReportExceptionInfo> extractExceptionInfo(const Vucrash__CrashReport__Exception *exception,
                                                               const Failure &fail)
{
    if (!exception)
        return fail(2, tr("Crash report is missing Exception Information section"));
    if (!exception->name)
        return fail(2, tr("Crash report is missing exception name field"));
    if (!exception->reason)
        return fail(2, tr("Crash report is missing exception reason field"));
    std::optional<QList<VUCrashReportStackFrameInfo>> frames;
    if (exception->n_frames > 0 && !(frames = extractFrames(exception->frames, exception->n_frames, fail)))
        return std::nullopt;
    return VUCrashReportExceptionInfo(QString::fromUtf8(exception->name), QString::fromUtf8(exception->reason),
                                      frames);
}

std::optional<VUCrashReportSignalInfo> extractSignalInfo(const Vucrash__CrashReport__Signal *signal,
                                                         const Failure &fail)
{
    if (!signal)
        return fail(2, tr("Crash report is missing Signal Information section"));
    if (!signal->name)
        return fail(2, tr("Crash report is missing signal name field"));
    if (!signal->code)
        return fail(2, tr("Crash report is missing signal code field"));
    return VUCrashReportSignalInfo(QString::fromUtf8(signal->name), QString::fromUtf8(signal->code), signal->address);
}

std::optional<VUCrashReportMachExceptionInfo>
extractMachExceptionInfo(const Vucrash__CrashReport__Signal__MachException *exception, const Failure &fail)
{
    if (!exception)
        return fail(2, tr("Crash report is missing Mach Exception Information section"));
    if (exception->n_codes >= 256)
        return fail(2, tr("Crash report includes too many Mach Exception codes"));
    QList<uint64_t> codes;
    for (size_t i = 0; i < exception->n_codes; ++i)
        codes.append(exception->codes[i]);
    return VUCrashReportMachExceptionInfo(exception->type, codes);
}

} // namespace

std::unique_ptr<VUCrashReport> VUCrashReport::initWithData(const QByteArray &data, VUCrashReportError *error)
{
    const Failure fail{error};
    Unpacked decoded;
    decoded.report = decodeCrashData(data, fail);
    if (!decoded.report)
        return nullptr;
    const Report *report = decoded.report;

    std::unique_ptr<VUCrashReport> result(new VUCrashReport);
    if (report->report_info && report->report_info->has_uuid) {
        const ProtobufCBinaryData &uuid = report->report_info->uuid;
        if (uuid.len != 16) {
            fail(2, QStringLiteral("Report UUID value is not a standard 16 bytes"));
            return nullptr;
        }
        result->mUuid = QUuid::fromRfc4122(QByteArrayView(uuid.data, 16));
    }
    if (!(result->mSystemInfo = extractSystemInfo(report->system_info, fail)))
        return nullptr;
    if (report->machine_info && !(result->mMachineInfo = extractMachineInfo(report->machine_info, fail)))
        return nullptr;
    if (!(result->mApplicationInfo = extractApplicationInfo(report->application_info, fail)))
        return nullptr;
    if (report->process_info && !(result->mProcessInfo = extractProcessInfo(report->process_info, fail)))
        return nullptr;
    if (!(result->mSignalInfo = extractSignalInfo(report->signal, fail)))
        return nullptr;
    if (report->signal->mach_exception &&
        !(result->mMachExceptionInfo = extractMachExceptionInfo(report->signal->mach_exception, fail)))
        return nullptr;
    std::optional<QList<VUCrashReportThreadInfo>> threads = extractThreadInfo(report, fail);
    if (!threads)
        return nullptr;
    result->mThreads = *threads;
    std::optional<QList<VUCrashReportBinaryImageInfo>> images = extractImageInfo(report, fail);
    if (!images)
        return nullptr;
    result->mImages = *images;
    if (report->exception && !(result->mExceptionInfo = extractExceptionInfo(report->exception, fail)))
        return nullptr;
    return result;
}

const VUCrashReportBinaryImageInfo *VUCrashReport::imageForAddress(uint64_t address) const
{
    for (const VUCrashReportBinaryImageInfo &image : mImages) {
        if (image.imageBaseAddress() <= address && address - image.imageBaseAddress() < image.imageSize())
            return &image;
    }
    return nullptr;
}
