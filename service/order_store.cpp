#include "service/order_store.h"

#include <utility>

#include "service/form_guard.h"

namespace svc {

namespace {

struct SqliteFinalize {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using SqliteStmt = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;  // another process on the same file, e.g. a second service

// Stored fields may never hold a space: the order line is split at spaces.
constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS client_keys (
  key        TEXT PRIMARY KEY NOT NULL CHECK (length(key) = 32),
  first_seen INTEGER NOT NULL,
  last_login INTEGER
);
CREATE TABLE IF NOT EXISTS orders (
  id             INTEGER PRIMARY KEY,
  key            TEXT NOT NULL REFERENCES client_keys (key),
  format         TEXT NOT NULL CHECK (format IN ('AVI', 'WMV', '3GP', 'MOV', 'PSP', 'MP4')),
  frame_size     TEXT NOT NULL CHECK (frame_size <> '' AND instr(frame_size, ' ') = 0),
  video_bitrate  TEXT NOT NULL CHECK (video_bitrate <> '' AND instr(video_bitrate, ' ') = 0),
  audio_bitrate  TEXT NOT NULL CHECK (audio_bitrate <> '' AND instr(audio_bitrate, ' ') = 0),
  video_codec    TEXT NOT NULL CHECK (video_codec <> '' AND instr(video_codec, ' ') = 0),
  audio_codec    TEXT NOT NULL CHECK (audio_codec <> '' AND instr(audio_codec, ' ') = 0),
  audio_rate     TEXT NOT NULL CHECK (audio_rate <> '' AND instr(audio_rate, ' ') = 0),
  audio_channels TEXT NOT NULL CHECK (audio_channels <> '' AND instr(audio_channels, ' ') = 0),
  state          TEXT NOT NULL DEFAULT 'open' CHECK (state IN ('open', 'accepted', 'cancelled')),
  placed_at      INTEGER NOT NULL,
  closed_at      INTEGER
);
CREATE UNIQUE INDEX IF NOT EXISTS orders_one_open_per_key ON orders (key) WHERE state = 'open';
CREATE INDEX IF NOT EXISTS orders_by_key ON orders (key, id);
CREATE TABLE IF NOT EXISTS form_secret (
  id     INTEGER PRIMARY KEY CHECK (id = 1),
  secret TEXT NOT NULL CHECK (length(secret) = 64)
);
)sql";

constexpr char kOrderColumns[] =
    "format, frame_size, video_bitrate, audio_bitrate, video_codec, audio_codec, audio_rate, "
    "audio_channels";
constexpr char kNow[] = "CAST(strftime('%s', 'now') AS INTEGER)";

const char* state_name(OrderState state) {
  switch (state) {
    case OrderState::kOpen:
      return "open";
    case OrderState::kAccepted:
      return "accepted";
    case OrderState::kCancelled:
      return "cancelled";
  }
  return "open";
}

OrderState state_named(const std::string& name) {
  if (name == "accepted") return OrderState::kAccepted;
  if (name == "cancelled") return OrderState::kCancelled;
  return OrderState::kOpen;
}

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw StoreError(what + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, "SQL failed");
}

// One prepared statement with its parameters bound in order.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      fail(db, "cannot prepare statement");
    }
    stmt_.reset(raw);
  }

  Statement& bind(const std::string& text) {
    if (sqlite3_bind_text(stmt_.get(), ++bound_, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
      fail(db_, "cannot bind parameter");
    }
    return *this;
  }

  // True while a row is available.
  bool step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail(db_, "statement failed");
    return false;
  }

  bool is_null(int column) const { return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL; }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
  std::string text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), column));
    return bytes ? std::string(bytes, sqlite3_column_bytes(stmt_.get(), column)) : std::string();
  }

  // The order held in columns first .. first + 7.
  Order order(int first) const {
    Order order = make_order(text(first));
    for (std::size_t i = 0; i < kOptionCount; ++i) {
      order.options[i] = text(first + 1 + static_cast<int>(i));
    }
    return order;
  }

 private:
  sqlite3* db_;
  SqliteStmt stmt_;
  int bound_ = 0;
};

// Rolls back unless committed, so an exception leaves the file as it was.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

void insert_key(sqlite3* db, const std::string& key) {
  Statement(db, std::string("INSERT OR IGNORE INTO client_keys (key, first_seen) VALUES (?, ") +
                    kNow + ")")
      .bind(key)
      .step();
}

}  // namespace

OrderStore::OrderStore(const std::string& path) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);  // a failed open still hands back a handle that must be closed
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open " + path + ": " +
                     (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3* db = db_.get();
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  exec(db, "PRAGMA foreign_keys = ON");
  Statement(db, "PRAGMA journal_mode = WAL").step();
  exec(db, "PRAGMA synchronous = NORMAL");

  Transaction transaction(db);
  Statement version(db, "PRAGMA user_version");
  version.step();
  const std::int64_t found = version.integer(0);
  if (found > kSchemaVersion) {
    throw StoreError(path + " was written by a newer service (schema " + std::to_string(found) +
                     ")");
  }
  exec(db, kSchema);
  exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  // Made once and kept, so that an order page opened before a restart still places orders.
  std::string fresh;
  try {
    fresh = new_form_secret();
  } catch (const std::runtime_error& e) {
    throw StoreError(e.what());
  }
  Statement(db, "INSERT OR IGNORE INTO form_secret (id, secret) VALUES (1, ?)").bind(fresh).step();
  Statement secret(db, "SELECT secret FROM form_secret WHERE id = 1");
  secret.step();
  form_secret_ = secret.text(0);
  transaction.commit();
}

bool OrderStore::login(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  Statement seen(db, "SELECT last_login IS NOT NULL FROM client_keys WHERE key = ?");
  seen.bind(key);
  const bool logged_in_before = seen.step() && seen.integer(0) != 0;
  insert_key(db, key);
  Statement(db, std::string("UPDATE client_keys SET last_login = ") + kNow + " WHERE key = ?")
      .bind(key)
      .step();
  transaction.commit();
  return !logged_in_before;
}

void OrderStore::remember(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction transaction(db_.get());
  insert_key(db_.get(), key);
  transaction.commit();
}

std::optional<Order> OrderStore::open_order(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_.get(), std::string("SELECT ") + kOrderColumns +
                                  " FROM orders WHERE key = ? AND state = 'open'");
  select.bind(key);
  if (!select.step()) return std::nullopt;
  return select.order(0);
}

void OrderStore::place_order(const std::string& key, const Order& order) {
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  insert_key(db, key);
  Statement(db, std::string("UPDATE orders SET state = 'cancelled', closed_at = ") + kNow +
                    " WHERE key = ? AND state = 'open'")
      .bind(key)
      .step();
  Statement insert(db, std::string("INSERT INTO orders (key, ") + kOrderColumns +
                           ", placed_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, " + kNow + ")");
  insert.bind(key).bind(order.format);
  for (const std::string& value : order.options) insert.bind(value);
  insert.step();
  transaction.commit();
}

bool OrderStore::close_order(const std::string& key, OrderState outcome) {
  if (outcome == OrderState::kOpen) throw StoreError("an order closes as accepted or cancelled");
  std::lock_guard<std::mutex> lock(mutex_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  Statement(db, std::string("UPDATE orders SET state = ?, closed_at = ") + kNow +
                    " WHERE key = ? AND state = 'open'")
      .bind(state_name(outcome))
      .bind(key)
      .step();
  const bool closed = sqlite3_changes(db) > 0;
  transaction.commit();
  return closed;
}

std::vector<StoredOrder> OrderStore::history(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_.get(), std::string("SELECT ") + kOrderColumns +
                                  ", state, placed_at, closed_at FROM orders WHERE key = ? "
                                  "ORDER BY id");
  select.bind(key);
  std::vector<StoredOrder> orders;
  while (select.step()) {
    StoredOrder stored{select.order(0), state_named(select.text(8)), select.integer(9),
                       std::nullopt};
    if (!select.is_null(10)) stored.closed_at = select.integer(10);
    orders.push_back(std::move(stored));
  }
  return orders;
}

}  // namespace svc
