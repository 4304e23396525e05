// A bounded blocking channel of capacity 1 between one producer and one
// consumer. A send waits while one undelivered message is in the channel; a
// receive waits while it is empty. Dropping either end wakes the other: a
// send to a dropped receiver fails at once and hands the message back, a
// receive from a dropped sender fails once the channel is empty. The
// streaming iterator hands spectra from its decoding thread to Python code
// through it. Plain C++: no Python header.
//
// Each end can also wait until the other end is blocked (a send waiting for
// room, a receive waiting for a message) or gone, so that tests of code
// built on the channel can reach a given interleaving without sleeping.
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
  // An end blocked in send() or recv(); each waiter is woken through the
  // other end's condition.
  bool sender_blocked = false;
  bool receiver_blocked = false;
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
    const auto room = [&] { return !state_->slot || !state_->receiver_alive; };
    if (!room()) {
      state_->sender_blocked = true;
      state_->not_empty.notify_all();  // a receiver in wait_for_blocked_sender()
      state_->not_full.wait(lock, room);
      state_->sender_blocked = false;
    }
    if (!state_->receiver_alive) return std::unexpected<T>(std::move(message));
    state_->slot.emplace(std::move(message));
    state_->receiver_blocked = false;  // it has a message now, whether or not it has woken yet
    state_->not_empty.notify_one();
    return {};
  }

  // Waits until the receiving end is blocked in recv() (true) or gone
  // (false). Call it from the sending end's thread.
  bool wait_for_blocked_receiver() {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] { return state_->receiver_blocked || !state_->receiver_alive; });
    return state_->receiver_alive;
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
    const auto ready = [&] { return state_->slot || !state_->sender_alive; };
    if (!ready()) {
      state_->receiver_blocked = true;
      state_->not_full.notify_all();  // a sender in wait_for_blocked_receiver()
      state_->not_empty.wait(lock, ready);
      state_->receiver_blocked = false;
    }
    if (!state_->slot) return std::nullopt;
    std::optional<T> message = std::move(state_->slot);
    state_->slot.reset();
    state_->sender_blocked = false;  // it has room now, whether or not it has woken yet
    lock.unlock();
    state_->not_full.notify_one();
    return message;
  }

  // Waits until the sending end is blocked in send() for want of room (true)
  // or gone (false). Call it from the receiving end's thread.
  bool wait_for_blocked_sender() {
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock, [&] { return state_->sender_blocked || !state_->sender_alive; });
    return state_->sender_alive;
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
