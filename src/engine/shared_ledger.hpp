// The window ledger shared by every process of a host: one budget per name,
// kept in a named shared mapping.
//
// The mapping holds a fixed header (magic, layout version, size) that every
// later layout keeps at the same place, so an incompatible mapping is
// refused instead of misread; a robust process-shared lock; the window
// counters, keyed by window length; and a table of burst holders keyed by
// process id and start time, from which the entries of dead processes are
// cleared when the cap is found full.
//
// Every write under the lock is ordered so that a process killed between
// two of them leaves a count too high, never too low: the windows are
// checked before any is counted, then counted one by one, and a holder's
// entry names its process before it holds anything. A crash may waste a
// permit; it never grants one too many.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/clock.hpp"
#include "engine/error.hpp"
#include "engine/ledger.hpp"
#include "os/shm.hpp"

namespace ratevane {

inline constexpr uint64_t kSharedMagic = 0x6567647542765272;  // "rRvBudge", little-endian
inline constexpr uint32_t kSharedLayoutVersion = 1;
inline constexpr std::size_t kSharedWindowSlots = 8;  // window lengths one budget counts
inline constexpr std::size_t kSharedHolders = 64;     // processes holding burst permits at once
inline constexpr std::size_t kMaxBudgetName = 200;

struct SharedWindow {
  std::atomic<uint64_t> window_seconds;  // 0: a free slot
  std::atomic<uint64_t> window_start;
  std::atomic<uint64_t> count;
};

struct SharedHolder {
  std::atomic<uint64_t> pid;
  std::atomic<uint64_t> start_time;
  std::atomic<uint64_t> held;  // 0: a free entry
};

// The mapping. The first three fields are the header and never move.
struct SharedLayout {
  std::atomic<uint64_t> magic;  // written last by the maker
  std::atomic<uint32_t> version;
  std::atomic<uint32_t> size;
  os::SharedLockCell lock;
  // Bumped by every give-back of a burst permit; burst waiters sleep on it.
  alignas(64) std::atomic<uint32_t> released;
  std::atomic<uint32_t> burst_waiters;
  SharedWindow windows[kSharedWindowSlots];
  SharedHolder holders[kSharedHolders];
};

// Why a budget could not be opened: an error value, and the system's error
// number when a system call failed (then the host sees an OSError).
struct BudgetError {
  Error error;
  int error_number = 0;
  std::string path;
};

// Checks a budget name: 1 to kMaxBudgetName letters, digits, '.', '_' or
// '-', not starting with '.'.
std::optional<Error> check_budget_name(const std::string& name);

// One process's mapping of one budget.
class SharedBudget {
 public:
  static Expected<std::shared_ptr<SharedBudget>, BudgetError> open(const std::string& name);
  ~SharedBudget();
  SharedBudget(const SharedBudget&) = delete;
  SharedBudget& operator=(const SharedBudget&) = delete;

  SharedLayout& layout() const { return *static_cast<SharedLayout*>(region_.base); }
  const os::SharedRegion& region() const { return region_; }
  const std::string& name() const { return name_; }

 private:
  SharedBudget(std::string name, os::SharedRegion region)
      : name_(std::move(name)), region_(region) {}
  std::string name_;
  os::SharedRegion region_;
};

// The shared-memory object of a budget ("ratevane.<name>"); removing it
// leaves current users their mapping, and the next user makes a new one.
std::string budget_object_name(const std::string& name);

// Holds the budget's lock for one step; a lock whose owner died is taken
// over as it stands (the writes are ordered for that).
class BudgetLock {
 public:
  explicit BudgetLock(const SharedBudget& budget);
  ~BudgetLock() { os::let_go_shared_lock(region_, layout_.lock); }
  BudgetLock(const BudgetLock&) = delete;
  BudgetLock& operator=(const BudgetLock&) = delete;
  bool owner_died() const { return owner_died_; }

 private:
  const os::SharedRegion& region_;
  SharedLayout& layout_;
  bool owner_died_ = false;
};

struct SharedTake {
  enum class Kind : unsigned char { granted, window_full, burst_full, failed };
  Kind kind = Kind::failed;
  uint32_t released_seen = 0;  // the wake word before the step, for a burst wait
  std::optional<Error> error;  // with failed
};

// One limiter's view of a budget: its own limits over the budget's shared
// counters (counters are shared by name and window length; each limiter
// compares them with its own limits), and the budget-wide burst count.
class SharedLimiter {
 public:
  // Binds the windows to the budget's slots, claiming free ones for new
  // lengths; fails when the budget has no room for another length.
  static Expected<std::shared_ptr<SharedLimiter>> bind(std::shared_ptr<SharedBudget> budget,
                                                       const WindowSpec* specs, std::size_t n,
                                                       std::optional<uint64_t> max_burst,
                                                       const WallClock& clock = system_wall_clock());

  // One indivisible step: every window has room and, with max_burst, the
  // budget holds fewer burst permits than it (dead holders are cleared
  // when it does not); then everything is counted.
  SharedTake take();
  // Hands back one burst permit this process holds (nothing when it holds
  // none, or without max_burst) and wakes the burst waiters.
  void give_back();
  std::optional<Duration> time_until_next_window();
  Remaining remaining();

  std::optional<uint64_t> max_burst() const { return max_burst_; }
  SharedBudget& budget() const { return *budget_; }
  const std::shared_ptr<SharedBudget>& shared_budget() const { return budget_; }

 private:
  SharedLimiter(std::shared_ptr<SharedBudget> budget, const WindowSpec* specs, std::size_t n,
                std::optional<uint64_t> max_burst, const WallClock& clock);
  std::shared_ptr<SharedBudget> budget_;
  std::array<WindowSpec, kMaxWindows> specs_{};
  std::array<SharedWindow*, kMaxWindows> slots_{};
  std::size_t size_ = 0;
  std::optional<uint64_t> max_burst_;
  const WallClock& clock_;
};

// Marks a burst waiter for the lifetime of the object, so that give-backs
// know to wake.
class BurstWaiterMark {
 public:
  explicit BurstWaiterMark(SharedLayout& layout) : layout_(layout) {
    layout_.burst_waiters.fetch_add(1, std::memory_order_seq_cst);
  }
  ~BurstWaiterMark() { layout_.burst_waiters.fetch_sub(1, std::memory_order_seq_cst); }
  BurstWaiterMark(const BurstWaiterMark&) = delete;
  BurstWaiterMark& operator=(const BurstWaiterMark&) = delete;

 private:
  SharedLayout& layout_;
};

// The waiting acquisition over a shared budget, one pass per call, the
// same steps and sleeps as the in-process wait.
class SharedPermitWait {
 public:
  enum class Kind : unsigned char { granted, interrupted, sleep, failed };
  struct Step {
    Kind kind;
    uint64_t sleep_ms = 0;
    bool burst = false;          // a burst wait: a give-back may end the sleep early
    uint32_t released_seen = 0;  // the wake word's value the sleep waits to change
    std::optional<Error> error = std::nullopt;
  };

  SharedPermitWait(SharedLimiter& limiter, std::atomic<bool>& interrupted)
      : limiter_(limiter), interrupted_(interrupted) {}
  Step next();
  void slept() {
    if (pass_ != UINT64_MAX) ++pass_;
  }

 private:
  SharedLimiter& limiter_;
  std::atomic<bool>& interrupted_;
  uint64_t pass_ = 0;
};

#ifdef RATEVANE_FAULT_INJECTION
// Test builds: called inside the locked step of a grant, after the first
// window was counted and before the others.
inline void (*shared_step_hook)() = nullptr;
// Test builds: when not 0, every step of a burst wait sleeps this long, so
// that a test sees whether a give-back ends the sleep or the step runs out.
inline std::atomic<uint64_t> shared_burst_step_ms{0};
#endif

}  // namespace ratevane
