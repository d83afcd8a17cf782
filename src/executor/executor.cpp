// The process-wide executor cell and its one-time construction.
#include "executor/executor.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "executor/scheduler.hpp"
#include "executor/task_record.hpp"
#include "os/os.hpp"

namespace ratevane::exec {

namespace detail {
namespace {

// The cell: empty -> being filled -> full, and back to empty if filling
// fails. Once full it is read through `cell` alone, without locking; the
// mutex only serialises the filling and lets latecomers wait for its end.
enum class CellState { empty, filling, full };

std::atomic<Scheduler*> cell{nullptr};  // constant-initialised: safe at any time

struct Construction {
  std::mutex cell_mu;
  std::condition_variable cell_cv;
  CellState cell_state = CellState::empty;

  // The configuration lock. One failed build breaks it for the rest of the
  // process: a bad override or a platform that refused a thread does not get
  // better by trying again, and failing fast spares every later caller
  // another doomed attempt.
  std::mutex config_mu;
  bool config_broken = false;
};

// Built on first use, so a spawn from another file's static initialiser
// cannot find it unconstructed; never destroyed, like the executor itself,
// so a late spawn during process exit finds it intact.
Construction& construction() {
  static Construction* c = new Construction();
  return *c;
}

Scheduler* build_scheduler(Construction& c) {
  std::lock_guard lk(c.config_mu);
  if (c.config_broken) {
    throw ExecutorError(
        "building the executor failed: an earlier attempt in this process failed, so no "
        "executor can be built any more");
  }
  try {
    const std::optional<std::string> override_text = os::environment_variable(kWorkerThreadsVar);
    const std::size_t workers =
        decide_worker_count(override_text ? override_text->c_str() : nullptr, os::processor_count());
    // Never deleted: the executor lives until the process ends.
    return new Scheduler(workers);
  } catch (const ExecutorError&) {
    c.config_broken = true;
    throw;
  } catch (const std::exception& e) {
    c.config_broken = true;
    throw ExecutorError(std::string("building the executor failed: ") + e.what());
  } catch (...) {
    c.config_broken = true;
    throw ExecutorError("building the executor failed: unknown error");
  }
}

Scheduler& fill_cell() {
  Construction& c = construction();
  {
    std::unique_lock lk(c.cell_mu);
    for (;;) {
      if (c.cell_state == CellState::full) return *cell.load(std::memory_order_acquire);
      if (c.cell_state == CellState::empty) break;
      c.cell_cv.wait(lk);  // someone else is filling; start over when they end
    }
    c.cell_state = CellState::filling;
  }
  Scheduler* built = nullptr;
  try {
    built = build_scheduler(c);
  } catch (...) {
    {
      std::lock_guard lk(c.cell_mu);
      c.cell_state = CellState::empty;
    }
    c.cell_cv.notify_all();
    throw;
  }
  {
    std::lock_guard lk(c.cell_mu);
    cell.store(built, std::memory_order_release);
    c.cell_state = CellState::full;
  }
  c.cell_cv.notify_all();
  return *built;
}

}  // namespace

Scheduler& scheduler_instance() {
  if (Scheduler* s = cell.load(std::memory_order_acquire)) return *s;
  return fill_cell();
}

Scheduler* scheduler_if_built() noexcept { return cell.load(std::memory_order_acquire); }

std::atomic<unsigned> generation{0};
// The executors of the processes this one was forked from, newest first.
std::atomic<Scheduler*> forgotten{nullptr};

}  // namespace detail

void forget_executor_in_child() noexcept {
  using namespace detail;
  if (Scheduler* old = cell.load(std::memory_order_relaxed)) {
    old->abandon(forgotten.load(std::memory_order_relaxed));
    // Still reachable, as what the parent's tasks point to must stay.
    forgotten.store(old, std::memory_order_relaxed);
  }
  cell.store(nullptr, std::memory_order_relaxed);
  // A fresh cell and configuration lock over the old ones, whose mutexes
  // and waiting list may belong to threads that stayed in the parent. The
  // old ones are not destroyed: that would touch that state.
  new (&construction()) Construction();
  generation.fetch_add(1, std::memory_order_relaxed);
}

unsigned fork_generation() noexcept { return detail::generation.load(std::memory_order_relaxed); }

JoinHandle spawn(std::unique_ptr<TaskBody> body) {
  return JoinHandle(detail::scheduler_instance().start(std::move(body)));
}

bool executor_built() noexcept { return detail::scheduler_if_built() != nullptr; }

std::size_t worker_count() noexcept {
  detail::Scheduler* s = detail::scheduler_if_built();
  return s ? s->worker_count() : 0;
}

std::size_t pending_timers() {
  detail::Scheduler* s = detail::scheduler_if_built();
  return s ? s->pending_timers() : 0;
}

}  // namespace ratevane::exec
