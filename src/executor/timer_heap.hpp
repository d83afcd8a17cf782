// A binary min-heap of timers ordered by tick, whose entries know their own
// position. Knowing the position is what lets a dropped sleep take its timer
// out in O(log n) instead of leaving a tombstone for the timer worker to skip.
//
// Not synchronised: the scheduler guards it with its lock. The heap never
// owns its nodes; each lives inside whatever registered it and must be
// removed (or popped) before it is destroyed.
#pragma once

#include <cstddef>
#include <vector>

#include "executor/ticks.hpp"

namespace ratevane::exec::detail {

struct TimerNode {
  static constexpr std::size_t kNotQueued = static_cast<std::size_t>(-1);

  Tick tick = 0;
  std::size_t heap_index = kNotQueued;

  bool queued() const noexcept { return heap_index != kNotQueued; }
};

class TimerHeap {
 public:
  bool empty() const noexcept { return nodes_.empty(); }
  std::size_t size() const noexcept { return nodes_.size(); }
  // Precondition: not empty.
  TimerNode* top() const noexcept { return nodes_.front(); }
  Tick top_tick() const noexcept { return empty() ? kNoTick : nodes_.front()->tick; }

  // Precondition: `node` is not queued. May throw std::bad_alloc, and then
  // leaves the heap and the node unchanged.
  void push(TimerNode* node);
  // Precondition: `node` is queued in this heap.
  void remove(TimerNode* node) noexcept;
  // Precondition: not empty.
  TimerNode* pop() noexcept;

  void reserve(std::size_t n) { nodes_.reserve(n); }

 private:
  void place(std::size_t index, TimerNode* node) noexcept;
  void sift_up(std::size_t index) noexcept;
  void sift_down(std::size_t index) noexcept;

  std::vector<TimerNode*> nodes_;
};

}  // namespace ratevane::exec::detail
