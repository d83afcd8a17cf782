// What a task is, seen from the code that writes one.
#pragma once

#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "executor/waker.hpp"

namespace ratevane::exec {

// A task body is polled on a worker thread until it answers `Poll::ready`.
// An exception escaping `poll` ends the task with a `failed` outcome; it does
// not reach the worker. The body is destroyed on the worker as soon as the
// task ends, outside every executor lock, so its destructor may remove
// timers, release counters or wake other tasks.
struct TaskBody {
  virtual ~TaskBody() = default;
  virtual Poll poll(Context& cx) = 0;
};

struct TaskOutcome {
  enum class Kind {
    finished,  // poll answered ready
    failed,    // an exception escaped poll; `payload` holds it
    stopped,   // ended by the executor without finishing (never happens: the
               // executor is never shut down, but joiners must handle it)
  };
  Kind kind = Kind::stopped;
  std::exception_ptr payload;
};

namespace detail {
template <class F>
class FnBody final : public TaskBody {
 public:
  explicit FnBody(F f) : f_(std::move(f)) {}
  Poll poll(Context& cx) override { return f_(cx); }

 private:
  F f_;
};
}  // namespace detail

// A task body from a callable `Poll(Context&)`; its captures live as long as
// the task body does.
template <class F>
std::unique_ptr<TaskBody> body_from(F f) {
  static_assert(std::is_invocable_r_v<Poll, F&, Context&>,
                "a task body callable takes Context& and returns Poll");
  return std::make_unique<detail::FnBody<F>>(std::move(f));
}

}  // namespace ratevane::exec
