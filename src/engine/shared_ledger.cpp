#include "engine/shared_ledger.hpp"

#include <atomic>
#include <stdexcept>

#include "engine/permit_wait.hpp"
#include "os/os.hpp"

namespace ratevane {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Keeps the compiler from moving one write of a step past the next: the
// order is what a process killed in between leaves behind. (Another
// process reads the data only under the lock, which orders the memory.)
inline void in_order() { std::atomic_signal_fence(std::memory_order_seq_cst); }

Error value_error(std::string message) { return Error{ErrorType::value_error, std::move(message)}; }

std::string quoted(const std::string& name) { return "'" + name + "'"; }

bool plain_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

BudgetError layout_error(const std::string& name, const std::string& what) {
  return BudgetError{
      value_error("shared budget " + quoted(name) + " (" +
                  os::shared_region_path(budget_object_name(name)) + ") " + what +
                  "; remove it with ratevane_shm.remove(" + quoted(name) +
                  ") once no process uses it"),
      0, {}};
}

// Waits up to 200 ms for the maker of a mapping to finish it: it writes the
// magic last, once everything else is in place.
bool wait_for_magic(const SharedLayout& layout) {
  for (int i = 0; i < 200; ++i) {
    if (layout.magic.load(std::memory_order_acquire) == kSharedMagic) return true;
    os::sleep_ns(1'000'000);
  }
  return false;
}

}  // namespace

std::optional<Error> check_budget_name(const std::string& name) {
  bool plain = !name.empty() && name.size() <= kMaxBudgetName && name[0] != '.';
  for (char c : name) plain = plain && plain_char(c);
  if (plain) return std::nullopt;
  return value_error("budget name must be 1 to " + std::to_string(kMaxBudgetName) +
                     " letters, digits, '.', '_' or '-', not starting with '.'");
}

std::string budget_object_name(const std::string& name) { return "ratevane." + name; }

Expected<std::shared_ptr<SharedBudget>, BudgetError> SharedBudget::open(const std::string& name) {
  if (auto bad = check_budget_name(name)) return BudgetError{std::move(*bad), 0, {}};
  const std::string object = budget_object_name(name);
  os::SharedRegion region;
  os::RegionError failure;
  if (!os::open_shared_region(object, sizeof(SharedLayout), region, failure)) {
    const std::string path = os::shared_region_path(object);
    if (failure.error_number != 0) {
      return BudgetError{Error{ErrorType::value_error, "cannot open shared budget " + quoted(name) +
                                                           " (" + failure.what + ")"},
                         failure.error_number, path};
    }
    return layout_error(name, "cannot be used: " + failure.what);
  }
  std::shared_ptr<SharedBudget> budget(new SharedBudget(name, region));
  SharedLayout& layout = budget->layout();
  if (region.created) {
    // A fresh object is zero-filled: every window slot and holder entry is
    // free. The magic goes last, so nobody uses a half-made budget.
    if (!os::init_shared_lock(region, layout.lock)) throw std::runtime_error("cannot make a shared lock");
    layout.version.store(kSharedLayoutVersion, relaxed);
    layout.size.store(sizeof(SharedLayout), relaxed);
    layout.magic.store(kSharedMagic, std::memory_order_release);
    return budget;
  }
  if (region.size < 16) {
    return layout_error(name, "is truncated (" + std::to_string(region.size) + " bytes)");
  }
  if (!wait_for_magic(layout)) {
    return layout_error(name, "is not a ratevane budget (or its maker died while making it)");
  }
  const uint32_t version = layout.version.load(relaxed);
  if (version != kSharedLayoutVersion) {
    return layout_error(name, "has layout version " + std::to_string(version) +
                                  "; this ratevane_shm uses version " +
                                  std::to_string(kSharedLayoutVersion));
  }
  const uint32_t size = layout.size.load(relaxed);
  if (size != sizeof(SharedLayout) || region.size < sizeof(SharedLayout)) {
    return layout_error(name, "is truncated or malformed (" + std::to_string(region.size) +
                                  " bytes mapped, " + std::to_string(size) +
                                  " in its header, " + std::to_string(sizeof(SharedLayout)) +
                                  " expected)");
  }
  return budget;
}

SharedBudget::~SharedBudget() { os::close_shared_region(region_); }

BudgetLock::BudgetLock(const SharedBudget& budget)
    : region_(budget.region()), layout_(budget.layout()) {
  switch (os::take_shared_lock(region_, layout_.lock)) {
    case os::SharedLockTaken::taken: break;
    case os::SharedLockTaken::owner_died: owner_died_ = true; break;
    case os::SharedLockTaken::failed: throw std::runtime_error("cannot take a shared budget's lock");
  }
}

namespace {

// A window slot's interval as of `now`. The start moves before the count is
// cleared: a death in between leaves the old, higher count.
void roll(SharedWindow& w, uint64_t now) {
  const uint64_t length = w.window_seconds.load(relaxed);
  const uint64_t current = now - now % length;
  const uint64_t start = w.window_start.load(relaxed);
  if (start == kNotStarted || start < current) {
    w.window_start.store(current, relaxed);
    in_order();
    w.count.store(0, relaxed);
  }
}

uint64_t total_held(const SharedLayout& layout) {
  uint64_t total = 0;
  for (const SharedHolder& h : layout.holders) total += h.held.load(relaxed);
  return total;
}

bool is(const SharedHolder& h, const os::ProcessIdentity& who) {
  return h.pid.load(relaxed) == who.pid && h.start_time.load(relaxed) == who.start_time;
}

// The entries of processes that are gone (or whose id now names another
// process) hold nothing any more.
void clear_dead_holders(SharedLayout& layout, const os::ProcessIdentity& me) {
  for (SharedHolder& h : layout.holders) {
    if (h.held.load(relaxed) == 0 || is(h, me)) continue;
    if (!os::process_alive({h.pid.load(relaxed), h.start_time.load(relaxed)})) h.held.store(0, relaxed);
  }
}

// This process's entry, else a free one; null when every entry is held by
// another live process.
SharedHolder* holder_for(SharedLayout& layout, const os::ProcessIdentity& me) {
  SharedHolder* free = nullptr;
  for (SharedHolder& h : layout.holders) {
    if (h.held.load(relaxed) == 0) {
      if (free == nullptr) free = &h;
    } else if (is(h, me)) {
      return &h;
    }
  }
  return free;
}

}  // namespace

SharedLimiter::SharedLimiter(std::shared_ptr<SharedBudget> budget, const WindowSpec* specs,
                             std::size_t n, std::optional<uint64_t> max_burst,
                             const WallClock& clock)
    : budget_(std::move(budget)), size_(std::min(n, kMaxWindows)), max_burst_(max_burst),
      clock_(clock) {
  for (std::size_t i = 0; i < size_; ++i) specs_[i] = specs[i];
}

Expected<std::shared_ptr<SharedLimiter>> SharedLimiter::bind(std::shared_ptr<SharedBudget> budget,
                                                             const WindowSpec* specs, std::size_t n,
                                                             std::optional<uint64_t> max_burst,
                                                             const WallClock& clock) {
  std::shared_ptr<SharedLimiter> limiter(
      new SharedLimiter(std::move(budget), specs, n, max_burst, clock));
  SharedLayout& layout = limiter->budget_->layout();
  BudgetLock lock(*limiter->budget_);
  // Count the lengths that need a new slot first: a budget without room
  // for all of them claims none.
  std::size_t missing = 0, free = 0;
  for (const SharedWindow& w : layout.windows) free += w.window_seconds.load(relaxed) == 0;
  for (std::size_t i = 0; i < limiter->size_; ++i) {
    bool found = false;
    for (const SharedWindow& w : layout.windows) {
      found = found || w.window_seconds.load(relaxed) == specs[i].window_seconds;
    }
    missing += !found;
  }
  if (missing > free) {
    return value_error("shared budget " + quoted(limiter->budget_->name()) + " counts " +
                       std::to_string(kSharedWindowSlots - free) +
                       " window lengths already; one budget holds at most " +
                       std::to_string(kSharedWindowSlots));
  }
  for (std::size_t i = 0; i < limiter->size_; ++i) {
    SharedWindow* slot = nullptr;
    for (SharedWindow& w : layout.windows) {
      if (w.window_seconds.load(relaxed) == specs[i].window_seconds) slot = &w;
    }
    for (SharedWindow& w : layout.windows) {
      if (slot == nullptr && w.window_seconds.load(relaxed) == 0) {
        // The length goes in last: until then the slot is free, whatever
        // else a death left in it.
        w.window_start.store(kNotStarted, relaxed);
        w.count.store(0, relaxed);
        in_order();
        w.window_seconds.store(specs[i].window_seconds, relaxed);
        slot = &w;
      }
    }
    limiter->slots_[i] = slot;
  }
  return limiter;
}

SharedTake SharedLimiter::take() {
  SharedLayout& layout = budget_->layout();
  SharedTake out;
  out.released_seen = layout.released.load(std::memory_order_seq_cst);
  BudgetLock lock(*budget_);
  const uint64_t now = split_wall_time(clock_.now_ns()).seconds;
  for (std::size_t i = 0; i < size_; ++i) {
    roll(*slots_[i], now);
    if (slots_[i]->count.load(relaxed) >= specs_[i].limit) {
      out.kind = SharedTake::Kind::window_full;
      return out;
    }
  }
  SharedHolder* mine = nullptr;
  if (max_burst_) {
    const os::ProcessIdentity& me = os::current_process();
    if (total_held(layout) >= *max_burst_) {
      clear_dead_holders(layout, me);
      if (total_held(layout) >= *max_burst_) {
        out.kind = SharedTake::Kind::burst_full;
        return out;
      }
    }
    mine = holder_for(layout, me);
    if (mine == nullptr) {
      out.error = value_error("shared budget " + quoted(budget_->name()) + ": more than " +
                              std::to_string(kSharedHolders) +
                              " processes would hold burst permits at once; one budget holds at "
                              "most " + std::to_string(kSharedHolders));
      return out;
    }
    // Named before it holds anything: a free entry with a stale name is
    // still free.
    if (mine->held.load(relaxed) == 0) {
      mine->pid.store(me.pid, relaxed);
      mine->start_time.store(me.start_time, relaxed);
      in_order();
    }
  }
  // Counted one window after another, the burst permit last: a death in
  // between leaves some windows counted for a permit nobody got.
  for (std::size_t i = 0; i < size_; ++i) {
    slots_[i]->count.store(slots_[i]->count.load(relaxed) + 1, relaxed);
    in_order();
#ifdef RATEVANE_FAULT_INJECTION
    if (i == 0 && shared_step_hook != nullptr) shared_step_hook();
#endif
  }
  if (mine != nullptr) mine->held.store(mine->held.load(relaxed) + 1, relaxed);
  out.kind = SharedTake::Kind::granted;
  return out;
}

void SharedLimiter::give_back() {
  if (!max_burst_) return;
  SharedLayout& layout = budget_->layout();
  {
    BudgetLock lock(*budget_);
    const os::ProcessIdentity& me = os::current_process();
    SharedHolder* mine = nullptr;
    for (SharedHolder& h : layout.holders) {
      if (h.held.load(relaxed) != 0 && is(h, me)) mine = &h;
    }
    if (mine == nullptr) return;
    mine->held.store(mine->held.load(relaxed) - 1, relaxed);
  }
  // A waiter marks itself before it reads the word it sleeps on, and this
  // bumps the word before it looks for waiters: one of the two sees the
  // other.
  layout.released.fetch_add(1, std::memory_order_seq_cst);
  if (layout.burst_waiters.load(std::memory_order_seq_cst) != 0) os::wake_shared_word(layout.released);
}

std::optional<Duration> SharedLimiter::time_until_next_window() {
  BudgetLock lock(*budget_);
  const WallTime now = split_wall_time(clock_.now_ns());
  std::optional<Duration> best;
  for (std::size_t i = 0; i < size_; ++i) {
    SharedWindow& w = *slots_[i];
    roll(w, now.seconds);
    if (w.count.load(relaxed) < specs_[i].limit) continue;
    const Duration wait = until_interval_end(w.window_start.load(relaxed), specs_[i].window_seconds, now);
    if (!best || wait < *best) best = wait;
  }
  if (best && *best <= Duration{0, 1'000'000}) best = Duration{0, 1'000'000};
  return best;
}

Remaining SharedLimiter::remaining() {
  Remaining out;
  SharedLayout& layout = budget_->layout();
  BudgetLock lock(*budget_);
  const uint64_t now = split_wall_time(clock_.now_ns()).seconds;
  for (std::size_t i = 0; i < size_; ++i) {
    roll(*slots_[i], now);
    const uint64_t c = slots_[i]->count.load(relaxed);
    out.entries[out.size++] = {specs_[i].name, c >= specs_[i].limit ? 0 : specs_[i].limit - c};
  }
  if (max_burst_) {
    const uint64_t held = total_held(layout);
    out.entries[out.size++] = {"burst", held >= *max_burst_ ? 0 : *max_burst_ - held};
  }
  return out;
}

SharedPermitWait::Step SharedPermitWait::next() {
  if (interrupted_.load(std::memory_order_acquire)) return {Kind::interrupted};
  SharedTake take = limiter_.take();
  switch (take.kind) {
    case SharedTake::Kind::granted: return {Kind::granted};
    case SharedTake::Kind::failed: return {Kind::failed, 0, false, 0, std::move(take.error)};
    case SharedTake::Kind::burst_full: {
      uint64_t ms = short_step_ms(pass_);
#ifdef RATEVANE_FAULT_INJECTION
      if (const uint64_t fixed = shared_burst_step_ms.load(std::memory_order_relaxed)) ms = fixed;
#endif
      return {Kind::sleep, ms, true, take.released_seen};
    }
    case SharedTake::Kind::window_full: break;
  }
  const std::optional<Duration> wait = limiter_.time_until_next_window();
  return {Kind::sleep, wait ? window_step_ms(pass_, *wait) : short_step_ms(pass_)};
}

}  // namespace ratevane
