#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "acquisition_builder.hpp"
#include "python/channel.hpp"
#include "velorium/reader.hpp"

namespace {

TEST(Channel, DeliversInOrderThenReportsTheClosedSender) {
  auto [tx, rx] = velorium::python::bounded_channel<int>();
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i));
  });
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(rx.recv(), i);
  producer.join();
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(Channel, CapacityIsOne) {
  auto [tx, rx] = velorium::python::bounded_channel<int>();
  std::atomic<int> sent{0};
  std::thread producer([&, tx = std::move(tx)]() mutable {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(tx.send(i));
      sent.fetch_add(1);
    }
  });
  // The producer blocks in its second send: one message fills the channel.
  EXPECT_TRUE(rx.wait_for_blocked_sender());
  EXPECT_EQ(sent.load(), 1);
  EXPECT_EQ(rx.recv(), 0);
  EXPECT_TRUE(rx.wait_for_blocked_sender());  // the third send waits in turn
  EXPECT_EQ(sent.load(), 2);
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  producer.join();
  EXPECT_EQ(sent.load(), 3);
  EXPECT_FALSE(rx.wait_for_blocked_sender());  // the sender is gone
}

TEST(Channel, DroppingTheReceiverFailsPendingAndLaterSends) {
  auto pair = velorium::python::bounded_channel<std::unique_ptr<int>>();
  auto tx = std::move(pair.first);
  auto rx = std::make_unique<velorium::python::Receiver<std::unique_ptr<int>>>(std::move(pair.second));
  ASSERT_TRUE(tx.send(std::make_unique<int>(1)));  // fills the slot
  std::thread producer([&] {
    auto result = tx.send(std::make_unique<int>(2));  // blocks until the receiver goes
    ASSERT_FALSE(result);
    EXPECT_EQ(*result.error(), 2);  // the message comes back
  });
  EXPECT_TRUE(rx->wait_for_blocked_sender());
  rx.reset();
  producer.join();
  const auto later = tx.send(std::make_unique<int>(3));
  ASSERT_FALSE(later);
  EXPECT_EQ(*later.error(), 3);
}

TEST(Channel, ReceiveWaitsForTheSenderToCloseOrSend) {
  auto pair = velorium::python::bounded_channel<int>();
  auto rx = std::move(pair.second);
  std::thread producer([tx = std::move(pair.first)]() mutable {
    // Each step happens only once the receiver is waiting for it.
    ASSERT_TRUE(tx.wait_for_blocked_receiver());
    ASSERT_TRUE(tx.send(5));
    ASSERT_TRUE(tx.wait_for_blocked_receiver());
  });  // the sending end closes when the thread ends
  EXPECT_EQ(rx.recv(), 5);
  EXPECT_EQ(rx.recv(), std::nullopt);
  producer.join();
}

TEST(Channel, WaitingForADroppedReceiverReturnsAtOnce) {
  auto [tx, rx] = velorium::python::bounded_channel<int>();
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.wait_for_blocked_receiver());
}

// The streaming iterator's arrangement: a thread that owns its own Reader
// decodes the spectra in order and sends each record; the receiving end is
// dropped after a few records, with or without one left undelivered in the
// slot. The producer's next send must fail and the thread must end; nothing
// is shared but the channel.
TEST(Channel, ProducerThreadEndsWhenTheReceiverIsDroppedMidStream) {
  using velorium::testing::Bytes;
  using velorium::testing::DataFile;
  using velorium::testing::TestScan;
  using Record = std::unique_ptr<lumora::SpectrumRecord>;
  constexpr std::uint32_t kScans = 40;

  velorium::testing::TempDir dir;
  const auto root = dir / "run.d";
  DataFile peaks;
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < kScans; ++i) {
    const auto block =
        peaks.add(3, velorium::testing::format3_block({{100.0 + i, 1.0f}, {200.0, 2.0f}, {300.0, 3.0f}}), 3);
    scans.push_back({.scan_id = 1 + i, .centroid = block});
  }
  velorium::testing::write_file(root / "AcqData" / "MSPeak.bin", peaks.bytes());
  velorium::testing::write_file(root / "AcqData" / "MSScan.bin", velorium::testing::msscan_image(scans, 196));

  for (const std::uint32_t received : {0u, 1u, 7u, 20u}) {
    auto [tx, rx] = velorium::python::bounded_channel<Record>();
    std::atomic<std::uint32_t> sent{0};
    std::atomic<bool> refused{false};
    std::thread producer([tx = std::move(tx), root, &sent, &refused]() mutable {
      auto reader = velorium::Reader::open(root);
      ASSERT_TRUE(reader) << reader.error().display();
      auto spectra = reader->iter_spectra();
      while (auto item = spectra->next()) {
        ASSERT_TRUE(*item);
        if (!tx.send(std::make_unique<lumora::SpectrumRecord>(std::move(**item)))) {
          refused = true;
          return;
        }
        sent.fetch_add(1);
      }
    });
    {
      auto receiver = std::move(rx);
      for (std::uint32_t i = 0; i < received; ++i) {
        const auto message = receiver.recv();
        ASSERT_TRUE(message);
        EXPECT_EQ((*message)->index, i);
        EXPECT_EQ((*message)->mz, (std::vector<double>{100.0 + i, 200.0, 300.0}));
      }
      // With an odd count, the next record waits in the slot (and the one
      // after it in send) when the receiving end goes.
      if (received % 2 == 1) {
        EXPECT_TRUE(receiver.wait_for_blocked_sender());
      }
    }  // the receiving end goes away here
    producer.join();
    EXPECT_TRUE(refused) << "after " << received << " records";
    if (received % 2 == 1) {
      EXPECT_EQ(sent.load(), received + 1);  // one record discarded in the slot
    } else {
      EXPECT_GE(sent.load(), received);
      EXPECT_LE(sent.load(), received + 1);
    }
  }
}

}  // namespace
