// A hostile order service on loopback: silence, a drip, a flood, resets, redirects, NUL bytes
// and broken UTF-8, absurd orders. The program stays up, shows what it is designed to show,
// and starts nothing that it should not.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>

#include "app/app.h"
#include "app/help.h"
#include "client/client_api.h"
#include "convert/ffmpeg_ctx.h"
#include "convert/ffmpeg_exec.h"
#include "convert/glue.h"
#include "gui/gui_support.h"
#include "support/loopback_server.h"
#include "support/short_bounds.h"
#include "tray/tray.h"
#include "tray/tray_menu.h"

namespace {

using Strings = std::vector<std::string>;
using Behaviour = std::function<void(ServerConnection&)>;

const std::string kKey = "8badf00d8badf00d8badf00d8badf00d";
const std::string kOrder = "CONVERT AVI 0 0 0 0 0 0 0";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD, what a broken byte is shown as

// The bytes of a literal, NUL bytes included.
template <size_t N>
std::string raw(const char (&bytes)[N]) {
  return std::string(bytes, N - 1);
}

Behaviour body(const std::string& text) {
  return [text](ServerConnection& c) { c.send(http_reply(text)); };
}

std::string base64(const std::string& bytes) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string text = encoded;
  g_free(encoded);
  return text;
}

// An order service whose every endpoint behaves as the test says; commands are looked up by
// their "cmd", the announcement by "hp.php". Endpoints without a behaviour answer 404.
class HostileService {
 public:
  HostileService()
      : server_([this](const RecordedRequest& request, ServerConnection& connection) {
          Behaviour behaviour = [](ServerConnection& c) { c.send(http_reply("not found", 404)); };
          {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string key =
                request.path == "/tovimo/io.php" ? request.query("cmd") : request.path;
            auto found = behaviours_.find(key);
            if (found != behaviours_.end()) behaviour = found->second;
          }
          behaviour(connection);
        }) {}

  void on(const std::string& endpoint, Behaviour behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    behaviours_[endpoint == "hp.php" ? "/tovimo/hp.php" : endpoint] = std::move(behaviour);
  }
  LoopbackServer& server() { return server_; }

 private:
  std::mutex mutex_;
  std::map<std::string, Behaviour> behaviours_;
  LoopbackServer server_;  // last: its thread may call in as soon as it exists
};

// A listener on loopback that nobody accepts from, its accept queue full: further connections
// never complete.
class FullQueue {
 public:
  FullQueue() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), length), 0);
    EXPECT_EQ(listen(listener_, 0), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    // Connections that complete fill the queue, until one does not.
    for (int tries = 0; tries < 64; ++tries) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&addr), length);
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 500) <= 0) {
        close(fd);
        break;
      }
      queued_.push_back(fd);
    }
  }
  ~FullQueue() {
    for (int fd : queued_) close(fd);
    close(listener_);
  }
  FullQueue(const FullQueue&) = delete;
  FullQueue& operator=(const FullQueue&) = delete;

  // The service base on this listener.
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/tovimo/"; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> queued_;
};

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_program(service_.server().base(), kKey);
    clip_ = test_home.desktop + "/clip.flv";
    std::ofstream(clip_) << "FLV";
  }
  void TearDown() override { state_reset(); }

  // "Check task" for the selected clip, answered by `driver`; whether the program ended.
  bool check_task() {
    flv_movie = clip_;
    return run_as_handler(glue_check_task);
  }

  // A poll that brought no usable reply: the designed "poll failed", the program and the
  // selection stay, nothing else happens.
  void expect_poll_failed(const DialogDriver& driver, bool ended) {
    EXPECT_FALSE(ended);
    EXPECT_EQ(driver.titles(), Strings{"poll failed"});
    EXPECT_EQ(driver.seen.at(0).text, "error while polling the server");
    EXPECT_EQ(flv_movie, clip_);
    EXPECT_TRUE(tray_icon_shown());
    EXPECT_EQ(service_.server().commands(), Strings{"poll"});
    EXPECT_TRUE(test_home.converter_calls().empty());
    EXPECT_TRUE(test_home.browser_urls().empty());
  }

  std::string order_page() const { return gs_service_base + "index.php?data=" + kKey + "&ver=1"; }

  HostileService service_;
  ShortBounds bounds_{2, 6};  // no test here waits for the program's 30 s stall bound
  std::string clip_;
};

// A 50 ms timer: the longest time between its ticks; Stop clicked in the converter's window half
// a second after the start, and the converter's end seen.
struct Ticks {
  gint64 started = g_get_monotonic_time(), last = started, longest_gap = 0;
  GtkWidget* window = nullptr;
  std::string converter;  // its process id
  bool stopped = false;
  bool converter_ended = false;
};

gboolean on_tick(gpointer data) {
  auto* t = static_cast<Ticks*>(data);
  const gint64 now = g_get_monotonic_time();
  t->longest_gap = std::max(t->longest_gap, now - t->last);
  t->last = now;
  if (t->stopped) t->converter_ended = t->converter_ended || process_ended(t->converter);
  if (!t->stopped && now - t->started > G_USEC_PER_SEC / 2) {
    t->stopped = true;
    press_button(t->window, "Stop");
  }
  return G_SOURCE_CONTINUE;
}

// A name server that does not answer, for names under kSlowLookup: libcurl's resolver thread
// waits 8 s in the lookup, which this program's definition stands in for.
constexpr char kSlowLookup[] = ".slow-lookup.test";
}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
  using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static const auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node && g_str_has_suffix(node, kSlowLookup)) g_usleep(8 * G_USEC_PER_SEC);
  return next(node, service, hints, result);
}

namespace {

// Chooses Exit in the tray's menu, as a StatusNotifierItem's menu runs its entries.
gboolean on_choose_exit(gpointer) {
  for (const TrayMenuEntry& entry : tray_menu_entries()) {
    if (g_strcmp0(entry.label, "Exit") == 0) entry.handler(nullptr, nullptr);
  }
  return G_SOURCE_REMOVE;
}

// All through the wait for a silent service the program goes on: its timers fire, and Stop in
// the window of a conversion under way ends the converter.
TEST_F(HostileTest, SilentServiceIsAbandonedAtTheStallBoundWhileTheProgramGoesOn) {
  service_.on("poll", [](ServerConnection& c) {
    // Holds the connection for as long as the client stays: only the stall bound ends it.
    c.pause(10 * 60 * 1000);
  });
  g_setenv("TOVIMO_FAKE_FFMPEG_SECONDS", "60", TRUE);
  std::optional<FfmpegTask> task = ffmpeg_parse(kOrder.c_str());
  task->source = clip_;
  task->destination = test_home.videos + "/movie.avi";
  testing::internal::CaptureStdout();  // the printed command line
  ASSERT_TRUE(ffmpeg_execute_task(&*task));
  testing::internal::GetCapturedStdout();
  g_unsetenv("TOVIMO_FAKE_FFMPEG_SECONDS");
  const std::string pid_file = test_home.converter_log + "/pid.0";
  ASSERT_TRUE(wait_until([&] { return g_file_test(pid_file.c_str(), G_FILE_TEST_EXISTS); }));
  Ticks ticks;
  ticks.window = converter_window();
  ticks.converter = read_line(pid_file);
  test_home.forget_calls();
  const guint ticker = g_timeout_add(50, on_tick, &ticks);
  {
    DialogDriver driver;
    driver.then([&](GtkWidget* dialog) {
      // The poll has failed: what went on while it waited.
      EXPECT_TRUE(ticks.converter_ended);
      EXPECT_LT(ticks.longest_gap, (g_get_monotonic_time() - ticks.started) / 4);
      return press("OK")(dialog);
    });
    const bool ended = check_task();
    g_source_remove(ticker);
    expect_poll_failed(driver, ended);
  }
  EXPECT_TRUE(wait_until([&] { return shows(ticks.window, "The conversion was stopped"); }))
      << shown_text(ticks.window);
  gtk_widget_destroy(ticks.window);
}

// Exit chosen from the tray and confirmed while a poll waits, long before any bound, whatever it
// waits for (the reply, its TLS handshake, which the silent service never answers, a
// connection that a full accept queue never completes, or a name server that never answers): the
// poll gives up at once, not at the connect bound, nothing is shown after it, and the program ends.
TEST_F(HostileTest, ExitEndsAPollAtOnceWhateverItWaitsFor) {
  service_.on("poll", [](ServerConnection& c) { c.pause(10 * 60 * 1000); });
  FullQueue full;
  const std::string silent = service_.server().base();
  for (const auto& [waiting, base] : std::vector<std::pair<std::string, std::string>>{
           {"the reply", silent},
           {"the TLS handshake", "https://" + silent.substr(std::strlen("http://"))},
           {"the connection", full.base()},
           {"the name's lookup", std::string("http://service") + kSlowLookup + "/tovimo/"}}) {
    SCOPED_TRACE(waiting);
    reset_program(base, kKey);
    ShortBounds patient{20, 60};
    DialogDriver leaving;
    leaving.then(press("Yes"));
    g_timeout_add(300, on_choose_exit, nullptr);
    const gint64 asked = g_get_monotonic_time();
    EXPECT_TRUE(check_task());
    // Exit comes 0.3 s in; the program ends within 1 s of it (the connect bound is 15 s).
    EXPECT_LT(g_get_monotonic_time() - asked, 1300 * G_USEC_PER_SEC / 1000);
    EXPECT_EQ(leaving.titles(), Strings{"confirm"});
    EXPECT_TRUE(leaving.unexpected.empty());
    EXPECT_TRUE(exit_confirmed);
  }
}

// Exit chosen and confirmed while "Open File", and then the order's question, is open: that window
// ends as if cancelled, the step that opened it returns within a second of the Yes, and nothing
// is sent or started after it.
TEST_F(HostileTest, ExitEndsTheOpenChooserOrQuestionAsIfCancelled) {
  service_.on("poll", body(kOrder));
  for (const std::string open : {"Open File", "Confirmation"}) {
    SCOPED_TRACE(open);
    reset_program(service_.server().base(), kKey);
    gint64 confirmed = 0;
    DialogDriver driver;
    driver
        .then([](GtkWidget*) {
          g_idle_add(on_choose_exit, nullptr);  // left open: Exit is chosen meanwhile
          return true;
        })
        .then([&](GtkWidget* dialog) {
          confirmed = g_get_monotonic_time();
          return press("Yes")(dialog);
        });
    if (open == "Open File") {
      run_as_handler(glue_select_file);
    } else {
      check_task();
    }
    EXPECT_GT(confirmed, 0);
    EXPECT_LT(g_get_monotonic_time() - confirmed, G_USEC_PER_SEC);
    EXPECT_EQ(driver.titles(), (Strings{open, "confirm"}));
    EXPECT_TRUE(driver.unexpected.empty());
    EXPECT_TRUE(exit_confirmed);
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  EXPECT_EQ(service_.server().commands(), Strings{"poll"});  // no "yes", no "cancel"
  EXPECT_TRUE(test_home.converter_calls().empty());
}

// The reply comes while the Exit question is open, and the question stays open past the stall
// and whole-transfer bounds: the transfer went on all the while, so its reply is taken and the
// order asked about.
TEST_F(HostileTest, ReplyThatArrivesWhileAQuestionIsOpenIsTaken) {
  ShortBounds quick{2, 3};
  std::atomic<bool> asking{false};
  std::atomic<gint64> replied{0};
  service_.on("poll", [&](ServerConnection& c) {
    // Answers as soon as the question is up.
    for (int waited = 0; !asking && waited < 200 && c.pause(50); ++waited) {
    }
    c.send(http_reply(kOrder));
    replied = g_get_monotonic_time();
  });
  service_.on("cancel", body("OK"));
  DialogDriver driver;
  driver
      .then([&](GtkWidget* dialog) {
        asking = true;
        // Held open until 3.5 s after the reply came: past both bounds.
        if (!replied || g_get_monotonic_time() - replied < 7 * G_USEC_PER_SEC / 2) return false;
        return press("No")(dialog);
      })
      .then(press("No"));
  g_timeout_add(100, on_choose_exit, nullptr);
  EXPECT_FALSE(check_task());
  EXPECT_EQ(driver.titles(), (Strings{"confirm", "Confirmation"}));
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "cancel"}));
  EXPECT_EQ(flv_movie, std::nullopt);
}

TEST_F(HostileTest, TricklingReplyIsAbandonedAtTheWholeTransferBound) {
  service_.on("poll", [](ServerConnection& c) {
    // Four bytes a second: well clear of a stall, and the order would be complete after 25 s.
    const std::string order = kOrder + std::string(100 - kOrder.size(), ' ');
    if (!c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")) return;
    for (char byte : order) {
      if (!c.send(std::string(1, byte)) || !c.pause(250)) return;
    }
  });
  DialogDriver driver;
  driver.then(press("OK"));
  const bool ended = check_task();
  expect_poll_failed(driver, ended);
}

TEST_F(HostileTest, DrippingReplyIsAbandonedAtTheStallBound) {
  std::atomic<size_t> dripped{0};
  service_.on("poll", [&dripped](ServerConnection& c) {
    // A whole order would arrive after five minutes, one byte every three seconds.
    const std::string order = kOrder + std::string(100 - kOrder.size(), ' ');
    if (!c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")) return;
    for (char byte : order) {
      if (!c.send(std::string(1, byte)) || !c.pause(3000)) return;
      ++dripped;
    }
  });
  DialogDriver driver;
  driver.then(press("OK"));
  const bool ended = check_task();
  expect_poll_failed(driver, ended);
  EXPECT_LT(dripped.load(), kOrder.size());  // left long before the order was complete
}

TEST_F(HostileTest, HugeReplyIsAbandonedAtTheBoundWithoutBeingRead) {
  constexpr size_t kHundredMiB = size_t{100} << 20;
  std::atomic<size_t> taken{0};
  // With a declared length the transfer ends before the body; without one the body streams
  // until the program has read its bound and hangs up.
  for (const bool declared : {true, false}) {
    SCOPED_TRACE(declared ? "declared length" : "length undeclared");
    taken = 0;
    service_.on("poll", [&taken, declared](ServerConnection& c) {
      std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
      if (declared) head += "Content-Length: " + std::to_string(kHundredMiB) + "\r\n";
      if (!c.send(head + "\r\n")) return;
      const std::string block = kOrder + std::string(64 * 1024 - kOrder.size(), ' ');
      for (size_t sent = 0; sent < kHundredMiB; sent += block.size()) {
        if (!c.send(block)) return;
        taken += block.size();
      }
    });
    test_home.forget_calls();
    DialogDriver driver;
    driver.then(press("OK"));
    LoopbackServer& server = service_.server();
    const size_t before = server.commands().size();
    const bool ended = check_task();
    EXPECT_FALSE(ended);
    EXPECT_EQ(driver.titles(), Strings{"poll failed"});
    EXPECT_EQ(flv_movie, clip_);
    EXPECT_EQ(server.commands().size(), before + 1);
    // The program never held more than the socket buffers and its bound: far from all of it.
    EXPECT_LT(taken.load(), kHundredMiB / 4);
    EXPECT_TRUE(test_home.converter_calls().empty());
  }
}

TEST_F(HostileTest, ResetConnectionIsNoReplyEvenAfterPartOfTheOrder) {
  const std::vector<std::pair<std::string, Behaviour>> resets = {
      {"before any reply", [](ServerConnection& c) { c.reset(); }},
      {"half-way through the order",
       [](ServerConnection& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 60\r\n\r\n" + kOrder);
         c.reset();
       }},
  };
  for (const auto& [when, behaviour] : resets) {
    SCOPED_TRACE(when);
    service_.on("poll", behaviour);
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_FALSE(check_task());
    EXPECT_EQ(driver.titles(), Strings{"poll failed"});  // no order question
    EXPECT_EQ(flv_movie, clip_);
  }
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "poll"}));
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(HostileTest, RedirectIsNotFollowedAndItsBodyIsTheReply) {
  service_.on("poll", [](ServerConnection& c) {
    c.send(http_reply("OK", 302, "Location: /tovimo/elsewhere.php\r\n"));
  });
  service_.on("/tovimo/elsewhere.php", body(kOrder));
  DialogDriver driver;
  EXPECT_FALSE(check_task());
  EXPECT_TRUE(driver.seen.empty());  // no order question
  ASSERT_TRUE(wait_until([] { return !test_home.browser_urls().empty(); }));
  EXPECT_EQ(test_home.browser_urls(), Strings{order_page()});
  for (const RecordedRequest& r : service_.server().requests()) EXPECT_EQ(r.path, "/tovimo/io.php");
  EXPECT_EQ(flv_movie, clip_);
}

TEST_F(HostileTest, LoginReplyWithNulOrInvalidUtf8) {
  // What a C text of the body reads: up to its first NUL byte.
  service_.on("login", body(raw("OK\0\xff garbage")));
  {
    DialogDriver driver;
    EXPECT_EQ(app_try_login(), 1);
    EXPECT_TRUE(driver.seen.empty());
  }
  service_.on("login", body(raw("\xff\xfe refused \xc3\0hidden")));
  {
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_EQ(app_try_login(), 0);
    EXPECT_EQ(driver.titles(), Strings{"login error"});
    EXPECT_EQ(driver.seen.at(0).text, kReplacement + kReplacement + " refused " + kReplacement);
  }
}

TEST_F(HostileTest, PollReplyWithNulOrInvalidUtf8StartsNothing) {
  // An order hidden behind a NUL byte is never seen: "OK" alone opens the order page.
  service_.on("poll", body(raw("OK\0") + kOrder));
  {
    DialogDriver driver;
    EXPECT_FALSE(check_task());
    EXPECT_TRUE(driver.seen.empty());
    ASSERT_TRUE(wait_until([] { return !test_home.browser_urls().empty(); }));
    EXPECT_EQ(test_home.browser_urls(), Strings{order_page()});
    EXPECT_EQ(flv_movie, clip_);
  }
  // Nothing readable before the NUL, or bytes that are not UTF-8: a data error that ends the
  // program before any question.
  for (const std::string& reply : {raw("\0") + kOrder, "\xc3\x28" + kOrder}) {
    service_.on("poll", body(reply));
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_TRUE(check_task());
    EXPECT_EQ(driver.titles(), Strings{"data error"});
    EXPECT_EQ(driver.seen.at(0).text, "data transmission error");
    tray_show();
  }
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "poll", "poll"}));
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(HostileTest, YesReplyWithNulOrInvalidUtf8) {
  service_.on("poll", body(kOrder));
  // Broken bytes in front of "OK": not a consent; the selection ends, nothing starts.
  service_.on("yes", body(std::string("\xff") + "OK"));
  {
    DialogDriver driver;
    driver.then(press("Yes"));
    EXPECT_FALSE(check_task());
    EXPECT_EQ(driver.titles(), Strings{"Confirmation"});
    EXPECT_EQ(flv_movie, std::nullopt);
  }
  // "OK" and then a NUL and junk reads as "OK": the save chooser follows.
  service_.on("yes", body(raw("OK\0\xff\xfe")));
  {
    DialogDriver driver;
    driver.then(press("Yes")).then(press("Cancel")).then(press("OK"));
    EXPECT_FALSE(check_task());
    ASSERT_TRUE(driver.drain());
    EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "Save File", "Tovimo"}));
    EXPECT_EQ(driver.seen.at(2).text, "Canceled");
  }
  EXPECT_EQ(service_.server().commands(), (Strings{"poll", "yes", "poll", "yes"}));
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(HostileTest, CancelReplyWithNulOrInvalidUtf8) {
  service_.on("poll", body(kOrder));
  const std::vector<std::pair<std::string, Strings>> cases = {
      {raw("OK\0\xff\r\n"), {}},                                 // reads as "OK"
      {std::string("\xff\xfe") + "ERROR", {"UNHANDLED ERROR"}},  // no message word
      {raw("ERROR SGVsbG8=\0\xff\xfe"), {"Hello"}},              // message before NUL
      {"ERROR SGk/\xff\r\n", {"Hi?"}},                           // bytes outside base64 are skipped
  };
  for (const auto& [reply, texts] : cases) {
    SCOPED_TRACE(testing::PrintToString(reply));
    service_.on("cancel", body(reply));
    DialogDriver driver;
    driver.then(press("No"));
    for (size_t i = 0; i < texts.size(); ++i) driver.then(press("OK"));
    EXPECT_FALSE(check_task());  // no quit after a reply to cancel
    Strings shown;
    for (size_t i = 1; i < driver.seen.size(); ++i) shown.push_back(driver.seen[i].text);
    EXPECT_EQ(driver.seen.at(0).title, "Confirmation");
    EXPECT_EQ(shown, texts);
    EXPECT_EQ(flv_movie, std::nullopt);
    EXPECT_TRUE(tray_icon_shown());
  }
  EXPECT_TRUE(test_home.converter_calls().empty());
}

TEST_F(HostileTest, AnnouncementWithNulOrInvalidUtf8IsShownRepaired) {
  int argc = 0;
  char** argv = nullptr;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {raw("<b>New</b>\xff\0hidden"), "New" + kReplacement},
      {raw("SKIP\0"), "SKIP"},  // not exactly "SKIP"
  };
  for (const auto& [reply, shown] : cases) {
    SCOPED_TRACE(testing::PrintToString(reply));
    ASSERT_EQ(application_init(&argc, &argv), 1);  // a fresh announcement dialog
    hash = kKey;
    service_.on("hp.php", body(reply));
    DialogDriver driver;
    driver.then(press("OK"));
    try_show_help();
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].text, shown);
    EXPECT_TRUE(g_utf8_validate(driver.seen[0].text.c_str(), -1, nullptr));
  }
}

TEST_F(HostileTest, OrderOfTenThousandFieldsUsesTheFirstNine) {
  std::string order = kOrder;
  for (int field = 9; field < 10000; ++field) order += " -x";
  service_.on("poll", body(order + "\r\n"));
  service_.on("yes", body("OK"));
  DialogDriver driver;
  driver.then(press("Yes")).then(save_as()).then(press("OK"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(check_task());
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(wait_until([] { return !test_home.converter_calls().empty(); }));
  EXPECT_EQ(test_home.converter_calls(),
            (std::vector<Strings>{
                {"ffmpeg", "-i", clip_, "-f", "avi", "-y", test_home.videos + "/movie.avi"}}));
  ASSERT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), (Strings{"Confirmation", "Save File", "status"}));
}

TEST_F(HostileTest, HostileValuesReachTheConverterUnchanged) {
  const std::string planted = test_home.root + "/planted";
  // Shell syntax is data here: nothing may run it, expand it or split it.
  const Strings values = {"MP4",    "#320x240", "'\"'\\'",
                          "a\\b\\", "x\ty",     "$(touch${IFS}" + planted + ")",
                          "`id`*",  "~;|&>1"};
  std::string order = "CONVERT";
  for (const std::string& v : values) order += " " + v;
  service_.on("poll", body(order));
  service_.on("yes", body("OK"));
  const std::string odd_clip = test_home.desktop + "/#it's \"odd\"\t\\.flv";
  std::ofstream(odd_clip) << "FLV";
  const std::string odd_name = "#out 'q\" \\.avi";
  DialogDriver driver;
  driver.then(press("Yes")).then(save_as(odd_name)).then(press("OK"));
  testing::internal::CaptureStdout();
  flv_movie = odd_clip;
  EXPECT_FALSE(run_as_handler(glue_check_task));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(wait_until([] { return !test_home.converter_calls().empty(); }));
  EXPECT_EQ(test_home.converter_calls()[0],
            (Strings{"ffmpeg",  "-i",      odd_clip,
                     "-f",      "mp4",     "-s",
                     values[1], "-b",      values[2],
                     "-vcodec", values[4], "-acodec",
                     values[5], "-ab",     values[3],
                     "-ar",     values[6], "-ac",
                     values[7], "-y",      test_home.videos + "/" + odd_name}));
  ASSERT_TRUE(driver.drain());
  EXPECT_FALSE(g_file_test(planted.c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(HostileTest, BinaryErrorMessageIsShownRepaired) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xff\xfe\xfd binary \x80 end",
       kReplacement + kReplacement + kReplacement + " binary " + kReplacement + " end"},
      {raw("\x80\x81ok\0tail"), kReplacement + kReplacement + "ok"},
  };
  for (const auto& [message, shown] : cases) {
    SCOPED_TRACE(shown);
    service_.on("poll", body("ERROR " + base64(message) + "\r\n"));
    DialogDriver driver;
    driver.then(press("OK"));
    EXPECT_TRUE(check_task());  // an error reply to a poll ends the program, as designed
    EXPECT_EQ(driver.titles(), Strings{"error"});
    EXPECT_EQ(driver.seen.at(0).text, shown);
    EXPECT_FALSE(tray_icon_shown());
    tray_show();
  }
  EXPECT_TRUE(test_home.converter_calls().empty());
}

}  // namespace
