// A burst permit that a grant took but nobody has claimed yet. If it is
// dropped unclaimed (the caller was cancelled, the result could not be
// delivered) it goes back to the limiter, exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "engine/ledger.hpp"

namespace ratevane {

class BurstPermit {
 public:
  BurstPermit() = default;
  BurstPermit(std::shared_ptr<std::atomic<uint64_t>> in_flight, std::optional<uint64_t> max_burst)
      : in_flight_(max_burst ? std::move(in_flight) : nullptr), max_burst_(max_burst) {}
  // A permit of a budget kept elsewhere (another process may share it):
  // `give` hands it back through `owner`.
  BurstPermit(std::shared_ptr<void> owner, void (*give)(void*))
      : owner_(std::move(owner)), give_(give) {}
  BurstPermit(BurstPermit&& other) noexcept = default;
  BurstPermit& operator=(BurstPermit&& other) noexcept {
    if (this != &other) {
      give_back();
      in_flight_ = std::move(other.in_flight_);
      max_burst_ = other.max_burst_;
      owner_ = std::move(other.owner_);
      give_ = other.give_;
    }
    return *this;
  }
  ~BurstPermit() { give_back(); }

  // The caller now holds the permit (and hands it back with release).
  void claim() {
    in_flight_.reset();
    owner_.reset();
  }
  void give_back() {
    if (in_flight_) {
      give_back_burst(BurstBound{max_burst_, in_flight_.get()});
      in_flight_.reset();
    }
    if (owner_) {
      give_(owner_.get());
      owner_.reset();
    }
  }
  bool armed() const { return in_flight_ != nullptr || owner_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<uint64_t>> in_flight_;
  std::optional<uint64_t> max_burst_;
  std::shared_ptr<void> owner_;
  void (*give_)(void*) = nullptr;
};

}  // namespace ratevane
