#include "executor/timer_heap.hpp"

namespace ratevane::exec::detail {

void TimerHeap::place(std::size_t index, TimerNode* node) noexcept {
  nodes_[index] = node;
  node->heap_index = index;
}

void TimerHeap::sift_up(std::size_t index) noexcept {
  TimerNode* node = nodes_[index];
  while (index > 0) {
    std::size_t parent = (index - 1) / 2;
    if (nodes_[parent]->tick <= node->tick) break;
    place(index, nodes_[parent]);
    index = parent;
  }
  place(index, node);
}

void TimerHeap::sift_down(std::size_t index) noexcept {
  TimerNode* node = nodes_[index];
  const std::size_t n = nodes_.size();
  for (;;) {
    std::size_t child = 2 * index + 1;
    if (child >= n) break;
    if (child + 1 < n && nodes_[child + 1]->tick < nodes_[child]->tick) ++child;
    if (node->tick <= nodes_[child]->tick) break;
    place(index, nodes_[child]);
    index = child;
  }
  place(index, node);
}

void TimerHeap::push(TimerNode* node) {
  nodes_.push_back(node);  // the only step that can throw; nothing changed yet
  node->heap_index = nodes_.size() - 1;
  sift_up(node->heap_index);
}

void TimerHeap::remove(TimerNode* node) noexcept {
  const std::size_t index = node->heap_index;
  TimerNode* last = nodes_.back();
  nodes_.pop_back();
  node->heap_index = TimerNode::kNotQueued;
  if (last == node) return;
  // The last node fills the hole; it may belong above or below it.
  place(index, last);
  if (index > 0 && nodes_[(index - 1) / 2]->tick > last->tick) {
    sift_up(index);
  } else {
    sift_down(index);
  }
}

TimerNode* TimerHeap::pop() noexcept {
  TimerNode* node = nodes_.front();
  remove(node);
  return node;
}

}  // namespace ratevane::exec::detail
