// Crash-time half of the report writer. Crash-time code: no heap, no locks, no stdio;
// async-signal-safe system calls only.
//
// Every message is written by one function run twice: first without a file to learn its
// size, then, after its tag and size, with the file. Both runs must produce the same bytes,
// so nothing a run depends on may change in between: the other threads are parked, and
// every decision to leave something out is made from the same inputs in both runs.
#include "VUCrashLogWriter.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashAsyncSignalInfo.h"
#include "VUCrashFrameCursor.h"
#include "VUCrashFrameSymbol.h"
#include "VUCrashLogWriterEncoding.h"
#include "VUCrashReportFormat.h"
#include "VUCrashThreadParking.h"

#include <errno.h>
#include <time.h>

namespace fields = vucrash_report_fields;

namespace {

// A message field's tag (at most 5 bytes for our numbers) and size varint (at most 5).
constexpr uint64_t kMessageOverhead = 10;

const char *orEmpty(const char *text) {
  return text != nullptr ? text : "";
}

template <typename Body>
size_t writeMessage(vucrash_async_file_t *file, uint32_t field, Body &&body) {
  const uint32_t size = static_cast<uint32_t>(body(nullptr));
  size_t header = vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_MESSAGE, &size);
  if (file != nullptr)
    body(file);
  return header + size;
}

// The same, for a body whose size the caller has already taken (one stack walk fewer).
template <typename Body>
size_t writeSizedMessage(vucrash_async_file_t *file, uint32_t field, uint32_t size,
                         Body &&body) {
  size_t header = vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_MESSAGE, &size);
  if (file != nullptr)
    body(file);
  return header + size;
}

size_t packString(vucrash_async_file_t *file, uint32_t field, const char *text) {
  return vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_STRING, orEmpty(text));
}

size_t packUint64(vucrash_async_file_t *file, uint32_t field, uint64_t value) {
  return vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_UINT64, &value);
}

size_t packUint32(vucrash_async_file_t *file, uint32_t field, uint32_t value) {
  return vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_UINT32, &value);
}

size_t packEnum(vucrash_async_file_t *file, uint32_t field, uint32_t value) {
  return vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_ENUM, &value);
}

size_t packBool(vucrash_async_file_t *file, uint32_t field, bool value) {
  const uint8_t byte = value ? 1 : 0;
  return vucrash_writer_pack(file, field, VUPROTOBUF_C_TYPE_BOOL, &byte);
}

size_t writeProcessor(vucrash_async_file_t *file, uint64_t type, uint64_t subtype) {
  size_t rv = packEnum(file, fields::PROCESSOR_ENCODING, VUCrashReportProcessorTypeEncodingMach);
  rv += packUint64(file, fields::PROCESSOR_TYPE, type);
  rv += packUint64(file, fields::PROCESSOR_SUBTYPE, subtype);
  return rv;
}

size_t writeReportInfo(vucrash_async_file_t *file, const vucrash_log_writer_t *writer) {
  size_t rv = packBool(file, fields::REPORT_INFO_USER_REQUESTED, writer->user_requested);
  VUProtobufCBinaryData uuid = {sizeof(writer->uuid), writer->uuid};
  rv += vucrash_writer_pack(file, fields::REPORT_INFO_UUID, VUPROTOBUF_C_TYPE_BYTES, &uuid);
  return rv;
}

size_t writeSystemInfo(vucrash_async_file_t *file, const vucrash_log_writer_t *writer,
                       int64_t timestamp) {
  size_t rv = packEnum(file, fields::SYSTEM_INFO_OS, VUCrashReportHostOperatingSystem);
  rv += packString(file, fields::SYSTEM_INFO_OS_VERSION, writer->system_info.version);
  if (writer->system_info.build != nullptr)
    rv += packString(file, fields::SYSTEM_INFO_OS_BUILD, writer->system_info.build);
  rv += packEnum(file, fields::SYSTEM_INFO_ARCHITECTURE, VUCrashReportHostArchitecture);
  rv += vucrash_writer_pack(file, fields::SYSTEM_INFO_TIMESTAMP, VUPROTOBUF_C_TYPE_INT64,
                            &timestamp);
  return rv;
}

size_t writeMachineInfo(vucrash_async_file_t *file, const vucrash_log_writer_t *writer) {
  size_t rv = 0;
  if (writer->machine_info.model != nullptr)
    rv += packString(file, fields::MACHINE_INFO_MODEL, writer->machine_info.model);
  rv += writeMessage(file, fields::MACHINE_INFO_PROCESSOR, [&](vucrash_async_file_t *f) {
    return writeProcessor(f, writer->machine_info.cpu_type, writer->machine_info.cpu_subtype);
  });
  rv += packUint32(file, fields::MACHINE_INFO_PROCESSOR_COUNT,
                   writer->machine_info.processor_count);
  rv += packUint32(file, fields::MACHINE_INFO_LOGICAL_PROCESSOR_COUNT,
                   writer->machine_info.logical_processor_count);
  return rv;
}

size_t writeApplicationInfo(vucrash_async_file_t *file, const vucrash_log_writer_t *writer) {
  size_t rv = packString(file, fields::APPLICATION_INFO_IDENTIFIER,
                         writer->application_info.app_identifier);
  rv += packString(file, fields::APPLICATION_INFO_VERSION, writer->application_info.app_version);
  if (writer->application_info.app_marketing_version != nullptr)
    rv += packString(file, fields::APPLICATION_INFO_MARKETING_VERSION,
                     writer->application_info.app_marketing_version);
  return rv;
}

size_t writeProcessInfo(vucrash_async_file_t *file, const vucrash_log_writer_t *writer) {
  const auto &info = writer->process_info;
  size_t rv = 0;
  if (info.process_name != nullptr)
    rv += packString(file, fields::PROCESS_INFO_NAME, info.process_name);
  rv += packUint32(file, fields::PROCESS_INFO_ID, info.process_id);
  if (info.process_path != nullptr)
    rv += packString(file, fields::PROCESS_INFO_PATH, info.process_path);
  if (info.parent_process_name != nullptr)
    rv += packString(file, fields::PROCESS_INFO_PARENT_NAME, info.parent_process_name);
  rv += packUint32(file, fields::PROCESS_INFO_PARENT_ID, info.parent_process_id);
  rv += packBool(file, fields::PROCESS_INFO_NATIVE, info.native);
  rv += packUint64(file, fields::PROCESS_INFO_START_TIME, info.start_time);
  return rv;
}

// One StackFrame: the address, and (when the strategy asks) the symbol that holds it, with
// its name and start. The symbol comes from the report's memo, so every pass over the frame
// writes the same bytes.
size_t writeFrame(vucrash_async_file_t *file, const vucrash_log_writer_t *writer, uint64_t pc,
                  vucrash_async_image_list_t *images) {
  size_t rv = packUint64(file, fields::STACK_FRAME_PC, pc);
  if (writer->symbolication_strategy == 0 || writer->symbol_memo == nullptr)
    return rv;
  const vucrash_frame_symbol_t *symbol =
      vucrash_frame_symbol_lookup(writer->symbol_memo, images, writer->symbolication_strategy,
                                  &writer->symbol_memo->cache, pc);
  if (!symbol->found)
    return rv;
  rv += writeMessage(file, fields::STACK_FRAME_SYMBOL, [&](vucrash_async_file_t *f) {
    return vucrash_writer_write_symbol(f, symbol);
  });
  return rv;
}

size_t writeRegister(vucrash_async_file_t *file, const char *name, uint64_t value) {
  size_t rv = packString(file, fields::REGISTER_NAME, name);
  rv += packUint64(file, fields::REGISTER_VALUE, value);
  return rv;
}

// One Thread. Frames stop at max_frames, or before the one that would make the body pass
// max_body bytes; the number, the flag and the registers are always written.
size_t writeThread(vucrash_async_file_t *file, const vucrash_log_writer_t *writer,
                   vucrash_async_image_list_t *images, uint32_t number, bool crashed,
                   const vucrash_async_thread_state_t *state, uint32_t max_frames,
                   uint64_t max_body) {
  size_t rv = packUint32(file, fields::THREAD_NUMBER, number);
  rv += packBool(file, fields::THREAD_CRASHED, crashed);
  if (state == nullptr)
    return rv;

  vuframe_cursor_t cursor;
  vuframe_error_t err = vuframe_cursor_init(&cursor, vu_task_self(), state, images);
  if (err != VUFRAME_ERR_NONE) {
    VUCR_LOG("An error occured initializing the frame cursor: %s", vuframe_strerror(err));
    return rv;
  }
  uint32_t frames = 0;
  bool wroteRegisters = false;
  while ((err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE) {
    if (crashed && !wroteRegisters) {
      wroteRegisters = true;
      const size_t count = vuframe_cursor_get_regcount(&cursor);
      for (size_t r = 0; r < count; ++r) {
        vucrash_greg_t value = 0;
        vuframe_error_t regErr =
            vuframe_cursor_get_reg(&cursor, static_cast<vucrash_regnum_t>(r), &value);
        if (regErr != VUFRAME_ERR_NONE) {
          VUCR_LOG("Could not fetch register %i value: %s", static_cast<int>(r),
                   vuframe_strerror(regErr));
          value = 0;
        }
        const char *name = vuframe_cursor_get_regname(&cursor, static_cast<vucrash_regnum_t>(r));
        rv += writeMessage(file, fields::THREAD_REGISTERS, [&](vucrash_async_file_t *f) {
          return writeRegister(f, name, value);
        });
      }
    }
    if (frames >= max_frames)
      break;
    vucrash_greg_t pc = 0;
    err = vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc);
    if (err != VUFRAME_ERR_NONE) {
      VUCR_LOG("Could not retrieve frame PC register: %s", vuframe_strerror(err));
      break;
    }
    auto frameBody = [&](vucrash_async_file_t *f) { return writeFrame(f, writer, pc, images); };
    const size_t frameSize = writeMessage(nullptr, fields::THREAD_FRAMES, frameBody);
    if (rv + frameSize > max_body)
      break;
    rv += writeMessage(file, fields::THREAD_FRAMES, frameBody);
    ++frames;
  }
  if (err != VUFRAME_ERR_NONE && err != VUFRAME_ERR_NOFRAME)
    VUCR_LOG("Terminated stack walking early: %s", vuframe_strerror(err));
  vuframe_cursor_free(&cursor);
  return rv;
}

size_t writeImage(vucrash_async_file_t *file, const vucrash_async_image_t *image) {
  size_t rv = packUint64(file, fields::BINARY_IMAGE_SIZE, image->elf.text_size);
  rv += packUint64(file, fields::BINARY_IMAGE_BASE_ADDRESS, image->elf.header_addr);
  rv += packString(file, fields::BINARY_IMAGE_NAME, image->elf.name);
  if (image->elf.has_uuid) {
    VUProtobufCBinaryData uuid = {sizeof(image->elf.uuid), image->elf.uuid};
    rv += vucrash_writer_pack(file, fields::BINARY_IMAGE_UUID, VUPROTOBUF_C_TYPE_BYTES, &uuid);
  }
  rv += writeMessage(file, fields::BINARY_IMAGE_CODE_TYPE, [&](vucrash_async_file_t *f) {
    return writeProcessor(f, vucrash_async_elf_cpu_type(&image->elf),
                          vucrash_async_elf_cpu_subtype(&image->elf));
  });
  return rv;
}

size_t writeException(vucrash_async_file_t *file, const vucrash_log_writer_t *writer,
                      vucrash_async_image_list_t *images) {
  const auto &exception = writer->uncaught_exception;
  size_t rv = packString(file, fields::EXCEPTION_NAME, exception.name);
  rv += packString(file, fields::EXCEPTION_REASON, exception.reason);
  const size_t count = exception.callstack_count < VUCRASH_REPORT_MAX_FRAMES
                           ? exception.callstack_count
                           : VUCRASH_REPORT_MAX_FRAMES;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t pc = exception.callstack[i];
    rv += writeMessage(file, fields::EXCEPTION_FRAMES, [&](vucrash_async_file_t *f) {
      return writeFrame(f, writer, pc, images);
    });
  }
  return rv;
}

// "#" and the number, for signals and codes the tables do not name.
void numberName(char *out, int value) {
  char digits[16];
  int n = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int i = 0;
  out[i++] = '#';
  if (value < 0)
    out[i++] = '-';
  while (n > 0)
    out[i++] = digits[--n];
  out[i] = 0;
}

size_t writeSignal(vucrash_async_file_t *file, const vucrash_log_writer_signal_info_t *siginfo) {
  const int signo = siginfo->bsd_info.signo;
  const int code = siginfo->bsd_info.code;
  char unknownName[16], unknownCode[16];
  const char *name = vucrash_async_signal_signame(signo);
  if (name == nullptr) {
    if (file != nullptr)
      VUCR_LOG("Warning -- unhandled signal number (signo=%d). This is a bug.", signo);
    numberName(unknownName, signo);
    name = unknownName;
  }
  const char *codeName = vucrash_async_signal_sigcode(signo, code);
  if (codeName == nullptr) {
    if (file != nullptr)
      VUCR_LOG("Warning -- unhandled signal sicode (signo=%d, code=%d). This is a bug.", signo,
               code);
    numberName(unknownCode, code);
    codeName = unknownCode;
  }
  size_t rv = packString(file, fields::SIGNAL_NAME, name);
  rv += packString(file, fields::SIGNAL_CODE, codeName);
  rv += packUint64(file, fields::SIGNAL_ADDRESS, siginfo->bsd_info.address);
  if (siginfo->mach_info != nullptr) {
    rv += writeMessage(file, fields::SIGNAL_MACH_EXCEPTION, [&](vucrash_async_file_t *f) {
      size_t n = packUint64(f, fields::MACH_EXCEPTION_TYPE, siginfo->mach_info->type);
      for (size_t i = 0; i < siginfo->mach_info->code_count; ++i)
        n += packUint64(f, fields::MACH_EXCEPTION_CODES, siginfo->mach_info->codes[i]);
      return n;
    });
  }
  return rv;
}

uint64_t subtractOrZero(uint64_t a, uint64_t b) {
  return a > b ? a - b : 0;
}

}  // namespace

vucrash_error_t vucrash_log_writer_write(vucrash_log_writer_t *writer,
                                         vucrash_thread_t crashed_thread,
                                         vucrash_async_image_list_t *image_list,
                                         vucrash_async_file_t *file,
                                         const vucrash_log_writer_signal_info_t *siginfo,
                                         const vucrash_async_thread_state_t *crashed_state) {
  const vucrash_thread_t self = vu_mach_thread_self();
  if (self == crashed_thread && crashed_state == nullptr) {
    VUCR_LOG("Assertion failed: vu_mach_thread_self() != crashed_thread || current_state != "
             "((void*)0)");
    return VUCRASH_ERR_INVAL;
  }

  vucrash_thread_t threads[VUCRASH_MAX_THREADS];
  size_t threadCount = 0;
  if (!vucrash_async_thread_list(threads, VUCRASH_MAX_THREADS, &threadCount)) {
    VUCR_LOG("Fetching thread list failed");
    threadCount = 0;
  }
  // The crashed thread is always written, listed or not: a report without it is no report.
  bool crashedListed = false;
  for (size_t i = 0; i < threadCount && !crashedListed; ++i)
    crashedListed = threads[i] == crashed_thread;
  if (!crashedListed) {
    if (threadCount == VUCRASH_MAX_THREADS)
      threadCount--;
    threads[threadCount++] = crashed_thread;
  }
  vucrash_async_threads_park(threads, threadCount, self,
                             crashed_state != nullptr ? crashed_thread : 0);

  // Libraries a plain dlopen mapped since the last refresh join the list in reserved records.
  vucrash_async_image_list_sync_loader(image_list);
  if (writer->symbol_memo != nullptr)
    vucrash_frame_symbol_memo_reset(writer->symbol_memo);

  vucrash_async_file_write(file, VUCRASH_REPORT_FILE_MAGIC, VUCRASH_REPORT_FILE_MAGIC_LENGTH);
  vucrash_async_file_write(file, &VUCRASH_REPORT_FILE_VERSION, 1);

  writeMessage(file, fields::REPORT_INFO,
               [&](vucrash_async_file_t *f) { return writeReportInfo(f, writer); });

  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) {
    VUCR_LOG("Failed to fetch timestamp: errno %d", errno);
    now = 0;
  }
  const int64_t timestamp = static_cast<int64_t>(now);
  writeMessage(file, fields::SYSTEM_INFO,
               [&](vucrash_async_file_t *f) { return writeSystemInfo(f, writer, timestamp); });
  writeMessage(file, fields::MACHINE_INFO,
               [&](vucrash_async_file_t *f) { return writeMachineInfo(f, writer); });
  writeMessage(file, fields::APPLICATION_INFO,
               [&](vucrash_async_file_t *f) { return writeApplicationInfo(f, writer); });
  writeMessage(file, fields::PROCESS_INFO,
               [&](vucrash_async_file_t *f) { return writeProcessInfo(f, writer); });

  // What must still fit after the threads: the images, the exception, the signal.
  vucrash_async_image_list_set_reading(image_list, true);
  uint64_t imagesSize = 0;
  for (vucrash_async_image_t *image = vucrash_async_image_list_next(image_list, nullptr);
       image != nullptr; image = vucrash_async_image_list_next(image_list, image)) {
    imagesSize += writeMessage(nullptr, fields::BINARY_IMAGES,
                               [&](vucrash_async_file_t *f) { return writeImage(f, image); });
  }
  const bool hasException = writer->uncaught_exception.has_exception;
  const uint64_t exceptionSize =
      hasException ? writeMessage(nullptr, fields::EXCEPTION,
                                  [&](vucrash_async_file_t *f) {
                                    return writeException(f, writer, image_list);
                                  })
                   : 0;
  const uint64_t signalSize = writeMessage(
      nullptr, fields::SIGNAL, [&](vucrash_async_file_t *f) { return writeSignal(f, siginfo); });
  const uint64_t tailReserve = imagesSize + exceptionSize + signalSize;

  auto stateOf = [&](vucrash_thread_t tid) -> const vucrash_async_thread_state_t * {
    if (tid == crashed_thread && crashed_state != nullptr)
      return crashed_state;
    return vucrash_async_thread_parked_state(tid);
  };
  // The crashed thread's registers and first frames are never given up for other threads.
  const uint64_t crashedReserve =
      kMessageOverhead + writeThread(nullptr, writer, image_list, 0, true,
                                     stateOf(crashed_thread), 1, UINT64_MAX);

  uint32_t number = 0;
  bool crashedWritten = false;
  for (size_t i = 0; i < threadCount; ++i) {
    const vucrash_thread_t tid = threads[i];
    const bool crashed = tid == crashed_thread;
    if (tid == self && !crashed)
      continue;
    const vucrash_async_thread_state_t *state = stateOf(tid);
    uint64_t room = subtractOrZero(vucrash_async_file_room(file), tailReserve);
    if (!crashed && !crashedWritten)
      room = subtractOrZero(room, crashedReserve);
    const uint64_t maxBody = subtractOrZero(room, kMessageOverhead);
    auto body = [&](vucrash_async_file_t *f) {
      return writeThread(f, writer, image_list, number, crashed, state,
                         VUCRASH_REPORT_MAX_FRAMES, maxBody);
    };
    // The number, the flag and (for the crashed thread) the registers cannot be left out
    // of a thread; a thread for which even they do not fit is left out whole.
    const uint32_t size = static_cast<uint32_t>(body(nullptr));
    if (writeSizedMessage(nullptr, fields::THREADS, size, body) > room)
      continue;
    writeSizedMessage(file, fields::THREADS, size, body);
    ++number;
    crashedWritten |= crashed;
  }

  for (vucrash_async_image_t *image = vucrash_async_image_list_next(image_list, nullptr);
       image != nullptr; image = vucrash_async_image_list_next(image_list, image)) {
    auto body = [&](vucrash_async_file_t *f) { return writeImage(f, image); };
    const uint32_t size = static_cast<uint32_t>(body(nullptr));
    if (writeSizedMessage(nullptr, fields::BINARY_IMAGES, size, body) >
        subtractOrZero(vucrash_async_file_room(file), exceptionSize + signalSize))
      continue;
    writeSizedMessage(file, fields::BINARY_IMAGES, size, body);
  }

  if (hasException) {
    writeMessage(file, fields::EXCEPTION, [&](vucrash_async_file_t *f) {
      return writeException(f, writer, image_list);
    });
  }
  vucrash_async_image_list_set_reading(image_list, false);

  writeMessage(file, fields::SIGNAL,
               [&](vucrash_async_file_t *f) { return writeSignal(f, siginfo); });

  if (writer->symbol_memo != nullptr)
    vucrash_frame_symbol_memo_finish(writer->symbol_memo);
  vucrash_async_threads_release();
  return VUCRASH_ERR_NONE;
}
