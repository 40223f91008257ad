// vucrash_nasync_* run at enable time; everything else is crash-time code: no heap, no locks,
// no stdio; async-signal-safe system calls only.
#include "VUCrashThreadParking.h"

#include "VUCrashAsyncLog.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

int vucrash_thread_parking_wait_ms = 1000;

namespace {

enum SlotState : uint32_t { SLOT_EMPTY = 0, SLOT_REQUESTED = 1, SLOT_PARKED = 2 };

struct Slot {
  vucrash_thread_t tid;
  uint32_t state;
  uint32_t round;
  vucrash_async_thread_state_t registers;
};

struct Table {
  // The round being parked; the release word equals it once the writer lets threads go.
  uint32_t round;
  uint32_t released;
  uint32_t count;
  Slot slots[VUCRASH_MAX_THREADS];
};

Table *gTable = nullptr;
int gTaskFd = -1;
// The process the task folder was opened for: a forked child must list its own threads.
pid_t gTaskPid = 0;
int gSignal = 0;
// A parked thread gives up waiting after this long, whatever the writer does.
constexpr int kParkedBoundMs = 10000;

long futexWait(uint32_t *word, uint32_t expected, int ms) {
  struct timespec timeout = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  return syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void futexWakeAll(uint32_t *word) {
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

int64_t nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void parkHandler(int, siginfo_t *, void *uap) {
  const int savedErrno = errno;
  Table *table = gTable;
  const vucrash_thread_t self = vu_mach_thread_self();
  const uint32_t round = __atomic_load_n(&table->round, __ATOMIC_ACQUIRE);
  const uint32_t count = __atomic_load_n(&table->count, __ATOMIC_ACQUIRE);
  for (uint32_t i = 0; i < count && i < VUCRASH_MAX_THREADS; ++i) {
    Slot &slot = table->slots[i];
    if (slot.tid != self || slot.round != round ||
        __atomic_load_n(&slot.state, __ATOMIC_ACQUIRE) != SLOT_REQUESTED)
      continue;
    const ucontext_t *context = static_cast<const ucontext_t *>(uap);
    vucrash_async_thread_state_mcontext_init(&slot.registers, &context->uc_mcontext);
    __atomic_store_n(&slot.state, SLOT_PARKED, __ATOMIC_RELEASE);
    futexWakeAll(&slot.state);
    const int64_t giveUp = nowMs() + kParkedBoundMs;
    for (;;) {
      const uint32_t released = __atomic_load_n(&table->released, __ATOMIC_ACQUIRE);
      if (released == round)
        break;
      const int64_t left = giveUp - nowMs();
      if (left <= 0)
        break;
      futexWait(&table->released, released, static_cast<int>(left > 100 ? 100 : left));
    }
    break;
  }
  errno = savedErrno;
}

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

}  // namespace

vucrash_error_t vucrash_nasync_thread_parking_init(void) {
  if (gTable != nullptr) {
    if (gTaskPid != vu_task_self()) {
      int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0)
        return VUCRASH_ERR_OUTPUT;
      close(gTaskFd);
      gTaskFd = fd;
      gTaskPid = vu_task_self();
    }
    return VUCRASH_ERR_NONE;
  }
  int signo = 0;
  for (int s = SIGRTMIN; s <= SIGRTMAX && signo == 0; ++s) {
    struct sigaction current;
    if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
        (current.sa_flags & SA_SIGINFO) == 0)
      signo = s;
  }
  if (signo == 0)
    return VUCRASH_ERR_NOTSUP;

  int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return VUCRASH_ERR_OUTPUT;
  void *mapping = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    close(fd);
    return VUCRASH_ERR_NOMEM;
  }
  gTable = static_cast<Table *>(mapping);

  struct sigaction action = {};
  action.sa_sigaction = parkHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(signo, &action, nullptr) != 0) {
    munmap(mapping, sizeof(Table));
    gTable = nullptr;
    close(fd);
    return VUCRASH_ERR_INTERNAL;
  }
  gTaskFd = fd;
  gTaskPid = vu_task_self();
  gSignal = signo;
  return VUCRASH_ERR_NONE;
}

int vucrash_thread_parking_signal(void) {
  return gSignal;
}

bool vucrash_async_thread_list(vucrash_thread_t *tids, size_t capacity, size_t *count) {
  *count = 0;
  if (gTaskFd < 0)
    return false;
  if (gTaskPid != vu_task_self()) {
    // Forked since the folder was opened: that one lists the parent's threads.
    int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
      return false;
    close(gTaskFd);
    gTaskFd = fd;
    gTaskPid = vu_task_self();
  }
  if (lseek(gTaskFd, 0, SEEK_SET) != 0)
    return false;
  alignas(8) char buffer[2048];
  for (;;) {
    long n = syscall(SYS_getdents64, gTaskFd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    for (long offset = 0; offset < n;) {
      const linux_dirent64 *entry = reinterpret_cast<const linux_dirent64 *>(buffer + offset);
      offset += entry->d_reclen;
      const char *name = entry->d_name;
      if (name[0] < '0' || name[0] > '9')
        continue;
      vucrash_thread_t tid = 0;
      for (const char *p = name; *p >= '0' && *p <= '9'; ++p)
        tid = tid * 10 + (*p - '0');
      if (*count < capacity)
        tids[(*count)++] = tid;
    }
  }
}

void vucrash_async_threads_park(const vucrash_thread_t *tids, size_t count,
                                vucrash_thread_t skip1, vucrash_thread_t skip2) {
  Table *table = gTable;
  if (table == nullptr)
    return;
  const uint32_t round = __atomic_load_n(&table->round, __ATOMIC_ACQUIRE) + 1;
  uint32_t used = 0;
  for (size_t i = 0; i < count && used < VUCRASH_MAX_THREADS; ++i) {
    if (tids[i] == skip1 || tids[i] == skip2)
      continue;
    Slot &slot = table->slots[used++];
    slot.tid = tids[i];
    slot.round = round;
    __atomic_store_n(&slot.state, SLOT_REQUESTED, __ATOMIC_RELEASE);
  }
  __atomic_store_n(&table->count, used, __ATOMIC_RELEASE);
  __atomic_store_n(&table->round, round, __ATOMIC_RELEASE);

  const pid_t pid = static_cast<pid_t>(vu_task_self());
  for (uint32_t i = 0; i < used; ++i) {
    // A thread that has just ended cannot answer: no need to wait for it.
    if (syscall(SYS_tgkill, pid, table->slots[i].tid, gSignal) != 0)
      __atomic_store_n(&table->slots[i].state, SLOT_EMPTY, __ATOMIC_RELEASE);
  }

  const int64_t deadline = nowMs() + vucrash_thread_parking_wait_ms;
  for (uint32_t i = 0; i < used; ++i) {
    Slot &slot = table->slots[i];
    for (;;) {
      if (__atomic_load_n(&slot.state, __ATOMIC_ACQUIRE) != SLOT_REQUESTED)
        break;
      const int64_t left = deadline - nowMs();
      if (left <= 0)
        break;
      futexWait(&slot.state, SLOT_REQUESTED, static_cast<int>(left));
    }
  }
}

const vucrash_async_thread_state_t *vucrash_async_thread_parked_state(vucrash_thread_t tid) {
  Table *table = gTable;
  if (table == nullptr)
    return nullptr;
  const uint32_t round = __atomic_load_n(&table->round, __ATOMIC_ACQUIRE);
  const uint32_t count = __atomic_load_n(&table->count, __ATOMIC_ACQUIRE);
  for (uint32_t i = 0; i < count; ++i) {
    const Slot &slot = table->slots[i];
    if (slot.tid == tid && slot.round == round &&
        __atomic_load_n(&slot.state, __ATOMIC_ACQUIRE) == SLOT_PARKED)
      return &slot.registers;
  }
  return nullptr;
}

void vucrash_async_threads_release(void) {
  Table *table = gTable;
  if (table == nullptr)
    return;
  const uint32_t round = __atomic_load_n(&table->round, __ATOMIC_ACQUIRE);
  // Slots that never answered must not be taken by a late signal of this round.
  const uint32_t count = __atomic_load_n(&table->count, __ATOMIC_ACQUIRE);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t expected = SLOT_REQUESTED;
    __atomic_compare_exchange_n(&table->slots[i].state, &expected, SLOT_EMPTY, false,
                                __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  }
  __atomic_store_n(&table->released, round, __ATOMIC_RELEASE);
  futexWakeAll(&table->released);
}
