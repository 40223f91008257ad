// libFuzzer entry point for the crash report reader: any bytes either decode into a report
// with threads and images or are refused with an invalid-report error, never a crash.
// Built and run by scripts/fuzz-crash-report.sh (clang's libFuzzer and AddressSanitizer).

#include "VUCrashReport.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VUCrashReportError error;
    std::unique_ptr<VUCrashReport> report =
        VUCrashReport::initWithData(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)),
                                    &error);
    if (report) {
        if (report->threads().isEmpty() || report->images().isEmpty())
            abort();
        for (const VUCrashReportThreadInfo &thread : report->threads())
            for (const VUCrashReportStackFrameInfo &frame : thread.stackFrames())
                (void)report->imageForAddress(frame.instructionPointer());
    } else if (error.code != VUCrashReportError::InvalidCrashReport) {
        abort();
    }
    return 0;
}
