#pragma once

#include <exception>
#include <expected>
#include <mutex>
#include <source_location>
#include <string>
#include <utility>

#include "src/core/panic.hpp"

namespace quillo {

struct Poisoned {};

// A value behind its own mutex, with a flag that is set for good when a
// holder is abandoned by an exception (an internal failure) while holding it.
template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  class Guard {
   public:
    Guard(Guard&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)),
          lock_(std::move(other.lock_)),
          uncaught_(other.uncaught_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > uncaught_) owner_->poisoned_ = true;
    }
    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

   private:
    friend class Guarded;
    explicit Guard(Guarded& owner)
        : owner_(&owner), lock_(owner.mutex_), uncaught_(std::uncaught_exceptions()) {}
    Guarded* owner_;
    std::unique_lock<std::mutex> lock_;
    int uncaught_;
  };

  // The lock, or Poisoned (released again at once) when a holder failed before.
  std::expected<Guard, Poisoned> lock() {
    Guard guard(*this);
    if (poisoned_) {
      guard.owner_ = nullptr;
      return std::unexpected(Poisoned{});
    }
    return guard;
  }

  // For callers whose only answer to a poisoned lock is an internal failure.
  Guard lock_or_panic(const char* message,
                      std::source_location where = std::source_location::current()) {
    auto guard = lock();
    if (!guard) panic(message, where);
    return std::move(*guard);
  }

  // Teardown only: the owner has exclusive access, and a poisoned value is
  // still released the ordinary way.
  T& unguarded() noexcept { return value_; }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace quillo
