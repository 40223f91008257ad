#pragma once
// The crash report file and the reporter's folder: names, header and limits shared by the
// crash-time writer and every reader of its files.
//
// A report file is an 8-byte header (the ASCII bytes "vucrash" without NUL, then the format
// version byte) followed by exactly one vucrash.CrashReport message (crash_report.proto) in
// the Protocol Buffers binary wire format, running to the end of the file.
//
// Plain constants only: safe at crash time, included by C++17 and C++20 code alike.

#include <stddef.h>
#include <stdint.h>

// The leading bytes of every report file, without a terminating NUL.
inline constexpr char VUCRASH_REPORT_FILE_MAGIC[] = "vucrash";
inline constexpr size_t VUCRASH_REPORT_FILE_MAGIC_LENGTH = 7;
// The only format version written and read.
inline constexpr uint8_t VUCRASH_REPORT_FILE_VERSION = 1;
// Magic plus version; the message starts here and must hold at least one byte.
inline constexpr size_t VUCRASH_REPORT_FILE_HEADER_SIZE = 8;

struct vucrash_report_file_header {
  char magic[VUCRASH_REPORT_FILE_MAGIC_LENGTH];
  uint8_t version;
} __attribute__((packed));
static_assert(sizeof(vucrash_report_file_header) == VUCRASH_REPORT_FILE_HEADER_SIZE);

// A report never grows past this many bytes, header included.
inline constexpr uint64_t VUCRASH_REPORT_MAX_SIZE = 262144;
// Frames written per stack (thread or exception).
inline constexpr uint32_t VUCRASH_REPORT_MAX_FRAMES = 512;

// The reporter's folder is <cache home>/<data folder name>/<application identifier with "/"
// replaced by "_">; the pending report and the (empty) queue folder live inside it.
inline constexpr char VUCRASH_REPORTER_DATA_DIRECTORY[] = "org.quillon.crashreporter.data";
inline constexpr char VUCRASH_LIVE_REPORT_FILE_NAME[] = "live_report.vucrash";
inline constexpr char VUCRASH_QUEUED_REPORTS_DIRECTORY[] = "queued_reports";
// mkstemp template of a live report, inside the temporary folder.
inline constexpr char VUCRASH_LIVE_REPORT_TEMPLATE[] = "live_crash_report.XXXXXX";

// Field numbers of crash_report.proto, for the writer that encodes without generated code.
namespace vucrash_report_fields {
enum CrashReport : uint32_t {
  SYSTEM_INFO = 1, APPLICATION_INFO = 2, THREADS = 3, BINARY_IMAGES = 4, EXCEPTION = 5,
  SIGNAL = 6, PROCESS_INFO = 7, MACHINE_INFO = 8, REPORT_INFO = 9,
};
enum ReportInfo : uint32_t { REPORT_INFO_USER_REQUESTED = 1, REPORT_INFO_UUID = 2 };
enum SystemInfo : uint32_t {
  SYSTEM_INFO_OS = 1, SYSTEM_INFO_OS_VERSION = 2, SYSTEM_INFO_ARCHITECTURE = 3,
  SYSTEM_INFO_TIMESTAMP = 4, SYSTEM_INFO_OS_BUILD = 5,
};
enum MachineInfo : uint32_t {
  MACHINE_INFO_MODEL = 1, MACHINE_INFO_PROCESSOR = 2, MACHINE_INFO_PROCESSOR_COUNT = 3,
  MACHINE_INFO_LOGICAL_PROCESSOR_COUNT = 4,
};
enum Processor : uint32_t { PROCESSOR_ENCODING = 1, PROCESSOR_TYPE = 2, PROCESSOR_SUBTYPE = 3 };
enum ApplicationInfo : uint32_t {
  APPLICATION_INFO_IDENTIFIER = 1, APPLICATION_INFO_VERSION = 2,
  APPLICATION_INFO_MARKETING_VERSION = 3,
};
enum ProcessInfo : uint32_t {
  PROCESS_INFO_NAME = 1, PROCESS_INFO_ID = 2, PROCESS_INFO_PATH = 3,
  PROCESS_INFO_PARENT_NAME = 4, PROCESS_INFO_PARENT_ID = 5, PROCESS_INFO_NATIVE = 6,
  PROCESS_INFO_START_TIME = 7,
};
enum Thread : uint32_t {
  THREAD_NUMBER = 1, THREAD_FRAMES = 2, THREAD_CRASHED = 3, THREAD_REGISTERS = 4,
};
enum StackFrame : uint32_t { STACK_FRAME_PC = 3, STACK_FRAME_SYMBOL = 6 };
enum RegisterValue : uint32_t { REGISTER_NAME = 1, REGISTER_VALUE = 2 };
enum Symbol : uint32_t { SYMBOL_NAME = 1, SYMBOL_START_ADDRESS = 2, SYMBOL_END_ADDRESS = 3 };
enum BinaryImage : uint32_t {
  BINARY_IMAGE_BASE_ADDRESS = 1, BINARY_IMAGE_SIZE = 2, BINARY_IMAGE_NAME = 3,
  BINARY_IMAGE_UUID = 4, BINARY_IMAGE_CODE_TYPE = 5,
};
enum Exception : uint32_t { EXCEPTION_NAME = 1, EXCEPTION_REASON = 2, EXCEPTION_FRAMES = 3 };
enum Signal : uint32_t {
  SIGNAL_NAME = 1, SIGNAL_CODE = 2, SIGNAL_ADDRESS = 3, SIGNAL_MACH_EXCEPTION = 4,
};
enum MachException : uint32_t { MACH_EXCEPTION_TYPE = 1, MACH_EXCEPTION_CODES = 2 };
}  // namespace vucrash_report_fields

// Enum values of crash_report.proto.
enum VUCrashReportOperatingSystem : uint32_t {
  VUCrashReportOperatingSystemMacOSX = 0,
  VUCrashReportOperatingSystemiPhoneOS = 1,
  VUCrashReportOperatingSystemiPhoneSimulator = 2,
  VUCrashReportOperatingSystemUnknown = 3,
  VUCrashReportOperatingSystemAppleTVOS = 4,
};
enum VUCrashReportArchitecture : uint32_t {
  VUCrashReportArchitectureX86_32 = 0,
  VUCrashReportArchitectureX86_64 = 1,
  VUCrashReportArchitectureARMv6 = 2,
  VUCrashReportArchitecturePPC = 3,
  VUCrashReportArchitecturePPC64 = 4,
  VUCrashReportArchitectureARMv7 = 5,
  VUCrashReportArchitectureUnknown = 6,
};
enum VUCrashReportProcessorTypeEncoding : uint32_t {
  VUCrashReportProcessorTypeEncodingUnknown = 0,
  VUCrashReportProcessorTypeEncodingMach = 1,
};

// What the host is, as written into SystemInfo. This is not one of the systems the format
// names, so it says so rather than claiming one; the same holds for architectures it lacks.
inline constexpr VUCrashReportOperatingSystem VUCrashReportHostOperatingSystem =
    VUCrashReportOperatingSystemUnknown;
#if defined(__x86_64__)
inline constexpr VUCrashReportArchitecture VUCrashReportHostArchitecture =
    VUCrashReportArchitectureX86_64;
#elif defined(__i386__)
inline constexpr VUCrashReportArchitecture VUCrashReportHostArchitecture =
    VUCrashReportArchitectureX86_32;
#else
inline constexpr VUCrashReportArchitecture VUCrashReportHostArchitecture =
    VUCrashReportArchitectureUnknown;
#endif

// Processor numbers in the Mach-O encoding (TYPE_ENCODING_MACH), used for the machine and
// for every image's code type.
inline constexpr uint64_t VUCRASH_CPU_TYPE_X86 = 7;
inline constexpr uint64_t VUCRASH_CPU_TYPE_X86_64 = 0x01000007;
inline constexpr uint64_t VUCRASH_CPU_SUBTYPE_X86_64_ALL = 3;
inline constexpr uint64_t VUCRASH_CPU_TYPE_ARM64 = 0x0100000C;
inline constexpr uint64_t VUCRASH_CPU_SUBTYPE_ARM64_ALL = 0;
