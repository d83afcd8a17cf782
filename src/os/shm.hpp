// What the host-wide budgets need of the operating system: a named shared
// mapping, a lock that lives inside it and survives the death of its owner,
// a word in it that one process can wait on and another wake, and an
// identity for processes that a reused process id does not fake.
//
// On Linux: POSIX shared memory, a process-shared robust mutex, a futex
// without the private flag, and the start time from /proc. On Windows: a
// named file mapping, a named mutex beside it (kept open per process with
// the mapping), a polled wait, and the creation time of the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ratevane::os {

// A mapping of a named shared-memory object.
struct SharedRegion {
  void* base = nullptr;
  std::size_t size = 0;  // bytes mapped: the object's size when opened
  bool created = false;  // made by this call (zero-filled, `size` bytes)
  // Windows: this process's handles of the mapping and of the region's
  // mutex. A name lives only as long as some process has a handle open.
  void* mapping = nullptr;
  void* lock = nullptr;
};

// Why opening failed: the system's error number (0 when the check that
// failed is ours) and what was being done.
struct RegionError {
  int error_number = 0;
  std::string what;
};

// Opens the object `name` (a plain name, no separator) or creates it with
// `size` bytes, owner-only permissions, without following a link. An
// existing object must belong to this user and be closed to everyone else;
// it is mapped at the size it has. An object that another process has just
// created may still be empty: the call waits a little for its size.
bool open_shared_region(const std::string& name, std::size_t size, SharedRegion& out,
                        RegionError& error);
void close_shared_region(SharedRegion& region) noexcept;
// Removes the name; processes that have it mapped keep their mapping.
// 1 removed, 0 there was none, -1 with errno set otherwise. On Windows a
// named mapping goes when its last user closes it and cannot be removed
// before: 0 when none is open, -1 with EBUSY while one is.
int remove_shared_region(const std::string& name) noexcept;
// The object's path for messages ("/dev/shm/ratevane.x" on Linux, the
// mapping's name "Local\\ratevane.x" on Windows).
std::string shared_region_path(const std::string& name);

// Room for the lock inside a mapping (Linux keeps the lock there; Windows
// keeps it in the region's named mutex and leaves the cell unused).
struct alignas(64) SharedLockCell {
  unsigned char bytes[64];
};

// Makes a fresh lock in a cell of a mapping nobody else uses yet.
bool init_shared_lock(const SharedRegion& region, SharedLockCell& cell) noexcept;
enum class SharedLockTaken : unsigned char { taken, owner_died, failed };
// Takes the lock. owner_died: the lock is held now, but its last owner died
// holding it; the caller's data may show a step cut short.
SharedLockTaken take_shared_lock(const SharedRegion& region, SharedLockCell& cell) noexcept;
void let_go_shared_lock(const SharedRegion& region, SharedLockCell& cell) noexcept;

// Waits while `word` holds `expected`, at most `timeout_ns`, for a wake
// from any process mapping it. True when the word had changed or a wake
// came; false on time-out (spurious returns are possible either way).
bool wait_on_shared_word(std::atomic<uint32_t>& word, uint32_t expected,
                         int64_t timeout_ns) noexcept;
void wake_shared_word(std::atomic<uint32_t>& word) noexcept;

// A process as the budgets know it: its id and its start time (in the
// system's own units), which together name one process for the life of the
// machine.
struct ProcessIdentity {
  uint64_t pid = 0;
  uint64_t start_time = 0;
  friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};
// This process, read once per process (a forked child reads its own).
const ProcessIdentity& current_process();
// False only when the process is known to be gone: no such id, or an id
// now used by a process that started at another time. A process that cannot
// be looked at counts as alive.
bool process_alive(const ProcessIdentity& who);

#ifdef RATEVANE_FAULT_INJECTION
// Test builds: writes one byte to `fd`, then never returns (the test kills
// the process). Used to stop a process inside a locked step.
[[noreturn]] void announce_and_hang(int fd) noexcept;
#endif

}  // namespace ratevane::os
