// The exception server in this process: the mapping between faults and exceptions, the
// choice of a forwarding target, requests it must refuse, and its stop.
#include "VUCrashMachExceptionServer.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

TEST(ExceptionMapping, ExceptionsMapToSignals) {
  struct Case {
    const char *name;
    uint64_t type;
    uint64_t code0;
    uint32_t count;
    bool mapped;
    int signo;
    int code;
  } cases[] = {
      {"bad access, invalid address", VUCRASH_EXC_BAD_ACCESS, 1, 2, true, 11, 1},
      {"bad access, protection", VUCRASH_EXC_BAD_ACCESS, 2, 2, true, 10, 2},
      {"bad instruction", VUCRASH_EXC_BAD_INSTRUCTION, 1, 2, true, 4, 0},
      {"arithmetic", VUCRASH_EXC_ARITHMETIC, 1, 2, true, 8, 0},
      {"emulation", VUCRASH_EXC_EMULATION, 0, 2, true, 7, 0},
      {"software abort", VUCRASH_EXC_SOFTWARE, 0x10002, 2, true, 6, 0},
      {"software unknown", VUCRASH_EXC_SOFTWARE, 0x4242, 2, true, 6, 0},
      {"software pipe", VUCRASH_EXC_SOFTWARE, 0x10001, 2, true, 13, 0},
      {"breakpoint", VUCRASH_EXC_BREAKPOINT, 2, 2, true, 5, 1},
      {"guard", VUCRASH_EXC_GUARD, 0, 2, false, 0, 0},
      {"one code only", VUCRASH_EXC_BAD_ACCESS, 1, 1, false, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t codes[2] = {c.code0, 0xfeed};
    siginfo_t info;
    EXPECT_EQ(vucrash_async_mach_exception_get_siginfo(c.type, codes, c.count, 0, &info),
              c.mapped);
    if (c.mapped) {
      EXPECT_EQ(info.si_signo, c.signo);
      EXPECT_EQ(info.si_code, c.code);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(info.si_addr), 0xfeedu);
    }
  }
}

TEST(ExceptionMapping, MasksStayInsideThirtyTwoBits) {
  EXPECT_EQ(exception_to_mask(VUCRASH_EXC_BAD_ACCESS), 0x2u);
  EXPECT_EQ(exception_to_mask(VUCRASH_EXC_GUARD), 0x1000u);
  EXPECT_EQ(exception_to_mask(11), 1u << 11);
  EXPECT_EQ(exception_to_mask(31), 1u << 31);
  EXPECT_EQ(exception_to_mask(32), 0u);
  EXPECT_EQ(exception_to_mask(UINT64_MAX), 0u);
}

TEST(ExceptionMapping, ForwardingSkipsDeadAndNullPortsAndNeedsACoveringMask) {
  vucrash_mach_exception_port_set set = {};
  set.count = 4;
  set.ports[0] = VUCRASH_MACH_PORT_DEAD;
  set.masks[0] = 0x2;
  set.ports[1] = VUCRASH_MACH_PORT_NULL;
  set.masks[1] = 0x2;
  set.ports[2] = 77;
  set.masks[2] = 0x4;
  set.ports[3] = 78;
  set.masks[3] = 0x6;
  EXPECT_EQ(vucrash_mach_exception_forward_target(&set, VUCRASH_EXC_BAD_ACCESS), 3);
  EXPECT_EQ(vucrash_mach_exception_forward_target(&set, VUCRASH_EXC_BAD_INSTRUCTION), 2);
  EXPECT_EQ(vucrash_mach_exception_forward_target(&set, VUCRASH_EXC_ARITHMETIC), -1);
  // No earlier handler can take an exception on this system.
  const uint64_t codes[2] = {1, 0};
  EXPECT_EQ(VUCrashMachExceptionForward(0, 0, VUCRASH_EXC_BAD_ACCESS, codes, 2, &set),
            VUCRASH_KERN_FAILURE);
  vucrash_mach_exception_port_set empty = {};
  EXPECT_EQ(vucrash_mach_exception_forward_target(&empty, VUCRASH_EXC_BAD_ACCESS), -1);
}

struct Served {
  std::atomic<int> calls{0};
  std::atomic<vucrash_thread_t> lastThread{0};
  uint64_t lastType = 0;
  VUCrashMachExceptionServer *server = nullptr;
  std::atomic<int> nestedDelivered{-1};
};

vucrash_kern_return_t record(vucrash_task_t, vucrash_thread_t thread, uint64_t type,
                             const uint64_t *, uint32_t, const siginfo_t *, ucontext_t *,
                             void *context) {
  auto *served = static_cast<Served *>(context);
  served->lastType = type;
  served->lastThread = thread;
  // The server asking itself must be refused, not wait for itself forever.
  vucrash_kern_return_t answer;
  const uint64_t codes[2] = {1, 0};
  served->nestedDelivered = served->server->deliver(thread, type, codes, 2, nullptr, nullptr,
                                                    &answer)
                                ? 1
                                : 0;
  served->calls++;
  return VUCRASH_KERN_SUCCESS;
}

TEST(ExceptionServer, AnswersWholeRequestsRefusesMalformedOnesAndStops) {
  Served served;
  VUCrashReporterError error = {};
  served.server = VUCrashMachExceptionServer::create(record, &served, &error);
  ASSERT_NE(served.server, nullptr) << error.description;
  EXPECT_NE(served.server->serverThread(), 0);

  // Garbage of the wrong size, and a stop message while no stop was asked for.
  const char junk[40] = "not a request";
  ASSERT_EQ(write(served.server->requestDescriptorForTesting(), junk, sizeof(junk)),
            static_cast<ssize_t>(sizeof(junk)));

  const uint64_t codes[2] = {1, 0x10};
  siginfo_t info = {};
  ucontext_t context = {};
  vucrash_kern_return_t answer = VUCRASH_KERN_FAILURE;
  ASSERT_TRUE(served.server->deliver(gettid(), VUCRASH_EXC_BREAKPOINT, codes, 2, &info, &context,
                                     &answer));
  EXPECT_EQ(answer, VUCRASH_KERN_SUCCESS);
  EXPECT_EQ(served.calls.load(), 1) << "the malformed request reached the callback";
  EXPECT_EQ(served.lastType, VUCRASH_EXC_BREAKPOINT);
  EXPECT_EQ(served.lastThread.load(), gettid());
  EXPECT_EQ(served.nestedDelivered.load(), 0);

  VUCrashMachExceptionServer::destroy(served.server);
}

}  // namespace
