// A bounded blocking channel of capacity 1 between one producer and one
// consumer. A send waits while one undelivered message is in the channel; a
// receive waits while it is empty. Dropping either end wakes the other: a
// send to a dropped receiver fails at once and hands the message back, a
// receive from a dropped sender fails once the channel is empty. The
// streaming iterator hands spectra from its decoding thread to Python code
// through it. Plain C++: no Python header.
#pragma once

#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace velorium::python {

template <class T>
class Sender;
template <class T>
class Receiver;

namespace detail {

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable not_full;
  std::condition_variable not_empty;
  std::optional<T> slot;
  bool sender_alive = true;
  bool receiver_alive = true;
};

}  // namespace detail

template <class T>
std::pair<Sender<T>, Receiver<T>> bounded_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

template <class T>
class Sender {
 public:
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { close(); }

  // Waits for room, then hands the message over. Fails with the message when
  // the receiving end is gone.
  std::expected<void, T> send(T message) {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] { return !state_->slot || !state_->receiver_alive; });
    if (!state_->receiver_alive) return std::unexpected<T>(std::move(message));
    state_->slot.emplace(std::move(message));
    state_->not_empty.notify_one();
    return {};
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> bounded_channel<T>();
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void close() noexcept {
    if (!state_) return;
    {
      const std::lock_guard lock(state_->mutex);
      state_->sender_alive = false;
    }
    state_->not_empty.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      close();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { close(); }

  // Waits for the next message; nothing once the sending end is gone and the
  // channel is empty.
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock, [&] { return state_->slot || !state_->sender_alive; });
    if (!state_->slot) return std::nullopt;
    std::optional<T> message = std::move(state_->slot);
    state_->slot.reset();
    lock.unlock();
    state_->not_full.notify_one();
    return message;
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> bounded_channel<T>();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void close() noexcept {
    if (!state_) return;
    std::optional<T> undelivered;
    {
      const std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      undelivered = std::move(state_->slot);
      state_->slot.reset();
    }
    state_->not_full.notify_all();
    state_.reset();
    // `undelivered` is released here, outside the lock.
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

}  // namespace velorium::python
