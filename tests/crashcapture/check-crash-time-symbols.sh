#!/usr/bin/env bash
# Crash-time objects of the crash engine may call only these C library functions: nothing
# that allocates, locks or formats through stdio. Calls into the engine's own objects are
# not checked here; those objects are listed too when they run at crash time.
set -euo pipefail
export LC_ALL=C
archive=$1
crash_time_objects=(
  VUCrashAsync VUCrashAsyncLog VUCrashAsyncFile VUCrashLogWriterEncoding
  VUCrashAsyncThreadState VUCrashAsyncThreadState_x86_64 VUCrashFrameCursor
  VUCrashFrameWalkerFramePointer VUCrashAsyncSignalInfo VUCrashThreadParking
  VUCrashLogWriter VUCrashSignalHandlerDispatch VUCrashMachExceptionMapping
  VUCrashReporterCallbacks
  VUCrashMemoryObject VUCrashMachOString VUCrashObjC VUCrashSymbols VUCrashElfTables
  VUCrashFrameSymbol
  VUCrashDwarfEncoding VUCrashDwarfExpression VUCrashDwarfCFAState VUCrashDwarfFrameReader
  VUCrashFrameWalkerDwarf VUCrashAsyncPageCache VUCrashFrameWalkCache VUCrashCompactUnwind
  VUCrashFrameWalkerCompactUnwind VUCrashAsyncThreadStateParked
)
allowed=(
  _GLOBAL_OFFSET_TABLE_ __errno_location __stack_chk_fail
  abort raise write read close open lseek rename time clock_gettime syscall
  process_vm_readv sigaction sigemptyset mmap munmap memcpy memset
  __libc_current_sigrtmin __libc_current_sigrtmax
)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
nm --defined-only "$archive" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u >"$work/defined"
printf '%s\n' "${allowed[@]}" | sort -u >"$work/allowed"
sort -u "$work/defined" "$work/allowed" >"$work/permitted"
status=0
for object in "${crash_time_objects[@]}"; do
  member=$(ar t "$archive" | grep -x "$object.cpp.o" || true)
  if [ -z "$member" ]; then
    echo "missing crash-time object $object"; status=1; continue
  fi
  (cd "$work" && ar x "$archive" "$member")
  for symbol in $(nm -u "$work/$member" | awk '{ print $2 }' | sort -u | comm -23 - "$work/permitted"); do
    echo "$object calls $symbol at crash time"; status=1
  done
done
[ $status -eq 0 ] && echo "crash-time objects call only allowed functions"
exit $status
