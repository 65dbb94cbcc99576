// The whole protocol against the service running in-process on a loopback port.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "service/form_guard.h"
#include "service/http_service.h"
#include "service_support.h"

namespace svc {
namespace {

using svctest::test_key;

const std::string kKey = test_key(0xabc);
const char kNoOpenOrder[] = "ERROR Tm8gb3BlbiBvcmRlciBmb3IgdGhpcyBrZXk=";  // "No open order..."

class ServiceHttp : public ::testing::Test {
 protected:
  void SetUp() override { start(std::nullopt); }
  void TearDown() override { stop(); }

  void start(std::optional<std::string> announcement, std::vector<std::string> public_hosts = {}) {
    store_.emplace(dir_.file("orders.sqlite"));
    service_.emplace(
        *store_, ServiceSettings{std::move(announcement), std::move(public_hosts), std::nullopt},
        nullptr);
    const std::optional<int> port = service_->bind("127.0.0.1", 0);
    ASSERT_TRUE(port);
    thread_ = std::thread([this] { service_->run(); });
    ASSERT_TRUE(svctest::wait_until([this] { return service_->is_running(); }));
    client_.emplace("127.0.0.1", *port);
    host_ = "127.0.0.1:" + std::to_string(*port);
  }
  void stop() {
    service_->stop();
    thread_.join();
    service_.reset();
    store_.reset();
  }

  // Status and body; status 0 when no reply came.
  std::pair<int, std::string> get(const std::string& target) {
    const httplib::Result res = client_->Get(target.c_str());
    return res ? std::make_pair(res->status, res->body) : std::make_pair(0, std::string());
  }
  std::string io(const std::string& cmd, const std::string& key = kKey) {
    return get("/tovimo/io.php?cmd=" + cmd + "&data=" + key + "&ver=1").second;
  }
  // The form token on the key's order page, as a browser gets it.
  std::string token_of(const std::string& key) {
    return svctest::field_value(get("/tovimo/index.php?data=" + key + "&ver=1").second, "token")
        .value_or("(no token on the page)");
  }
  // Posts `form` with the key, and with its token unless `token` says otherwise.
  std::pair<int, std::string> post_order(httplib::Params form, const std::string& key = kKey,
                                         std::optional<std::string> token = std::nullopt,
                                         const httplib::Headers& headers = {}) {
    form.emplace("data", key);
    if (!token) token = token_of(key);
    if (!token->empty()) form.emplace("token", *token);
    const httplib::Result res = client_->Post("/tovimo/index.php", headers, form);
    return res ? std::make_pair(res->status, res->body) : std::make_pair(0, std::string());
  }

  svctest::TempDir dir_;
  std::optional<OrderStore> store_;
  std::optional<HttpService> service_;
  std::thread thread_;
  std::optional<httplib::Client> client_;
  std::string host_;  // as the client names it in Host
};

TEST_F(ServiceHttp, LoginSaysNewbieOnceThenOk) {
  EXPECT_EQ(io("login"), "NEWBIE");
  EXPECT_EQ(io("login"), "OK");
  EXPECT_EQ(io("login", test_key(2)), "NEWBIE");
}

TEST_F(ServiceHttp, PollGivesTheOrderLineUntilYesOrCancelClosesIt) {
  EXPECT_EQ(io("poll"), "OK");  // an unknown key is taken as known
  EXPECT_EQ(io("yes"), kNoOpenOrder);
  const auto [status, page] = post_order({{"format", "3GP"}, {"audio_codec", "aac"}});
  EXPECT_EQ(status, 200);
  EXPECT_NE(page.find("Your order has been placed"), std::string::npos);
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 aac 0 0");
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 aac 0 0");  // polling leaves it open
  EXPECT_EQ(io("poll", test_key(2)), "OK");
  EXPECT_EQ(io("yes"), "OK");
  EXPECT_EQ(io("poll"), "OK");
  EXPECT_EQ(io("yes"), kNoOpenOrder);

  post_order({{"format", "AVI"}});
  post_order({{"format", "MP4"}, {"frame_size", "640x480"}, {"audio_channels", "2"}});
  EXPECT_EQ(io("poll"), "CONVERT MP4 640x480 0 0 0 0 0 2");  // the newer order replaced it
  EXPECT_NE(get("/tovimo/index.php?data=" + kKey + "&ver=1").second.find("CONVERT MP4 640x480"),
            std::string::npos);
  EXPECT_EQ(io("cancel"), "OK");
  EXPECT_EQ(io("poll"), "OK");
  EXPECT_EQ(io("cancel"), kNoOpenOrder);
}

TEST_F(ServiceHttp, MalformedQueriesGetErrorRepliesNotCrashes) {
  const std::string io_php = "/tovimo/io.php";
  for (const std::string& target :
       {io_php, io_php + "?cmd=poll&ver=1", io_php + "?cmd=poll&data=" + kKey,
        io_php + "?cmd=poll&data=" + kKey + "&ver=2", io_php + "?cmd=rm&data=" + kKey + "&ver=1",
        io_php + "?cmd=poll&data=" + kKey.substr(1) + "&ver=1",
        io_php + "?cmd=poll&data=%00" + kKey.substr(1) + "&ver=1",
        io_php + "?cmd=poll&data=" + kKey + "%20&ver=1", io_php + "?%zz=%&&=&cmd",
        "/tovimo/hp.php?hash=" + kKey + "&ver=0"}) {
    const auto [status, body] = get(target);
    EXPECT_EQ(status, 200) << target;
    EXPECT_EQ(body.rfind("ERROR ", 0), 0u) << target << " -> " << body;
    EXPECT_EQ(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789+/=",
                                     6),
              std::string::npos)
        << body;
  }
  EXPECT_EQ(io("login"), "NEWBIE");  // still serving, and nothing above registered the key
}

TEST_F(ServiceHttp, AnnouncementIsSkipUnlessOneIsSet) {
  const std::string hp = "/tovimo/hp.php?hash=" + kKey + "&ver=1";
  EXPECT_EQ(get(hp).second, "SKIP");
  stop();
  start("<b>Maintenance</b> tonight");
  const httplib::Result res = client_->Get(hp.c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, "<b>Maintenance</b> tonight");
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; charset=utf-8");
}

TEST_F(ServiceHttp, ServesThePagesAndNothingElse) {
  EXPECT_NE(get("/tovimo/index.php").second.find("href=\"tutorial.php\""), std::string::npos);
  EXPECT_NE(get("/tovimo/tutorial.php").second.find("Check task"), std::string::npos);
  const auto [status, page] = get("/tovimo/index.php?data=" + kKey);
  EXPECT_EQ(status, 200);
  EXPECT_NE(page.find("<form method=\"post\""), std::string::npos);
  EXPECT_NE(page.find("name=\"data\" value=\"" + kKey + "\""), std::string::npos);
  EXPECT_EQ(get("/tovimo/index.php?data=%3Cscript%3E").first, 400);
  for (const char* target : {"/tovimo/other.php", "/tovimo/", "/", "/tovimo/io.php/x"}) {
    EXPECT_EQ(get(target), std::make_pair(404, std::string("Not found\n"))) << target;
  }
}

TEST_F(ServiceHttp, FormRefusesBadInputAndStoresNothing) {
  for (const httplib::Params& form :
       std::vector<httplib::Params>{{{"format", "3GP"}, {"audio_codec", "a ac"}},
                                    {{"format", "3GP"}, {"audio_codec", "a\tac"}},
                                    {{"format", "3GP"}, {"frame_size", "320x240\n1"}},
                                    {{"format", "3GP"}, {"video_codec", "h\xc3\xa9vc"}},
                                    {{"format", "3G P"}},
                                    {{"audio_codec", "aac"}}}) {
    const auto [status, page] = post_order(form);
    EXPECT_EQ(status, 422);
    EXPECT_NE(page.find("Your order was not placed"), std::string::npos);
    EXPECT_EQ(io("poll"), "OK");
  }
  EXPECT_NE(post_order({{"format", "3GP"}, {"audio_codec", "a ac"}}).second.find("value=\"a ac\""),
            std::string::npos);  // shown again for correction
  EXPECT_EQ(post_order({{"format", " 3GP "}, {"audio_codec", "  aac\t"}}).first, 200);
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 aac 0 0");
  EXPECT_EQ(post_order({{"format", "AVI"}}, "not-a-key").first, 400);
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 aac 0 0");
}

// A page on another site can make the user's browser post the form, with a stolen token at
// worst; none of that may touch the order.
TEST_F(ServiceHttp, RefusesOrderFormsFromOtherSitesAndChangesNothing) {
  ASSERT_EQ(post_order({{"format", "3GP"}}).first, 200);
  const std::string token = token_of(kKey);
  for (const auto& [form_token, headers] : std::vector<std::pair<std::string, httplib::Headers>>{
           {"", {}},                                   // no token
           {token_of(test_key(2)), {}},                // another key's
           {std::string(token.size(), '0'), {}},       // made up
           {token, {{"Origin", "http://evil.test"}}},  // a foreign page that knows the token
           {token, {{"Origin", "http://evil.test"}, {"Referer", "http://" + host_ + "/"}}},
           {token, {{"Origin", "null"}}},  // a sandboxed or local page
           {token, {{"Origin", "http://" + host_ + ".evil.test"}}},
           {token, {{"Origin", "https://" + host_}}},  // this service speaks http
           {token, {{"Referer", "https://evil.test/tovimo/index.php"}}}}) {
    const auto [status, page] = post_order({{"format", "AVI"}}, kKey, form_token, headers);
    EXPECT_EQ(status, 403) << (headers.empty() ? form_token : headers.begin()->second);
    EXPECT_NE(page.find("Your order was not placed"), std::string::npos);
    EXPECT_NE(page.find("href=\"index.php?data=" + kKey + "&amp;ver=1\""), std::string::npos);
  }
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 0 0 0");
  EXPECT_EQ(store_->history(kKey).size(), 1u);

  // The order page itself, as a browser posts it, and again after a restart.
  const httplib::Headers own = {{"Origin", "http://" + host_},
                                {"Referer", "http://" + host_ + "/tovimo/index.php?data=" + kKey}};
  EXPECT_EQ(post_order({{"format", "MOV"}}, kKey, token, own).first, 200);
  stop();
  start(std::nullopt);
  EXPECT_EQ(post_order({{"format", "MP4"}}, kKey, token).first, 200);
  EXPECT_EQ(io("poll"), "CONVERT MP4 0 0 0 0 0 0 0");
}

// A page on a name that merely resolves to the service (DNS rebinding) reaches it with a Host
// of its own: it gets neither the order page with its token nor the form, and changes nothing.
TEST_F(ServiceHttp, AnswersOnlyTheHostsItServes) {
  ASSERT_EQ(post_order({{"format", "3GP"}}).first, 200);
  const std::string token = token_of(kKey), port = host_.substr(host_.find(':'));
  const auto as_host = [&](const std::string& host) {
    const httplib::Result page =
        client_->Get(("/tovimo/index.php?data=" + kKey).c_str(), {{"Host", host}});
    return page ? std::make_pair(page->status, page->body) : std::make_pair(0, std::string());
  };
  for (const std::string& host :
       std::vector<std::string>{"evil.example" + port, "evil.example", "127.0.0.2" + port,
                                "localhost", "tovimo.example" + port}) {
    const auto [status, page] = as_host(host);
    EXPECT_EQ(status, 421) << host;
    EXPECT_EQ(page.find(token), std::string::npos) << host;
    const httplib::Headers rebound = {{"Host", host}, {"Origin", "http://" + host}};
    EXPECT_EQ(post_order({{"format", "AVI"}}, kKey, token, rebound).first, 421) << host;
  }
  EXPECT_EQ(io("poll"), "CONVERT 3GP 0 0 0 0 0 0 0");
  for (const std::string& host :
       std::vector<std::string>{host_, "LocalHost" + port, "[::1]" + port}) {
    EXPECT_EQ(as_host(host).first, 200) << host;
  }

  stop();
  start(std::nullopt, {"tovimo.example", "Tovimo.Example:8443"});
  EXPECT_EQ(as_host("tovimo.example").first, 200);
  EXPECT_EQ(as_host("TOVIMO.example:8443").first, 200);
  EXPECT_EQ(as_host("tovimo.example:8444").first, 421);

  // Clients leave the scheme's default port out of Host; on any other port it must be there.
  const auto serves = [](int port, bool tls, const char* host) {
    return serves_host(served_hosts("127.0.0.1", port, tls, {}), host);
  };
  for (const char* host : {"127.0.0.1", "LocalHost", "[::1]"}) {
    EXPECT_TRUE(serves(80, false, host)) << host;
    EXPECT_TRUE(serves(443, true, host)) << host;
    EXPECT_FALSE(serves(443, false, host)) << host;
    EXPECT_FALSE(serves(80, true, host)) << host;
  }
  EXPECT_TRUE(serves(80, false, "localhost:80"));
  EXPECT_FALSE(serves(80, false, "evil.example"));
}

}  // namespace
}  // namespace svc
