#include "executor/join_handle.hpp"

#include <stdexcept>
#include <utility>

#include "executor/task_record.hpp"

namespace ratevane::exec {

JoinHandle::JoinHandle(JoinHandle&& other) noexcept
    : record_(std::exchange(other.record_, nullptr)) {}

JoinHandle& JoinHandle::operator=(JoinHandle&& other) noexcept {
  if (this != &other) {
    if (record_) record_->release();
    record_ = std::exchange(other.record_, nullptr);
  }
  return *this;
}

JoinHandle::~JoinHandle() {
  if (record_) record_->release();
}

Poll JoinHandle::poll(Context& cx, TaskOutcome& out) {
  if (!record_) throw std::logic_error("polled an empty join handle");
  return record_->poll_join(cx.waker(), out);
}

bool JoinHandle::is_finished() const { return record_ && record_->has_ended(); }

}  // namespace ratevane::exec
