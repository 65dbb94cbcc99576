// The service client against a real HTTP server on loopback: what goes on the wire, and what
// becomes of each kind of reply.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "base/holders.h"
#include "client/client_api.h"
#include "client/gs_global.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/short_bounds.h"

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gs_init(nullptr, nullptr); }
  void SetUp() override {
    saved_base_ = gs_service_base;
    hash = kKey;
  }
  void TearDown() override { gs_service_base = saved_base_; }

  GsChunkPtr fetch(LoopbackServer& server, const std::string& path = "io.php") {
    return gs_curl_getinmemory((server.base() + path).c_str(), nullptr, nullptr, nullptr);
  }

  std::string saved_base_;
};

TEST_F(HttpTest, CommandsSendTheDesignedRequest) {
  LoopbackServer server(
      [](const RecordedRequest&, ServerConnection& c) { c.send(http_reply("OK")); });
  gs_service_base = server.base();
  GsChunkPtr reply;
  ASSERT_EQ(api_poll("some other key", &reply), 1);
  ASSERT_EQ(server.requests().size(), 1u);
  const RecordedRequest r = server.requests()[0];
  EXPECT_EQ(r.target, "/tovimo/io.php?cmd=poll&data=" + kKey + "&ver=1");
  EXPECT_EQ(r.header("User-Agent"),
            "Mozilla/5.0 (Windows; U; Windows NT 5.1; ru;rv:1.8.1.15) Gecko/20080623 "
            "Firefox/2.0.0.15);");
  EXPECT_EQ(r.header("Referer"), kDefaultReferer);
  EXPECT_TRUE(g_str_has_prefix(kDefaultReferer, "http://"));
  EXPECT_EQ(r.header("Pragma"), "");
  // The eight default headers in their order; the empty Pragma sends nothing.
  std::vector<std::pair<std::string, std::string>> custom;
  for (const auto& h : r.headers) {
    if (h.first != "Host" && h.first != "User-Agent" && h.first != "Referer") custom.push_back(h);
  }
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Connection", "keep-alive"},
      {"Accept",
       "text/xml,application/xml,application/xhtml+xml,text/html;q=0.9,text/plain;q=0.8,"
       "image/png,*/*;q=0.5"},
      {"Cache-Control", "max-age=0"},
      {"Connection", "keep-alive"},
      {"Keep-Alive", "300"},
      {"Accept-Charset", "windows-1251,utf-8;q=0.7,*;q=0.7"},
      {"Accept-Language", "ru-ru,ru;q=0.8,en-us;q=0.5,en;q=0.3"},
  };
  // libcurl sends the Connection lines it is given with its own Connection header: up to 8.14
  // (Debian 12's 7.88, Debian 13's 8.14.1) where the list has them; later (Debian testing's
  // 8.22) after every other header, the others still in the list's order.
  if (curl_version_info(CURLVERSION_NOW)->version_num > 0x080e01) {
    std::stable_partition(expected.begin(), expected.end(),
                          [](const auto& h) { return h.first != "Connection"; });
  }
  EXPECT_EQ(custom, expected) << r.raw;
  EXPECT_TRUE(g_str_has_prefix(r.raw.c_str(), "GET /tovimo/io.php?cmd=poll&data=")) << r.raw;

  ASSERT_EQ(api_login(&reply), 1);
  ASSERT_EQ(api_yes(nullptr, &reply), 1);
  ASSERT_EQ(api_cancel("x", &reply), 1);
  EXPECT_EQ(server.commands(), (std::vector<std::string>{"poll", "login", "yes", "cancel"}));
  for (const RecordedRequest& each : server.requests()) EXPECT_EQ(each.query("data"), kKey);
}

TEST_F(HttpTest, GivenAgentRefererAndHeadersReplaceTheDefaults) {
  LoopbackServer server(
      [](const RecordedRequest&, ServerConnection& c) { c.send(http_reply("x")); });
  curl_slist* headers = curl_slist_append(nullptr, "X-Test: 1");
  auto reply = gs_curl_getinmemory((server.base() + "hp.php").c_str(), "agent/1",
                                   "http://ref.test/", headers);
  curl_slist_free_all(headers);
  ASSERT_TRUE(reply);
  const RecordedRequest r = server.requests().at(0);
  EXPECT_EQ(r.header("User-Agent"), "agent/1");
  EXPECT_EQ(r.header("Referer"), "http://ref.test/");
  EXPECT_EQ(r.header("X-Test"), "1");
  EXPECT_EQ(r.header("Accept-Language"), "");
}

TEST_F(HttpTest, ReplyInPiecesIsJoinedInOrder) {
  std::string body;
  for (int i = 0; i < 200; ++i) body += "piece " + std::to_string(i) + "\n";
  LoopbackServer server([&](const RecordedRequest&, ServerConnection& c) {
    // Chunked transfer encoding, each piece sent on its own after a short pause.
    c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    for (size_t at = 0; at < body.size(); at += 700) {
      const std::string piece = body.substr(at, 700);
      char size[16];
      g_snprintf(size, sizeof size, "%zx\r\n", piece.size());
      c.send(size + piece + "\r\n");
      c.pause(2);
    }
    c.send("0\r\n\r\n");
  });
  auto reply = fetch(server);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size, body.size());
  EXPECT_EQ(std::string(reply->buf, reply->size), body);
  EXPECT_EQ(reply->buf[reply->size], '\0');
}

TEST_F(HttpTest, ChunkWriterJoinsAndTerminates) {
  GsChunk chunk;
  char a[] = "AB", b[] = "CDE";
  EXPECT_EQ(gs_chunk_writer(a, 1, 2, &chunk), 2u);
  EXPECT_EQ(gs_chunk_writer(b, 3, 1, &chunk), 3u);
  EXPECT_EQ(chunk.size, 5u);
  EXPECT_STREQ(chunk.buf, "ABCDE");
}

TEST_F(HttpTest, ZeroByteBodyIsNoReply) {
  LoopbackServer server(
      [](const RecordedRequest&, ServerConnection& c) { c.send(http_reply("")); });
  gs_service_base = server.base();
  GsChunkPtr reply;
  EXPECT_EQ(api_login(&reply), 0);
  EXPECT_EQ(reply, nullptr);
}

TEST_F(HttpTest, ErrorStatusWithBodyIsAReply) {
  LoopbackServer server([](const RecordedRequest&, ServerConnection& c) {
    c.send(http_reply("ERROR c2VydmljZSBkb3du", 503));
  });
  gs_service_base = server.base();
  GsChunkPtr reply;
  ASSERT_EQ(api_poll(nullptr, &reply), 1);
  EXPECT_STREQ(reply->text(), "ERROR c2VydmljZSBkb3du");
}

TEST_F(HttpTest, RedirectIsNotFollowed) {
  LoopbackServer server([](const RecordedRequest& r, ServerConnection& c) {
    if (r.path == "/tovimo/io.php") {
      c.send(http_reply("Moved", 302, "Location: /elsewhere\r\n"));
    } else {
      c.send(http_reply("followed"));
    }
  });
  gs_service_base = server.base();
  GsChunkPtr reply;
  ASSERT_EQ(api_poll(nullptr, &reply), 1);
  EXPECT_STREQ(reply->text(), "Moved");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpTest, RefusedConnectionIsNoReply) {
  // A socket bound but not listening refuses connections, and keeps its port from others.
  const int bound = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
  gs_service_base = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/tovimo/";
  GsChunkPtr reply;
  EXPECT_EQ(api_poll(nullptr, &reply), 0);
  close(bound);
}

TEST_F(HttpTest, BodyUpToTheBoundArrivesAndBeyondItIsAbandoned) {
  const std::string at_bound(kMaxReplyBytes, 'a');
  LoopbackServer exact(
      [&](const RecordedRequest&, ServerConnection& c) { c.send(http_reply(at_bound)); });
  auto reply = fetch(exact);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size, kMaxReplyBytes);

  LoopbackServer declared(
      [&](const RecordedRequest&, ServerConnection& c) { c.send(http_reply(at_bound + "b")); });
  EXPECT_EQ(fetch(declared), nullptr);

  // Without a declared length the bound is kept while the body streams in.
  LoopbackServer streamed([&](const RecordedRequest&, ServerConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string piece(64 * 1024, 'z');
    char size[16];
    g_snprintf(size, sizeof size, "%zx\r\n", piece.size());
    for (int i = 0; i < 64; ++i) {  // 4 MiB in all
      c.send(size + piece + "\r\n");
    }
    c.send("0\r\n\r\n");
  });
  EXPECT_EQ(fetch(streamed), nullptr);
}

TEST_F(HttpTest, BodyCutShortIsNoReply) {
  LoopbackServer server([](const RecordedRequest&, ServerConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\nCONVERT AVI 0 0");
  });
  EXPECT_EQ(fetch(server), nullptr);
}

// Tests with shortened bounds: the program's own are kTransferBounds' defaults.
class ShortBoundsTest : public HttpTest {
 protected:
  ShortBounds bounds_{2, 5};
};

// Four bytes a second, well above the stall bound, never stalls, so only the whole-transfer
// bound ends it.
TEST_F(ShortBoundsTest, TricklingReplyEndsAtTheWholeTransferBound) {
  LoopbackServer server([](const RecordedRequest&, ServerConnection& c) {
    if (!c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")) return;
    for (int i = 0; i < 100; ++i) {
      if (!c.send("x") || !c.pause(250)) return;
    }
  });
  LogCapture log;
  EXPECT_EQ(fetch(server), nullptr);
  EXPECT_NE(log.debug_text().find("whole-transfer bound of 5 s"), std::string::npos)
      << log.debug_text();
}

// A byte every fifth of a second for two seconds: five times the stall bound's rate, and done well
// before the whole-transfer bound.
TEST_F(ShortBoundsTest, SlowButHonestReplyIsAccepted) {
  const std::string body = "OK, slow\r\n";
  LoopbackServer server([&body](const RecordedRequest&, ServerConnection& c) {
    if (!c.send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")) return;
    for (char byte : body) {
      if (!c.pause(200) || !c.send(std::string(1, byte))) return;
    }
  });
  auto reply = fetch(server);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->text(), body);
}

// Why a fetch gave no reply is logged for G_MESSAGES_DEBUG=tovimo: the bound that fired, or
// the HTTP status of an empty reply.
TEST_F(ShortBoundsTest, ReasonForNoReplyIsLogged) {
  LoopbackServer silent([](const RecordedRequest&, ServerConnection& c) { c.pause(20000); });
  LoopbackServer empty(
      [](const RecordedRequest&, ServerConnection& c) { c.send(http_reply("", 503)); });
  LogCapture log;
  EXPECT_EQ(fetch(silent), nullptr);
  EXPECT_EQ(fetch(empty), nullptr);
  const std::string logged = log.debug_text();
  EXPECT_NE(logged.find("stall bound (under 1 byte/s for 2 s) fired"), std::string::npos) << logged;
  EXPECT_NE(logged.find("HTTP status 503 with an empty body"), std::string::npos) << logged;
  EXPECT_NE(logged.find(silent.base()), std::string::npos) << logged;
}

// The service over https, against a throwaway CA made for the test run, which SSL_CERT_FILE
// names as a private CA is named.
class TlsTest : public HttpTest {
 protected:
  static void SetUpTestSuite() {
    HttpTest::SetUpTestSuite();
    certificates_ = *take_text(g_dir_make_tmp("tovimo-tls-XXXXXX", nullptr));
    const std::string make = TOVIMO_TEST_SUPPORT_DIR "/make-test-certs " + certificates_;
    made_ = std::system((make + " >/dev/null 2>&1").c_str()) == 0;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(certificates_); }
  void SetUp() override {
    HttpTest::SetUp();
    // Failed here rather than in the suite's set-up, which the test runner reports as skipped.
    ASSERT_TRUE(made_) << "make-test-certs could not make the certificates";
    g_setenv("SSL_CERT_FILE", (certificates_ + "/ca.pem").c_str(), TRUE);
  }
  void TearDown() override {
    g_unsetenv("SSL_CERT_FILE");
    HttpTest::TearDown();
  }
  static TlsIdentity identity(const std::string& certificate) {
    return {certificates_ + "/" + certificate, certificates_ + "/server.key"};
  }

  static std::string certificates_;
  static bool made_;
};
std::string TlsTest::certificates_;
bool TlsTest::made_ = false;

// A peer whose chain and name check out is heard; any other is no reply, with the reason
// logged, after exactly one connection: nothing is ever tried over plain http instead.
TEST_F(TlsTest, VerifiedReplyIsTakenAndBadCertificatesAreRefused) {
  const auto ok = [](const RecordedRequest&, ServerConnection& c) { c.send(http_reply("OK")); };
  {
    const TlsIdentity good = identity("good.pem");
    LoopbackServer server(ok, 0, &good);
    gs_service_base = server.base();
    GsChunkPtr reply;
    ASSERT_EQ(api_poll(nullptr, &reply), 1);
    EXPECT_STREQ(reply->text(), "OK");
    EXPECT_EQ(server.commands(), std::vector<std::string>{"poll"});
  }
  for (const auto& [certificate, reason] : std::vector<std::pair<std::string, std::string>>{
           {"unknown-ca.pem", "self-signed certificate in certificate chain"},
           // libcurl 8 names the address's kind ("target ipv4 address") where 7.88 said host name.
           {"wrong-name.pem", "no alternative certificate subject name matches target"},
           {"expired.pem", "certificate has expired"}}) {
    const TlsIdentity bad = identity(certificate);
    LoopbackServer server(ok, 0, &bad);
    gs_service_base = server.base();
    LogCapture log;
    GsChunkPtr reply;
    EXPECT_EQ(api_poll(nullptr, &reply), 0) << certificate;
    EXPECT_NE(log.debug_text().find(reason), std::string::npos) << log.debug_text();
    EXPECT_EQ(server.connections(), 1) << certificate;
    EXPECT_TRUE(server.requests().empty()) << certificate;
  }
}

// The one test that waits for a real bound, as the program keeps it.
TEST_F(HttpTest, SilentServerIsAbandonedAtTheStallBound) {
  LoopbackServer server([](const RecordedRequest&, ServerConnection& c) {
    c.pause(static_cast<int>(kStallSeconds + 30) * 1000);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(server), nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  // Not a timing assertion: the fetch came back at all, and not before the bound.
  EXPECT_GE(waited, std::chrono::seconds(kStallSeconds - 1));
}

}  // namespace
