#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "velorium/channel.hpp"

namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderThenReportsTheClosedSender) {
  auto [tx, rx] = velorium::bounded_channel<int>();
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i));
  });
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(rx.recv(), i);
  producer.join();
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, CapacityIsOne) {
  auto [tx, rx] = velorium::bounded_channel<int>();
  std::atomic<int> sent{0};
  std::thread producer([&, tx = std::move(tx)]() mutable {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(tx.send(i));
      sent.fetch_add(1);
    }
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sent.load(), 1);  // the second send waits for room
  EXPECT_EQ(rx.recv(), 0);
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  producer.join();
  EXPECT_EQ(sent.load(), 3);
}

TEST(Channel, DroppingTheReceiverFailsPendingAndLaterSends) {
  auto pair = velorium::bounded_channel<std::unique_ptr<int>>();
  auto tx = std::move(pair.first);
  auto rx = std::make_unique<velorium::Receiver<std::unique_ptr<int>>>(std::move(pair.second));
  ASSERT_TRUE(tx.send(std::make_unique<int>(1)));  // fills the slot
  std::thread producer([&] {
    auto result = tx.send(std::make_unique<int>(2));  // blocks until the receiver goes
    ASSERT_FALSE(result);
    EXPECT_EQ(*result.error(), 2);  // the message comes back
  });
  std::this_thread::sleep_for(20ms);
  rx.reset();
  producer.join();
  EXPECT_TRUE(tx.receiver_gone());
  EXPECT_FALSE(tx.send(std::make_unique<int>(3)));
}

TEST(Channel, ReceiveWaitsForTheSenderToCloseOrSend) {
  auto pair = velorium::bounded_channel<int>();
  auto rx = std::move(pair.second);
  std::thread producer([tx = std::move(pair.first)]() mutable {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(tx.send(5));
    std::this_thread::sleep_for(20ms);
  });
  EXPECT_EQ(rx.recv(), 5);
  EXPECT_EQ(rx.recv(), std::nullopt);
  producer.join();
}

}  // namespace
