#!/usr/bin/env bash
# Fuzzes the crash report reader with libFuzzer for a while (default 60 s), starting from a
# few valid reports. Needs clang and a configured debug build (for the generated bindings).
#   scripts/fuzz-crash-report.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/debug
out="$build/fuzz"
mkdir -p "$out/corpus"
cmake --build --preset debug --target crashcapture_report_proto crashreport_tests >/dev/null
proto="$build/src/telemetry/crashcapture/proto"
sanitize="-fsanitize=fuzzer,address,undefined"
clang -g -O1 $sanitize -fPIC -I "$proto" $(pkg-config --cflags libprotobuf-c) \
  -c "$proto/crash_report.pb-c.c" -o "$out/crash_report.pb-c.o"
clang++ -std=c++20 -g -O1 $sanitize -fPIC \
  -I src/telemetry/crashcapture/reader -I "$proto" $(pkg-config --cflags Qt6Core libprotobuf-c) \
  tests/fuzz/CrashReportFuzzer.cpp src/telemetry/crashcapture/reader/VUCrashReport.cpp \
  "$out/crash_report.pb-c.o" $(pkg-config --libs Qt6Core libprotobuf-c) -o "$out/crash_report_fuzzer"
# Seed: a smallest whole report (system, application, one thread, one image, signal).
python3 - "$out/corpus/minimal" <<'PY'
import sys
def f(n, b): return bytes([n << 3 | 2, len(b)]) + b
def s(n, t): return f(n, t.encode())
report = (f(1, s(2, "12.4")) + f(2, s(1, "org.quillon.Quillon") + s(2, "1")) + f(3, bytes([8, 0, 24, 1]))
          + f(4, bytes([8, 0x80, 0x20, 16, 0x80, 0x20]) + s(3, "/usr/bin/Quillon")) + f(6, s(1, "SIGSEGV") + s(2, "SEGV_MAPERR")))
open(sys.argv[1], "wb").write(b"vucrash\x01" + report)
PY
"$out/crash_report_fuzzer" -max_total_time="$seconds" -max_len=65536 "$out/corpus"
