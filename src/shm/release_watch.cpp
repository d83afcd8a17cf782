#include "shm/release_watch.hpp"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "os/os.hpp"
#include "os/shm.hpp"

namespace ratevane::shm {
namespace {

constexpr int64_t kWatchSliceNs = 100'000'000;  // the longest sleep between looks
constexpr int kIdleSlices = 10;                 // slices without waiters before the thread ends

struct Entry {
  uint64_t id;
  uint32_t seen;
  exec::Waker waker;
};

// One budget's waiting tasks. Its thread owns a reference to the budget
// and removes the watch when it ends.
struct Watch {
  const SharedBudget* budget;
  std::vector<Entry> entries;
};

// Lock order: the state's mutex is taken alone. Wakers are woken and
// dropped after it is let go (a dropped waker may end a task body, whose
// destructor unregisters its wait).
struct State {
  std::mutex mutex;
  std::vector<std::unique_ptr<Watch>> watches;
  uint64_t next_id = 1;
};

// Never destroyed: a watch thread may still run while the process exits.
State& state() {
  static State* const s = new State();
  return *s;
}

// Around fork(): the child has none of the threads, and the tasks the
// entries would wake belong to the executor it forgets; so it forgets the
// watches too (leaving them allocated: their wakers must not run there).
void before_fork() noexcept { state().mutex.lock(); }
void after_fork_in_parent() noexcept { state().mutex.unlock(); }
void after_fork_in_child() noexcept {
  State& st = state();
  for (auto& w : st.watches) (void)w.release();
  st.watches.clear();
  st.mutex.unlock();
}

void register_fork_handlers_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)os::register_fork_handlers(before_fork, after_fork_in_parent, after_fork_in_child);
  });
}

void run(std::shared_ptr<SharedBudget> keep, Watch* watch) {
  State& st = state();
  SharedLayout& layout = keep->layout();
  // Marked before the first look at the word: a give-back after that look
  // either changed the word before it or wakes this thread.
  BurstWaiterMark mark(layout);
  std::vector<exec::Waker> due;
  int idle = 0;
  for (;;) {
    uint32_t now;
    {
      std::lock_guard<std::mutex> lk(st.mutex);
      now = layout.released.load(std::memory_order_seq_cst);
      auto& entries = watch->entries;
      for (auto it = entries.begin(); it != entries.end();) {
        if (it->seen != now) {
          due.push_back(std::move(it->waker));
          it = entries.erase(it);
        } else {
          ++it;
        }
      }
      idle = entries.empty() ? idle + 1 : 0;
      if (idle > kIdleSlices) {
        auto self = std::find_if(st.watches.begin(), st.watches.end(),
                                 [&](const auto& w) { return w.get() == watch; });
        st.watches.erase(self);
        break;
      }
    }
    for (const exec::Waker& w : due) w.wake();
    due.clear();
    os::wait_on_shared_word(layout.released, now, kWatchSliceNs);
  }
  for (const exec::Waker& w : due) w.wake();
}

}  // namespace

namespace {

Watch* watch_of(State& st, const SharedBudget* budget) {
  for (auto& w : st.watches) {
    if (w->budget == budget) return w.get();
  }
  return nullptr;
}

std::vector<Entry>::iterator entry_of(Watch& watch, uint64_t id) {
  return std::find_if(watch.entries.begin(), watch.entries.end(),
                      [&](const Entry& e) { return e.id == id; });
}

// Removes registration `id` (0: none); its waker is returned, to be let go
// after the lock.
exec::Waker unregister(State& st, const SharedBudget* budget, uint64_t id) {
  Watch* watch = id == 0 ? nullptr : watch_of(st, budget);
  if (watch == nullptr) return {};
  auto mine = entry_of(*watch, id);
  if (mine == watch->entries.end()) return {};
  exec::Waker out = std::move(mine->waker);
  watch->entries.erase(mine);
  return out;
}

}  // namespace

exec::Poll ReleaseWait::poll(exec::Context& cx) {
  register_fork_handlers_once();
  State& st = state();
  exec::Waker dropped;  // let go after the lock
  std::lock_guard<std::mutex> lk(st.mutex);
  if (budget_->layout().released.load(std::memory_order_seq_cst) != seen_) {
    dropped = unregister(st, budget_.get(), std::exchange(id_, 0));
    return exec::Poll::ready;
  }
  Watch* watch = watch_of(st, budget_.get());
  if (watch == nullptr) {
    auto made = std::make_unique<Watch>();
    made->budget = budget_.get();
    try {
      std::thread(run, budget_, made.get()).detach();
    } catch (const std::system_error&) {
      return exec::Poll::pending;  // the backoff timer ends the sleep
    }
    watch = made.get();
    st.watches.push_back(std::move(made));
  }
  auto mine = entry_of(*watch, id_);
  if (mine == watch->entries.end()) {
    id_ = st.next_id++;
    watch->entries.push_back(Entry{id_, seen_, cx.waker()});
  } else if (!mine->waker.will_wake(cx.waker())) {
    dropped = std::exchange(mine->waker, cx.waker());
  }
  return exec::Poll::pending;
}

ReleaseWait::~ReleaseWait() {
  State& st = state();
  exec::Waker dropped;
  std::lock_guard<std::mutex> lk(st.mutex);
  dropped = unregister(st, budget_.get(), id_);
}

std::size_t release_watch_threads() {
  State& st = state();
  std::lock_guard<std::mutex> lk(st.mutex);
  return st.watches.size();
}

}  // namespace ratevane::shm
