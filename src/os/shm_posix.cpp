// Host-wide budgets on Linux: POSIX shared memory, a robust process-shared
// mutex, a futex and the process start time from /proc.
#include "os/shm.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "os/os.hpp"

namespace ratevane::os {
namespace {

std::string object_name(const std::string& name) { return "/" + name; }

bool fail(RegionError& error, int number, std::string what) {
  error.error_number = number;
  error.what = std::move(what);
  return false;
}

// An existing object must be this user's and nobody else's: a mapping that
// another user could write to, or made by another user, could hand out
// permits this budget does not have.
bool check_owner(const struct stat& st, RegionError& error) {
  if (st.st_uid != geteuid()) return fail(error, 0, "it belongs to another user");
  if ((st.st_mode & 077) != 0) return fail(error, 0, "other users may open it");
  if (!S_ISREG(st.st_mode)) return fail(error, 0, "it is not a plain shared-memory object");
  return true;
}

bool map_fd(int fd, std::size_t size, SharedRegion& out, RegionError& error) {
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(error, errno, "mmap");
  out.base = base;
  out.size = size;
  return true;
}

}  // namespace

std::string shared_region_path(const std::string& name) { return "/dev/shm/" + name; }

bool open_shared_region(const std::string& name, std::size_t size, SharedRegion& out,
                        RegionError& error) {
  const std::string path = object_name(name);
  for (int attempt = 0;; ++attempt) {
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      // The mode given to shm_open passes through the umask; owner-only
      // needs nothing the umask can take away, but say it outright.
      bool ok = fchmod(fd, 0600) == 0 || fail(error, errno, "fchmod");
      ok = ok && (ftruncate(fd, static_cast<off_t>(size)) == 0 || fail(error, errno, "ftruncate"));
      ok = ok && map_fd(fd, size, out, error);
      close(fd);
      if (!ok) {
        shm_unlink(path.c_str());
        return false;
      }
      out.created = true;
      return true;
    }
    if (errno != EEXIST) return fail(error, errno, "shm_open");
    fd = shm_open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
      if (errno == ENOENT && attempt < 10) continue;  // removed in between: make it anew
      return fail(error, errno, "shm_open");
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 || fail(error, errno, "fstat");
    ok = ok && check_owner(st, error);
    // Its maker sets the size right after creating it; an object that stays
    // empty for 100 ms has lost its maker.
    for (int wait = 0; ok && st.st_size == 0 && wait < 100; ++wait) {
      sleep_ns(1'000'000);
      ok = fstat(fd, &st) == 0 || fail(error, errno, "fstat");
    }
    ok = ok && (st.st_size > 0 || fail(error, 0, "it is empty"));
    ok = ok && map_fd(fd, static_cast<std::size_t>(st.st_size), out, error);
    close(fd);
    out.created = false;
    return ok;
  }
}

void close_shared_region(SharedRegion& region) noexcept {
  if (region.base != nullptr) munmap(region.base, region.size);
  region.base = nullptr;
  region.size = 0;
}

int remove_shared_region(const std::string& name) noexcept {
  if (shm_unlink(object_name(name).c_str()) == 0) return 1;
  return errno == ENOENT ? 0 : -1;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(SharedLockCell));

bool init_shared_lock(const SharedRegion&, SharedLockCell& cell) noexcept {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutex_init(new (cell.bytes) pthread_mutex_t, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

SharedLockTaken take_shared_lock(const SharedRegion&, SharedLockCell& cell) noexcept {
  auto* mutex = reinterpret_cast<pthread_mutex_t*>(cell.bytes);
  const int rc = pthread_mutex_lock(mutex);
  if (rc == 0) return SharedLockTaken::taken;
  if (rc == EOWNERDEAD) {
    // Marked consistent at once: the steps under this lock order their
    // writes so that whatever a dead owner left is safe to go on from.
    pthread_mutex_consistent(mutex);
    return SharedLockTaken::owner_died;
  }
  return SharedLockTaken::failed;
}

void let_go_shared_lock(const SharedRegion&, SharedLockCell& cell) noexcept {
  pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(cell.bytes));
}

// FUTEX_WAIT without FUTEX_PRIVATE_FLAG: the kernel keys the wait on the
// shared page, so a wake from another process that maps it reaches it.
bool wait_on_shared_word(std::atomic<uint32_t>& word, uint32_t expected,
                         int64_t timeout_ns) noexcept {
  if (timeout_ns <= 0) return word.load(std::memory_order_acquire) != expected;
  timespec rel{static_cast<time_t>(timeout_ns / 1'000'000'000),
               static_cast<long>(timeout_ns % 1'000'000'000)};
  const long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected,
                          &rel, nullptr, 0);
  if (rc == 0) return true;
  return errno == EAGAIN;  // the word had changed already
}

void wake_shared_word(std::atomic<uint32_t>& word) noexcept {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

namespace {

// Field 22 of /proc/<pid>/stat: the start time in clock ticks after boot.
// The command name (field 2) may hold spaces and parentheses, so the
// fields are counted from the last ')'. 0 when the process is not there.
uint64_t read_start_time(uint64_t pid, bool& readable) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%llu/stat", static_cast<unsigned long long>(pid));
  FILE* f = std::fopen(path, "re");
  // No such entry: the process is gone, which is an answer too.
  readable = f != nullptr || errno == ENOENT || errno == ESRCH;
  if (f == nullptr) return 0;
  char buf[1024];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  const char* p = std::strrchr(buf, ')');
  if (p == nullptr) {
    readable = false;
    return 0;
  }
  // After ")": field 3 (state) is the first; field 22 is the twentieth.
  unsigned long long value = 0;
  int field = 2;
  for (const char* q = p + 1; *q != '\0'; ++q) {
    if (*q == ' ') {
      ++field;
      if (field == 22) {
        value = std::strtoull(q + 1, nullptr, 10);
        return value;
      }
    }
  }
  readable = false;
  return 0;
}

ProcessIdentity self_identity;
std::once_flag self_once;

ProcessIdentity read_self() {
  bool readable;
  const uint64_t pid = static_cast<uint64_t>(getpid());
  return ProcessIdentity{pid, read_start_time(pid, readable)};
}

// A forked child is another process: it reads its own identity before any
// of its threads (it has only the forking one) can ask for it.
void read_self_in_child() { self_identity = read_self(); }

}  // namespace

const ProcessIdentity& current_process() {
  std::call_once(self_once, [] {
    self_identity = read_self();
    pthread_atfork(nullptr, nullptr, read_self_in_child);
  });
  return self_identity;
}

bool process_alive(const ProcessIdentity& who) {
  bool readable;
  const uint64_t start = read_start_time(who.pid, readable);
  if (!readable) return true;
  return start != 0 && start == who.start_time;
}

#ifdef RATEVANE_FAULT_INJECTION
void announce_and_hang(int fd) noexcept {
  const char byte = 'p';
  [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
  for (;;) pause();
}
#endif

}  // namespace ratevane::os
