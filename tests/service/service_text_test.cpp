// The service's pure parts: queries, order lines, error replies, form checks, escaping and
// the command line.
#include <gtest/gtest.h>

#include "service/options.h"
#include "service/order_form.h"
#include "service/pages.h"
#include "service/protocol.h"

namespace svc {
namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";

std::string io_error(const Params& query) {
  const auto parsed = parse_io_query(query);
  const auto* error = std::get_if<QueryError>(&parsed);
  return error ? error->message : "(accepted)";
}

TEST(ServiceProtocol, ReadsCommandQueriesAndSaysWhatIsWrong) {
  const auto parsed = parse_io_query({{"cmd", "cancel"}, {"data", kKey}, {"ver", "1"}});
  ASSERT_TRUE(std::holds_alternative<IoRequest>(parsed));
  EXPECT_EQ(std::get<IoRequest>(parsed).command, Command::kCancel);
  EXPECT_EQ(std::get<IoRequest>(parsed).key, kKey);

  EXPECT_EQ(io_error({{"cmd", "POLL"}, {"data", kKey}, {"ver", "1"}}), "Unknown command");
  EXPECT_EQ(io_error({{"data", kKey}, {"ver", "1"}}), "Missing command");
  EXPECT_EQ(io_error({{"cmd", "poll"}, {"data", kKey}}), "Missing protocol version");
  EXPECT_EQ(io_error({{"cmd", "poll"}, {"data", kKey}, {"ver", "2"}}),
            "Unsupported protocol version");
  EXPECT_EQ(io_error({{"cmd", "poll"}, {"ver", "1"}}), "Missing client key");
  for (const std::string& bad : {kKey.substr(1), kKey + "0", std::string(32, 'A'),
                                 std::string("0123456789abcdef0123456789abcdeg")}) {
    EXPECT_EQ(io_error({{"cmd", "poll"}, {"data", bad}, {"ver", "1"}}), "Malformed client key");
  }
  EXPECT_EQ(io_error({{"cmd", "poll"}, {"data", kKey}, {"data", kKey}, {"ver", "1"}}),
            "Parameter given twice: data");
}

TEST(ServiceProtocol, PageQueryTellsHomeFromOrderPage) {
  using Page = std::optional<std::string>;
  EXPECT_EQ(std::get<Page>(parse_page_query({})), std::nullopt);
  EXPECT_EQ(std::get<Page>(parse_page_query({{"data", kKey}})), kKey);
  EXPECT_EQ(std::get<Page>(parse_page_query({{"data", kKey}, {"ver", "1"}})), kKey);
  EXPECT_TRUE(std::holds_alternative<QueryError>(parse_page_query({{"data", "x"}})));
  EXPECT_TRUE(std::holds_alternative<QueryError>(parse_hp_query({{"hash", kKey}})));
}

TEST(ServiceProtocol, WritesOrderLinesAndPaddedBase64ErrorReplies) {
  Order order = make_order("3GP");
  order.option(Option::kAudioCodec) = "aac";
  EXPECT_EQ(order_line(order), "CONVERT 3GP 0 0 0 0 aac 0 0");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("\xfb\xef\xff"), "++//");
  EXPECT_EQ(error_reply("Ключ"), "ERROR 0JrQu9GO0Yc=");
}

TEST(ServiceOrderForm, AcceptsUsualValuesAndRefusesMalformedOnes) {
  const std::tuple<Option, std::string, std::optional<std::string>> cases[] = {
      {Option::kFrameSize, "320x240", "320x240"},
      {Option::kFrameSize, "320 x 240", {}},
      {Option::kFrameSize, "0x240", {}},
      {Option::kFrameSize, "320X240", {}},
      {Option::kVideoBitrate, "1.5M", "1.5M"},
      {Option::kVideoBitrate, "12..2k", {}},
      {Option::kAudioBitrate, " 12.2k\t", "12.2k"},
      {Option::kAudioBitrate, "64kb", {}},
      {Option::kVideoCodec, "h263-p", "h263-p"},
      {Option::kVideoCodec, "-y", {}},
      {Option::kAudioCodec, "pcm_s16le", "pcm_s16le"},
      {Option::kAudioCodec, "a ac", {}},
      {Option::kAudioCodec, "a\xc3\xa4", {}},
      {Option::kAudioCodec, std::string(33, 'a'), {}},
      {Option::kAudioRate, "44100", "44100"},
      {Option::kAudioRate, "0441", {}},
      {Option::kAudioChannels, "8", "8"},
      {Option::kAudioChannels, "9", {}},
      {Option::kAudioChannels, " 0 ", "0"},
      {Option::kAudioCodec, "  ", "0"},
  };
  for (const auto& [option, value, stored] : cases) {
    EXPECT_EQ(check_option_value(option, value), stored) << '"' << value << '"';
  }
}

// Whatever byte is slipped into an acceptable value, what is stored stays one printable word.
TEST(ServiceOrderForm, NeverStoresSpacesControlsOrNonAscii) {
  for (const OptionField& field : kOptionFields) {
    for (int byte = 0; byte < 256; ++byte) {
      for (std::size_t at : {std::size_t{0}, field.example.size() / 2, field.example.size()}) {
        std::string value(field.example);
        value.insert(at, 1, static_cast<char>(byte));
        const std::optional<std::string> stored = check_option_value(field.option, value);
        if (!stored) continue;
        for (unsigned char c : *stored) {
          EXPECT_TRUE(c > ' ' && c < 0x7f) << field.name << " took byte " << byte;
        }
      }
    }
  }
}

TEST(ServiceOrderForm, PlacesNothingUnlessEveryFieldPasses) {
  OrderForm form = read_order_form({{"format", "3GP"}, {"audio_codec", "aac"}});
  EXPECT_EQ(order_line(*check_order_form(form).order), "CONVERT 3GP 0 0 0 0 aac 0 0");
  EXPECT_EQ(check_order_form(form_from_order(*check_order_form(form).order)).order,
            check_order_form(form).order);

  form.values[static_cast<std::size_t>(Option::kVideoCodec)] = "mp eg4";
  FormCheck check = check_order_form(form);
  EXPECT_FALSE(check.order);
  ASSERT_EQ(check.problems.size(), 1u);
  EXPECT_EQ(check.problems[0].rfind("Video codec:", 0), 0u);
  EXPECT_FALSE(check_order_form(read_order_form({{"format", "3gp"}})).order);
}

TEST(ServicePages, EscapeWhatTheUserTyped) {
  EXPECT_EQ(html_escape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
  OrderPageView view;
  view.key = kKey;
  view.form.values[0] = "\"><script>";
  view.problems = {"<b>bad</b>"};
  const std::string html = order_page(view);
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
}

TEST(ServiceOptions, ReadsTheCommandLine) {
  auto parsed = parse_options({"--listen", "127.0.0.1:0", "--db=/o.sqlite", "--announce", "Hi"});
  ServiceOptions options = std::get<ServiceOptions>(parsed);
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.db_path, "/o.sqlite");
  EXPECT_EQ(options.announcement, "Hi");
  options = std::get<ServiceOptions>(parse_options(
      {"--listen=[::1]:9000", "--public-host", "tovimo.example", "--public-host=[::2]:443"}));
  EXPECT_EQ(options.public_hosts, (std::vector<std::string>{"tovimo.example", "[::2]:443"}));
  EXPECT_EQ(options.host, "::1");
  EXPECT_EQ(listen_url(options.host, options.port), "http://[::1]:9000/");
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--port", "1"},
                                             {"stray"},
                                             {"--listen"},
                                             {"--db="},
                                             {"--help=1"},
                                             {"--listen", "8765"},
                                             {"--listen", ":80"},
                                             {"--listen", "h:65536"},
                                             {"--listen", "::1:80"},
                                             {"--public-host", "a b"},
                                             {"--public-host", "evil.example/x"},
                                             {"--public-host", "h:99999"},
                                             {"--public-host", ""}}) {
    EXPECT_TRUE(std::holds_alternative<OptionError>(parse_options(bad))) << bad[0];
  }
}

TEST(ServiceOptions, KeepsOrdersUnderTheXdgDataFolder) {
  EXPECT_EQ(default_db_path("/x", "/home/u"), "/x/tovimo-service/orders.sqlite");
  EXPECT_EQ(default_db_path("relative", "/home/u"),
            "/home/u/.local/share/tovimo-service/orders.sqlite");
  EXPECT_EQ(default_db_path(nullptr, nullptr), std::nullopt);
}

}  // namespace
}  // namespace svc
