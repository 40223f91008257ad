#pragma once
// How the crash reporter captures crashes. Immutable once made.

#include <stdint.h>

class VUCrashReporterConfig {
 public:
  // 0: signal handlers for every crash signal; 1: the exception server, with a signal handler
  // of its own for SIGABRT; any other value installs neither.
  enum : uint64_t { VUCrashReporterSignalHandlerTypeBSD = 0, VUCrashReporterSignalHandlerTypeMach = 1 };
  // Bits of the symbolication strategy: 1 the image's symbol table, 2 class metadata.
  enum : uint64_t { VUCrashReporterSymbolicationStrategySymbolTable = 1,
                    VUCrashReporterSymbolicationStrategyObjC = 2 };

  constexpr VUCrashReporterConfig() = default;
  constexpr VUCrashReporterConfig(uint64_t signalHandlerType, uint64_t symbolicationStrategy,
                                  bool shouldRegisterUncaughtExceptionHandler = true)
      : _signalHandlerType(signalHandlerType),
        _symbolicationStrategy(symbolicationStrategy),
        _shouldRegisterUncaughtExceptionHandler(shouldRegisterUncaughtExceptionHandler) {}
  static constexpr VUCrashReporterConfig defaultConfiguration() { return VUCrashReporterConfig(); }

  constexpr uint64_t signalHandlerType() const { return _signalHandlerType; }
  constexpr uint64_t symbolicationStrategy() const { return _symbolicationStrategy; }
  constexpr bool shouldRegisterUncaughtExceptionHandler() const {
    return _shouldRegisterUncaughtExceptionHandler;
  }

 private:
  uint64_t _signalHandlerType = 0;
  uint64_t _symbolicationStrategy = 0;
  bool _shouldRegisterUncaughtExceptionHandler = true;
};
