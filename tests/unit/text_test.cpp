// Reply text cleaning, the digest and the client key's text.
#include <gtest/gtest.h>

#include "client/gs_utils.h"
#include "client/md5.h"
#include "convert/console_text.h"
#include "platform/adapter_linux.h"
#include "support/log_capture.h"

namespace {

TEST(TrimTest, DropsNonAlphanumericAtBothEnds) {
  EXPECT_EQ(gs_string_trim("  OK\r\n"), "OK");
  EXPECT_EQ(gs_string_trim("\r\n"), "");
  EXPECT_EQ(gs_string_trim("..."), "");
  EXPECT_EQ(gs_string_trim("ERROR bWVzc2FnZQ=="), "ERROR bWVzc2FnZQ");
  EXPECT_EQ(gs_string_trim("-+ a b +-"), "a b");
  // Letters and digits of any script count, and multibyte characters are kept whole.
  EXPECT_EQ(gs_string_trim("«Привет» 1"), "Привет» 1");
  EXPECT_EQ(gs_string_trim("\xC2\xA0Ok\xC2\xA0"), "Ok");
}

TEST(TrimTest, YieldsNoneForNoTextEmptyTextAndInvalidUtf8) {
  EXPECT_EQ(gs_string_trim(nullptr), std::nullopt);
  EXPECT_EQ(gs_string_trim(""), std::nullopt);
  EXPECT_EQ(gs_string_trim("OK\xff"), std::nullopt);
  EXPECT_EQ(gs_string_trim("\xC3"), std::nullopt);  // truncated sequence
}

TEST(TrimTest, TrimStartKeepsTheEnd) {
  EXPECT_EQ(gs_string_trim_start("  ERROR bWVzc2FnZQ==\r\n"), "ERROR bWVzc2FnZQ==\r\n");
  EXPECT_EQ(gs_string_trim_start(" \n"), "");
  EXPECT_EQ(gs_string_trim_start(nullptr), std::nullopt);
}

TEST(Rtrim2Test, RemovesOnlyAFinalCrLf) {
  EXPECT_EQ(gs_rtrim2("OK\r\n", 4), "OK");
  EXPECT_EQ(gs_rtrim2("OK", 2), "");
  EXPECT_EQ(gs_rtrim2("\r\n", 2), "");
  EXPECT_EQ(gs_rtrim2("", 0), "");
  EXPECT_EQ(gs_rtrim2("OK\n\r", 4), "OK\n\r");  // unchanged copy without a final CR LF
  EXPECT_EQ(gs_rtrim2("ERROR eA==", 10), "ERROR eA==");
  EXPECT_EQ(gs_rtrim2("OK\r\n\r\n", 6), "OK\r\n");
}

TEST(Rtrim2Test, WarnsForNoText) {
  LogCapture log;
  EXPECT_EQ(gs_rtrim2(nullptr, 4), std::nullopt);
  EXPECT_TRUE(log.has_critical("gs_rtrim2", "str != NULL")) << log.text();
}

std::string md5_hex(const std::string& text) {
  return *gs_md5hash(text.c_str());
}

TEST(Md5Test, MatchesTheRfc1321Suite) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                    "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, IncrementalAppendEqualsWholeAndIgnoresNonPositiveLengths) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  md5_state state;
  md5_init(&state);
  const auto* bytes = reinterpret_cast<const guint8*>(text.data());
  md5_append(&state, bytes, 10);
  md5_append(&state, bytes + 10, 0);
  md5_append(&state, bytes + 10, -5);
  md5_append(&state, bytes + 10, static_cast<gssize>(text.size() - 10));
  guint8 digest[16];
  md5_finish(&state, digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) g_snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  EXPECT_STREQ(hex, "9e107d9d372bb6826bd81d3542a419d6");
}

TEST(Md5Test, WarnsForNoText) {
  LogCapture log;
  EXPECT_EQ(gs_md5hash(nullptr), std::nullopt);
  EXPECT_TRUE(log.has_critical("gs_md5hash", "s != NULL")) << log.text();
}

constexpr char kRoutes[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "wlan0\t0002A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
    "eth1\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
    "wlan0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n";

platform::NetInterface itf(const char* name, const char* address, bool loopback = false) {
  return {name, platform::parse_hardware_address(address), loopback};
}

TEST(AdapterTest, PrefersTheFirstDefaultRoute) {
  EXPECT_EQ(platform::default_route_interface(kRoutes), "eth1");
  auto chosen = platform::choose_adapter_address(
      kRoutes, {itf("aa0", "02:00:00:00:00:aa"), itf("eth1", "00:1a:2b:3c:4d:5e"),
                itf("wlan0", "00:1a:2b:3c:4d:5f")});
  ASSERT_TRUE(chosen);
  EXPECT_EQ(*chosen, (platform::HardwareAddress{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
}

TEST(AdapterTest, FallsBackToNameOrderSkippingLoopbackAndZeroAddresses) {
  const char* no_route = "Iface\tDestination\n";
  auto chosen = platform::choose_adapter_address(
      no_route,
      {itf("wlp2s0", "00:00:00:00:00:02"), itf("lo", "00:00:00:00:00:00", true),
       itf("docker0", "00:00:00:00:00:00"), itf("enp0s1", "00:00:00:00:00:01"), itf("tun0", "")});
  ASSERT_TRUE(chosen);
  EXPECT_EQ((*chosen)[5], 0x01);
  // A default route over an interface without a hardware address (a tunnel) falls back too.
  const char* tunnel = "Iface\tDestination\ntun0\t00000000\n";
  chosen =
      platform::choose_adapter_address(tunnel, {itf("tun0", ""), itf("eth0", "02:00:00:00:00:07")});
  ASSERT_TRUE(chosen);
  EXPECT_EQ((*chosen)[5], 0x07);
  EXPECT_FALSE(platform::choose_adapter_address(no_route, {itf("lo", "00:00:00:00:00:00", true)}));
  EXPECT_FALSE(platform::choose_adapter_address(no_route, {}));
}

TEST(AdapterTest, ParsesOnlySixByteAddresses) {
  EXPECT_TRUE(platform::parse_hardware_address("02:fc:00:00:00:01\n"));
  EXPECT_FALSE(platform::parse_hardware_address("00:00:00:00:00:00:00:e0"));  // infiniband-like
  EXPECT_FALSE(platform::parse_hardware_address("02:fc:00:00:00"));
  EXPECT_FALSE(platform::parse_hardware_address("02:fc:00:00:00:0g"));
  EXPECT_FALSE(platform::parse_hardware_address(""));
}

TEST(ClientKeyTest, AddressTextAndKeyHaveTheirForm) {
  const auto mac = gs_utils_get_mac();
  if (!mac) GTEST_SKIP() << "this machine has no usable adapter";
  ASSERT_EQ(mac->size(), 17u);
  for (size_t i = 0; i < mac->size(); ++i) {
    const char c = (*mac)[i];
    if (i % 3 == 2) {
      EXPECT_EQ(c, '-');
    } else {
      EXPECT_TRUE(g_ascii_isdigit(c) || (c >= 'A' && c <= 'F')) << *mac;
    }
  }
  const auto key = gs_md5hash(mac->c_str());
  ASSERT_EQ(key->size(), 32u);
  EXPECT_EQ(key->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(gs_utils_get_mac(), mac);  // stable across calls
}

TEST(ConsoleViewTest, ShowsTheLastLinesWithProgressRewritten) {
  EXPECT_EQ(console_view("a\nb\nc\n", 2), "b\nc");
  EXPECT_EQ(console_view("frame=1\rframe=2\rframe=3\ndone", 10), "frame=3\ndone");
  EXPECT_EQ(console_view("one\r\ntwo\r\n", 10), "one\ntwo");
  EXPECT_EQ(console_view("bad \xff byte", 10), "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(console_view("", 10), "");
  EXPECT_EQ(console_view("\nb", 3), "\nb");  // a blank first line still counts
}

}  // namespace
