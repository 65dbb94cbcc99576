// Client keys and their orders, kept in an SQLite file so that they outlive the service.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/protocol.h"

namespace svc {

struct SqliteClose {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteClose>;

// A storage failure: the file cannot be opened, is not ours, or a statement failed.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class OrderState { kOpen, kAccepted, kCancelled };

struct StoredOrder {
  Order order;
  OrderState state;
  std::int64_t placed_at;                 // seconds since the epoch
  std::optional<std::int64_t> closed_at;  // none while open
};

// One connection shared by all request threads; every operation holds the lock and runs in one
// transaction, so concurrent requests are serialised and none is lost. Every method throws
// StoreError on failure.
class OrderStore {
 public:
  // Opens or creates the database at `path` (":memory:" for a private one).
  explicit OrderStore(const std::string& path);

  OrderStore(const OrderStore&) = delete;
  OrderStore& operator=(const OrderStore&) = delete;

  // Records a login. True for the key's first login, even when the key was seen before
  // through a poll or its order page.
  bool login(const std::string& key);
  // Makes the key known without counting a login.
  void remember(const std::string& key);

  std::optional<Order> open_order(const std::string& key);
  // Stores `order` as the key's open order; an order that was open is cancelled.
  void place_order(const std::string& key, const Order& order);
  // Closes the key's open order with `outcome` (kAccepted or kCancelled); false when the key
  // has no open order.
  bool close_order(const std::string& key, OrderState outcome);

  // Every order of the key, oldest first.
  std::vector<StoredOrder> history(const std::string& key);

  // The secret that order form tokens are made with, made at the file's first use.
  const std::string& form_secret() const { return form_secret_; }

 private:
  std::mutex mutex_;
  SqliteDb db_;
  std::string form_secret_;
};

}  // namespace svc
