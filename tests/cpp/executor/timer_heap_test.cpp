#include "executor/timer_heap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace ratevane::exec::detail {
namespace {

// Every node's index matches its slot, and the heap order holds: checked by
// popping a copy would disturb indexes, so compare against the model instead.
void expect_consistent(const TimerHeap& heap, const std::multiset<std::pair<Tick, TimerNode*>>& model) {
  ASSERT_EQ(heap.size(), model.size());
  if (!model.empty()) {
    EXPECT_EQ(heap.top_tick(), model.begin()->first);
    EXPECT_EQ(heap.top()->heap_index, 0u);
  } else {
    EXPECT_EQ(heap.top_tick(), kNoTick);
  }
  for (const auto& [tick, node] : model) {
    ASSERT_TRUE(node->queued());
    ASSERT_LT(node->heap_index, heap.size());
  }
}

TEST(TimerHeap, PopsInTickOrder) {
  std::vector<TimerNode> nodes(6);
  const Tick ticks[] = {50, 10, 40, 10, 30, 20};
  TimerHeap heap;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].tick = ticks[i];
    heap.push(&nodes[i]);
  }
  std::vector<Tick> out;
  while (!heap.empty()) {
    TimerNode* n = heap.pop();
    EXPECT_FALSE(n->queued());
    out.push_back(n->tick);
  }
  EXPECT_EQ(out, (std::vector<Tick>{10, 10, 20, 30, 40, 50}));
}

TEST(TimerHeap, RemovingFromTheMiddleKeepsOrder) {
  std::vector<TimerNode> nodes(7);
  TimerHeap heap;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].tick = 10 * (i + 1);
    heap.push(&nodes[i]);
  }
  heap.remove(&nodes[3]);
  heap.remove(&nodes[0]);
  EXPECT_FALSE(nodes[3].queued());
  EXPECT_FALSE(nodes[0].queued());
  std::vector<Tick> out;
  while (!heap.empty()) out.push_back(heap.pop()->tick);
  EXPECT_EQ(out, (std::vector<Tick>{20, 30, 50, 60, 70}));
}

TEST(TimerHeap, RemovingTheLastSlot) {
  TimerNode a, b;
  a.tick = 1;
  b.tick = 2;
  TimerHeap heap;
  heap.push(&a);
  heap.push(&b);
  heap.remove(&b);
  EXPECT_EQ(heap.size(), 1u);
  EXPECT_EQ(heap.pop(), &a);
  EXPECT_TRUE(heap.empty());
}

// Random pushes, pops and removals against a sorted multiset.
TEST(TimerHeap, MatchesAReferenceModelUnderRandomOperations) {
  std::mt19937_64 rng(12345);
  constexpr int kNodes = 300;
  std::vector<std::unique_ptr<TimerNode>> pool;
  for (int i = 0; i < kNodes; ++i) pool.push_back(std::make_unique<TimerNode>());
  TimerHeap heap;
  std::multiset<std::pair<Tick, TimerNode*>> model;

  for (int step = 0; step < 20'000; ++step) {
    TimerNode* n = pool[rng() % kNodes].get();
    switch (rng() % 3) {
      case 0:
        if (!n->queued()) {
          n->tick = rng() % 64;  // many equal ticks on purpose
          heap.push(n);
          model.emplace(n->tick, n);
        }
        break;
      case 1:
        if (n->queued()) {
          model.erase(model.find({n->tick, n}));
          heap.remove(n);
          EXPECT_FALSE(n->queued());
        }
        break;
      case 2:
        if (!heap.empty()) {
          TimerNode* top = heap.pop();
          ASSERT_EQ(top->tick, model.begin()->first);
          model.erase(model.find({top->tick, top}));
        }
        break;
    }
    expect_consistent(heap, model);
  }
  Tick last = 0;
  while (!heap.empty()) {
    TimerNode* top = heap.pop();
    EXPECT_GE(top->tick, last);
    last = top->tick;
    model.erase(model.find({top->tick, top}));
  }
  EXPECT_TRUE(model.empty());
}

}  // namespace
}  // namespace ratevane::exec::detail
