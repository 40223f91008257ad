#pragma once
// Builds report files for the reader's tests: a complete, valid report in protobuf-c records
// that a test may change before it is packed behind the file header.

#include "crash_report.pb-c.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

struct CrashReportParts {
    CrashReportParts();
    CrashReportParts(const CrashReportParts &) = delete;

    Vucrash__CrashReport report = VUCRASH__CRASH_REPORT__INIT;
    Vucrash__CrashReport__ReportInfo reportInfo = VUCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    Vucrash__CrashReport__SystemInfo systemInfo = VUCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Vucrash__CrashReport__MachineInfo machineInfo = VUCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    Vucrash__CrashReport__Processor processor = VUCRASH__CRASH_REPORT__PROCESSOR__INIT;
    Vucrash__CrashReport__ApplicationInfo applicationInfo = VUCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Vucrash__CrashReport__ProcessInfo processInfo = VUCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    Vucrash__CrashReport__Signal signal = VUCRASH__CRASH_REPORT__SIGNAL__INIT;
    Vucrash__CrashReport__Signal__MachException machException = VUCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    Vucrash__CrashReport__Exception exception = VUCRASH__CRASH_REPORT__EXCEPTION__INIT;

    // Threads: 0 crashed with two frames (the second with a symbol) and two registers; 1
    // without frames. Images: two, the second overlapping the first's end.
    Vucrash__CrashReport__Thread threads[2];
    Vucrash__CrashReport__Thread *threadList[2];
    Vucrash__CrashReport__Thread__StackFrame frames[2];
    Vucrash__CrashReport__Thread__StackFrame *frameList[2];
    Vucrash__CrashReport__Symbol symbol = VUCRASH__CRASH_REPORT__SYMBOL__INIT;
    Vucrash__CrashReport__Thread__RegisterValue registers[2];
    Vucrash__CrashReport__Thread__RegisterValue *registerList[2];
    Vucrash__CrashReport__BinaryImage images[2];
    Vucrash__CrashReport__BinaryImage *imageList[2];
    Vucrash__CrashReport__Processor imageProcessor = VUCRASH__CRASH_REPORT__PROCESSOR__INIT;
    uint8_t imageUuid[16];
    uint8_t reportUuid[16];
    std::vector<uint64_t> codes;

    // Storage for whatever a test adds.
    std::list<std::vector<uint8_t>> extra;
};

// The file bytes: header, then the packed report.
QByteArray packReport(const CrashReportParts &parts, uint8_t version = 1);
QByteArray buildReport(const std::function<void(CrashReportParts &)> &change = {});
// The same report with its top-level fields in descending field-number order.
QByteArray reorderTopLevelFields(const QByteArray &file);
