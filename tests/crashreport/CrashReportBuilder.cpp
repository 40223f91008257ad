#include "CrashReportBuilder.h"

#include <algorithm>
#include <stdexcept>

CrashReportParts::CrashReportParts()
{
    for (int i = 0; i < 16; ++i) {
        imageUuid[i] = static_cast<uint8_t>(i);
        reportUuid[i] = static_cast<uint8_t>(0xA0 + i);
    }
    reportInfo.has_user_requested = true;
    reportInfo.has_uuid = true;
    reportInfo.uuid = {16, reportUuid};

    systemInfo.has_operating_system = true;
    systemInfo.operating_system = VUCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN;
    systemInfo.os_version = const_cast<char *>("12.4.0");
    systemInfo.os_build = const_cast<char *>("6.1.0-13-amd64");
    systemInfo.has_architecture = true;
    systemInfo.architecture = VUCRASH__ARCHITECTURE__X86_64;
    systemInfo.has_timestamp = true;
    systemInfo.timestamp = 1765400000;

    processor.has_encoding = true;
    processor.encoding = VUCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    processor.has_type = processor.has_subtype = true;
    processor.type = 0x01000007;
    processor.subtype = 3;
    machineInfo.model = const_cast<char *>("Test Machine");
    machineInfo.processor = &processor;
    machineInfo.has_processor_count = machineInfo.has_logical_processor_count = true;
    machineInfo.processor_count = 4;
    machineInfo.logical_processor_count = 8;

    applicationInfo.identifier = const_cast<char *>("org.quillon.Quillon");
    applicationInfo.version = const_cast<char *>("010");
    applicationInfo.marketing_version = const_cast<char *>("0.1.0");

    processInfo.process_name = const_cast<char *>("Quillon");
    processInfo.has_process_id = processInfo.has_parent_process_id = processInfo.has_native = true;
    processInfo.process_id = 4242;
    processInfo.process_path = const_cast<char *>("/usr/bin/Quillon");
    processInfo.parent_process_name = const_cast<char *>("bash");
    processInfo.parent_process_id = 1;
    processInfo.native = true;
    processInfo.has_start_time = true;
    processInfo.start_time = 1765399000;

    signal.name = const_cast<char *>("SIGSEGV");
    signal.code = const_cast<char *>("SEGV_MAPERR");
    signal.has_address = true;
    signal.address = 0x10;

    symbol.name = const_cast<char *>("plain_function");
    symbol.has_start_address = true;
    symbol.start_address = 0x401000;
    for (int i = 0; i < 2; ++i) {
        vucrash__crash_report__thread__stack_frame__init(&frames[i]);
        frames[i].has_pc = true;
        frameList[i] = &frames[i];
        vucrash__crash_report__thread__register_value__init(&registers[i]);
        registers[i].has_value = true;
        registerList[i] = &registers[i];
        vucrash__crash_report__thread__init(&threads[i]);
        threads[i].has_thread_number = threads[i].has_crashed = true;
        threads[i].thread_number = static_cast<uint32_t>(i);
        threadList[i] = &threads[i];
        vucrash__crash_report__binary_image__init(&images[i]);
        images[i].has_base_address = images[i].has_size = true;
        imageList[i] = &images[i];
    }
    frames[0].pc = 0x401234;
    frames[1].pc = 0x401010;
    frames[1].symbol = &symbol;
    registers[0].name = const_cast<char *>("rip");
    registers[0].value = 0x401234;
    registers[1].name = const_cast<char *>("rsp");
    registers[1].value = 0x7ffd0000;
    threads[0].crashed = true;
    threads[0].n_frames = 2;
    threads[0].frames = frameList;
    threads[0].n_registers = 2;
    threads[0].registers = registerList;

    imageProcessor = processor;
    images[0].base_address = 0x400000;
    images[0].size = 0x2000;
    images[0].name = const_cast<char *>("/usr/bin/Quillon");
    images[0].has_uuid = true;
    images[0].uuid = {16, imageUuid};
    images[0].code_type = &imageProcessor;
    images[1].base_address = 0x401000;
    images[1].size = 0x4000;
    images[1].name = const_cast<char *>("/usr/lib/libother.so");

    report.report_info = &reportInfo;
    report.system_info = &systemInfo;
    report.machine_info = &machineInfo;
    report.application_info = &applicationInfo;
    report.process_info = &processInfo;
    report.n_threads = 2;
    report.threads = threadList;
    report.n_binary_images = 2;
    report.binary_images = imageList;
    report.signal = &signal;
}

QByteArray packReport(const CrashReportParts &parts, uint8_t version)
{
    QByteArray file("vucrash");
    file.append(static_cast<char>(version));
    size_t size = vucrash__crash_report__get_packed_size(&parts.report);
    QByteArray body(static_cast<qsizetype>(size), '\0');
    vucrash__crash_report__pack(&parts.report, reinterpret_cast<uint8_t *>(body.data()));
    return file + body;
}

QByteArray buildReport(const std::function<void(CrashReportParts &)> &change)
{
    CrashReportParts parts;
    if (change)
        change(parts);
    return packReport(parts);
}

namespace {

uint64_t varint(const QByteArray &bytes, qsizetype &pos)
{
    uint64_t value = 0;
    for (int shift = 0; pos < bytes.size(); shift += 7) {
        auto b = static_cast<uint8_t>(bytes[pos++]);
        value |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            return value;
    }
    throw std::runtime_error("truncated varint");
}

} // namespace

QByteArray reorderTopLevelFields(const QByteArray &file)
{
    QByteArray body = file.mid(8);
    std::vector<std::pair<uint64_t, QByteArray>> fields;
    qsizetype pos = 0;
    while (pos < body.size()) {
        qsizetype start = pos;
        uint64_t tag = varint(body, pos);
        if ((tag & 7) == 2)
            pos += static_cast<qsizetype>(varint(body, pos));
        else
            varint(body, pos);
        fields.emplace_back(tag >> 3, body.mid(start, pos - start));
    }
    // Entries of one repeated field keep their order among themselves.
    std::stable_sort(fields.begin(), fields.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QByteArray out = file.left(8);
    for (const auto &field : fields)
        out += field.second;
    return out;
}
