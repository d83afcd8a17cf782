#include <mutex>

#include "engine/fork_locks.hpp"
#include "engine/ledger.hpp"

namespace ratevane {

namespace {

struct LiveList {
  std::mutex mu;
  LimiterCore* head = nullptr;
};

// Never destroyed: a core may be destroyed during process exit, after
// every static object.
LiveList& live_list() {
  static auto* list = new LiveList;
  return *list;
}

}  // namespace

void CoreRegistry::add(LimiterCore* core) noexcept {
  LiveList& list = live_list();
  std::lock_guard guard(list.mu);
  core->live_next_ = list.head;
  if (list.head) list.head->live_prev_ = core;
  list.head = core;
}

void CoreRegistry::remove(LimiterCore* core) noexcept {
  LiveList& list = live_list();
  std::lock_guard guard(list.mu);
  if (core->live_prev_) {
    core->live_prev_->live_next_ = core->live_next_;
  } else {
    list.head = core->live_next_;
  }
  if (core->live_next_) core->live_next_->live_prev_ = core->live_prev_;
}

void CoreRegistry::lock_all() noexcept {
  LiveList& list = live_list();
  list.mu.lock();
  for (LimiterCore* c = list.head; c; c = c->live_next_) c->mutex_.lock();
}

void CoreRegistry::unlock_all() noexcept {
  LiveList& list = live_list();
  for (LimiterCore* c = list.head; c; c = c->live_next_) c->mutex_.unlock();
  list.mu.unlock();
}

std::size_t CoreRegistry::live() {
  LiveList& list = live_list();
  std::lock_guard guard(list.mu);
  std::size_t n = 0;
  for (LimiterCore* c = list.head; c; c = c->live_next_) ++n;
  return n;
}

}  // namespace ratevane
