// Addresses of the service and the reading of its replies.
#include <gtest/gtest.h>

#include <cstring>

#include "client/client_api.h"
#include "support/log_capture.h"

namespace {

const std::string kBase = "http://svc.test:81/tovimo/";
const std::string kKey = "0123456789abcdef0123456789abcdef";

TEST(ServiceUrlTest, EveryEndpointHasItsQuery) {
  EXPECT_EQ(api_command_url(kBase, "poll", kKey),
            "http://svc.test:81/tovimo/io.php?cmd=poll&data=" + kKey + "&ver=1");
  EXPECT_EQ(api_help_url(kBase, kKey), "http://svc.test:81/tovimo/hp.php?hash=" + kKey + "&ver=1");
  EXPECT_EQ(api_order_page_url(kBase, kKey),
            "http://svc.test:81/tovimo/index.php?data=" + kKey + "&ver=1");
  EXPECT_EQ(api_key_page_url(kBase, kKey), "http://svc.test:81/tovimo/index.php?data=" + kKey);
  EXPECT_EQ(api_home_url(kBase), "http://svc.test:81/tovimo/index.php");
  EXPECT_EQ(api_tutorial_url(kBase), "http://svc.test:81/tovimo/tutorial.php");
}

TEST(ServiceUrlTest, BuildConstantNamesTheServiceFolder) {
  EXPECT_EQ(gs_service_base, TOVIMO_SERVICE_SCHEME "://" TOVIMO_SERVICE_HOST "/tovimo/");
}

TEST(ReplyTestsTest, AreExactAndCaseSensitive) {
  EXPECT_TRUE(api_reply_is_ok(std::string("OK")));
  EXPECT_FALSE(api_reply_is_ok(std::string("ok")));
  EXPECT_FALSE(api_reply_is_ok(std::string("OK ")));
  EXPECT_FALSE(api_reply_is_ok(std::nullopt));
  EXPECT_TRUE(api_reply_holds(std::string("xERRORx"), "ERROR"));
  EXPECT_FALSE(api_reply_holds(std::string("Error"), "ERROR"));
  EXPECT_FALSE(api_reply_holds(std::nullopt, "ERROR"));
  // Texts read as C texts: what follows a NUL byte is not seen.
  EXPECT_TRUE(api_reply_is_ok(std::string("OK\0junk", 7)));
  EXPECT_FALSE(api_reply_holds(std::string("x\0ERROR", 7), "ERROR"));
}

GsChunkPtr chunk_of(const std::string& body) {
  auto c = std::make_unique<GsChunk>();
  c->buf = static_cast<gchar*>(g_malloc(body.size() + 1));
  std::memcpy(c->buf, body.data(), body.size());
  c->buf[body.size()] = '\0';
  c->size = static_cast<guint32>(body.size());
  return c;
}

LoginReply login(const std::string& body) {
  return api_classify_login(*chunk_of(body));
}

TEST(LoginReplyTest, AcceptsTheThreeWordsAfterCleaning) {
  EXPECT_EQ(login("OK").verdict, LoginVerdict::kAccepted);
  EXPECT_EQ(login("OK\r\n").verdict, LoginVerdict::kAccepted);
  EXPECT_EQ(login("  AUTOOK  ").verdict, LoginVerdict::kAcceptedAuto);
  EXPECT_EQ(login("NEWBIE\n").verdict, LoginVerdict::kAcceptedNewbie);
}

TEST(LoginReplyTest, RefusalsByLength) {
  EXPECT_EQ(login("K").verdict, LoginVerdict::kEndSilently);
  EXPECT_EQ(login("OK" + std::string(499, ' ')).verdict, LoginVerdict::kEndSilently);
  const LoginReply at_limit = login("NO" + std::string(498, '.'));
  EXPECT_EQ(at_limit.verdict, LoginVerdict::kRefused);
  EXPECT_EQ(at_limit.refusal.size(), 500u);
  EXPECT_EQ(login("OK" + std::string(498, ' ')).verdict, LoginVerdict::kAccepted);

  const LoginReply lower = login("ok");
  EXPECT_EQ(lower.verdict, LoginVerdict::kRefused);
  EXPECT_EQ(lower.refusal, "Cannot login to the system");
  const LoginReply worded = login("Your account\r\nis locked.\n");
  EXPECT_EQ(worded.verdict, LoginVerdict::kRefused);
  EXPECT_EQ(worded.refusal, "Your account\r\nis locked.\n");  // verbatim, not cleaned
  EXPECT_EQ(login("OKAY").verdict, LoginVerdict::kRefused);
  EXPECT_EQ(login("\xff\xfe").refusal, "Cannot login to the system");
}

TEST(LoginReplyTest, InvalidUtf8RefusalIsShownRepaired) {
  const LoginReply r = login("Denied \xff here");
  EXPECT_EQ(r.verdict, LoginVerdict::kRefused);
  EXPECT_EQ(r.refusal, "Denied \xEF\xBF\xBD here");
}

TEST(ErrorReplyTest, DecodesTheSecondWordWhole) {
  auto m = api_decode_error("ERROR bWVzc2FnZQ==");  // "message"
  EXPECT_EQ(m.kind, ErrorMessage::kMessage);
  EXPECT_EQ(m.text, "message");
  m = api_decode_error("ERROR bWVzc2FnZQ==\r\n");
  EXPECT_EQ(m.text, "message");
  m = api_decode_error("ERROR aGk= ignored words");
  EXPECT_EQ(m.text, "hi");
  m = api_decode_error("anything 0JHQsNC30LAg0LTQsNC90L3Ri9GF");
  EXPECT_EQ(m.text, "База данных");
}

TEST(ErrorReplyTest, ShortAndEmptyWords) {
  EXPECT_EQ(api_decode_error("ERROR").kind, ErrorMessage::kTooFewWords);
  EXPECT_EQ(api_decode_error("").kind, ErrorMessage::kTooFewWords);
  EXPECT_EQ(api_decode_error("ERROR ").kind, ErrorMessage::kNothing);
  EXPECT_EQ(api_decode_error("ERROR  bWVzc2FnZQ==").kind, ErrorMessage::kNothing);
  EXPECT_EQ(api_decode_error("ERROR a").kind, ErrorMessage::kNothing);
  EXPECT_EQ(api_decode_error("ERROR !!!!").kind, ErrorMessage::kNothing);
}

TEST(ErrorReplyTest, BinaryIsCutAtNulAndRepaired) {
  auto m = api_decode_error("ERROR aGkAdGhlcmU=");  // "hi\0there"
  EXPECT_EQ(m.text, "hi");
  m = api_decode_error("ERROR //79");  // ff fe fd
  EXPECT_EQ(m.kind, ErrorMessage::kMessage);
  EXPECT_EQ(m.text, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(g_utf8_validate(m.text.c_str(), -1, nullptr));
}

TEST(ApiSendTest, WarnsForMissingArgumentsInOrder) {
  LogCapture log;
  GsChunkPtr chunk;
  EXPECT_EQ(api_send(nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(log.has_critical("api_send", "cmd != NULL")) << log.text();
  EXPECT_EQ(api_send("poll", nullptr, &chunk), 0);
  EXPECT_TRUE(log.has_critical("api_send", "data != NULL")) << log.text();
  EXPECT_EQ(api_send("poll", "key", nullptr), 0);
  EXPECT_TRUE(log.has_critical("api_send", "chunk != NULL")) << log.text();
  EXPECT_EQ(log.count(), 3u);
  EXPECT_EQ(gs_curl_getinmemory(nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_TRUE(log.has_critical("gs_curl_getinmemory", "url != NULL")) << log.text();
}

}  // namespace
