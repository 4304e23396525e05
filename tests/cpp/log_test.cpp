#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/log.hpp"

namespace {

using velorium::log::Level;
using velorium::testing::LogCapture;

TEST(Log, StartsOffAndAdmitsNothing) {
  EXPECT_EQ(velorium::log::max_level(), Level::Off);
  EXPECT_FALSE(velorium::log::enabled(Level::Warn));
  EXPECT_FALSE(velorium::log::enabled(Level::Off));
}

TEST(Log, LevelIsCheckedBeforeTheMessageIsBuilt) {
  int built = 0;
  const auto part = [&] {
    ++built;
    return std::string("x");
  };
  VELORIUM_LOG(Level::Warn, "t", part());
  EXPECT_EQ(built, 0);

  LogCapture capture(Level::Info);
  VELORIUM_LOG(Level::Debug, "t", part());
  EXPECT_EQ(built, 0);
  VELORIUM_LOG(Level::Warn, "velorium::reader", "a", 1, part());
  EXPECT_EQ(built, 1);
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0], (velorium::testing::CapturedRecord{"velorium::reader", Level::Warn, "a1x"}));
}

TEST(Log, CaptureRestoresOff) {
  { LogCapture capture; }
  EXPECT_EQ(velorium::log::max_level(), Level::Off);
  velorium::log::emit(Level::Warn, "t", "dropped");  // no sink, level off: nothing happens
  // A sink installed while the level is off receives nothing either.
  std::atomic<int> received{0};
  velorium::log::set_sink([&](const velorium::log::Record&) { received.fetch_add(1); });
  velorium::log::emit(Level::Error, "t", "dropped");
  VELORIUM_LOG(Level::Error, "t", "dropped");
  EXPECT_EQ(received.load(), 0);
  velorium::log::set_max_level(Level::Error);
  velorium::log::emit(Level::Error, "t", "kept");
  velorium::log::emit(Level::Warn, "t", "dropped");
  velorium::log::set_max_level(Level::Off);
  velorium::log::set_sink({});
  EXPECT_EQ(received.load(), 1);
}

TEST(Log, SinkReceivesRecordsFromSeveralThreads) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) VELORIUM_LOG(Level::Debug, "t", i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.records().size(), 400u);
}

}  // namespace
