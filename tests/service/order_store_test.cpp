// The SQLite order book: persistence, one open order per key, concurrent writers.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "service/order_store.h"
#include "service_support.h"

namespace svc {
namespace {

using svctest::test_key;

Order order_with(const std::string& format, const std::string& audio_codec) {
  Order order = make_order(format);
  order.option(Option::kAudioCodec) = audio_codec;
  return order;
}

class ServiceStore : public ::testing::Test {
 protected:
  svctest::TempDir dir_;
  std::string path_ = dir_.file("orders.sqlite");
};

TEST_F(ServiceStore, KeepsKeysAndOrdersAcrossReopening) {
  {
    OrderStore store(path_);
    store.remember(test_key(1));  // a poll before the first login
    EXPECT_TRUE(store.login(test_key(1)));
    store.place_order(test_key(1), order_with("3GP", "aac"));
  }
  OrderStore store(path_);
  EXPECT_FALSE(store.login(test_key(1)));
  EXPECT_EQ(store.open_order(test_key(1)), order_with("3GP", "aac"));
  EXPECT_EQ(store.open_order(test_key(2)), std::nullopt);
}

TEST_F(ServiceStore, KeepsOneOpenOrderPerKeyUntilItIsClosed) {
  OrderStore store(path_);
  store.place_order(test_key(1), order_with("AVI", "mp3"));
  store.place_order(test_key(1), order_with("MOV", "aac"));
  store.place_order(test_key(2), order_with("PSP", "aac"));
  EXPECT_EQ(store.open_order(test_key(1))->format, "MOV");
  EXPECT_TRUE(store.close_order(test_key(1), OrderState::kAccepted));
  EXPECT_FALSE(store.close_order(test_key(1), OrderState::kCancelled));
  EXPECT_EQ(store.open_order(test_key(1)), std::nullopt);
  EXPECT_EQ(store.open_order(test_key(2))->format, "PSP");

  const std::vector<StoredOrder> history = store.history(test_key(1));
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].state, OrderState::kCancelled);  // replaced
  EXPECT_EQ(history[1].state, OrderState::kAccepted);
  EXPECT_GE(history[1].closed_at.value_or(-1), history[1].placed_at);
}

// Should anything slip past the form, the table itself refuses a space or an unknown format.
TEST_F(ServiceStore, RefusesWhatCouldBreakTheOrderLine) {
  OrderStore store(path_);
  EXPECT_THROW(store.place_order(test_key(1), order_with("3GP", "a ac")), StoreError);
  EXPECT_THROW(store.place_order(test_key(1), order_with("3gp", "aac")), StoreError);
  EXPECT_TRUE(store.history(test_key(1)).empty());
  std::ofstream(dir_.file("text")) << "not a database, but long enough to be read as one\n";
  EXPECT_THROW(OrderStore(dir_.file("text")), StoreError);
}

// Threads on two connections to one file, two threads per key: every placement is kept and
// each key ends with exactly one open order, its latest.
TEST_F(ServiceStore, ConcurrentPlacementsLoseNothing) {
  constexpr int kThreads = 8, kKeys = 4, kEach = 25;
  OrderStore first(path_), second(path_);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        OrderStore& store = t % 2 ? second : first;
        store.place_order(test_key(t % kKeys),
                          order_with("MP4", "c" + std::to_string(t * 100 + i)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> codecs;
  for (int k = 0; k < kKeys; ++k) {
    const std::vector<StoredOrder> history = first.history(test_key(k));
    EXPECT_EQ(history.size(), std::size_t{kThreads / kKeys * kEach});
    for (const StoredOrder& stored : history) {
      EXPECT_EQ(stored.state == OrderState::kOpen, &stored == &history.back());
      codecs.insert(stored.order.option(Option::kAudioCodec));
    }
  }
  EXPECT_EQ(codecs.size(), std::size_t{kThreads * kEach});
}

}  // namespace
}  // namespace svc
