#!/usr/bin/env bash
# Crash-time objects of the crash engine may call only these C library functions: nothing
# that allocates, locks or formats through stdio. Calls into the engine's own objects are
# not checked here; those objects are listed too when they run at crash time.
set -euo pipefail
archive=$1
crash_time_objects=(
  VUCrashAsync VUCrashAsyncLog VUCrashAsyncFile VUCrashLogWriterEncoding
  VUCrashAsyncThreadState VUCrashAsyncThreadState_x86_64 VUCrashFrameCursor
  VUCrashFrameWalkerFramePointer VUCrashAsyncSignalInfo VUCrashThreadParking
  VUCrashLogWriter VUCrashSignalHandlerDispatch VUCrashMachExceptionMapping
  VUCrashReporterCallbacks
)
allowed=(
  _GLOBAL_OFFSET_TABLE_ __errno_location __stack_chk_fail
  abort raise write read close open lseek rename time clock_gettime syscall
  process_vm_readv sigaction sigemptyset mmap munmap
  __libc_current_sigrtmin __libc_current_sigrtmax
)
defined=$(nm --defined-only "$archive" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u)
status=0
for object in "${crash_time_objects[@]}"; do
  member=$(ar t "$archive" | grep -x "$object.cpp.o" || true)
  if [ -z "$member" ]; then
    echo "missing crash-time object $object"; status=1; continue
  fi
  tmp=$(mktemp -d)
  (cd "$tmp" && ar x "$archive" "$member")
  for symbol in $(nm -u "$tmp/$member" | awk '{ print $2 }'); do
    grep -qxF "$symbol" <<<"$defined" && continue
    printf '%s\n' "${allowed[@]}" | grep -qxF "$symbol" && continue
    echo "$object calls $symbol at crash time"; status=1
  done
  rm -rf "$tmp"
done
[ $status -eq 0 ] && echo "crash-time objects call only allowed functions"
exit $status
