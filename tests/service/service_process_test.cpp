// The tovimo-service executable: command line, start and stop, log, and its database file.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service_support.h"

namespace {

using svctest::ServiceProcess;

const std::string kKey = svctest::test_key(0x5e1f);

std::string io(const std::string& address, const std::string& cmd) {
  httplib::Client client(address);
  // As the program asks: for no compressed reply (Debian 13's client would ask for one), so the
  // log names the reply's own length.
  const httplib::Result res =
      client.Get(("/tovimo/io.php?cmd=" + cmd + "&data=" + kKey + "&ver=1").c_str(),
                 httplib::Headers{{"Accept-Encoding", "identity"}});
  return res ? res->body : "(no reply)";
}

std::string read_file(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// Each run is stopped by another of the two signals, and must end with status 0 each time.
TEST(ServiceProcess, KeepsOrdersAcrossRestartsAndStopsCleanlyOnSignals) {
  svctest::TempDir dir;
  const std::string log = dir.file("log");
  const std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db",
                                         dir.file("new/orders.sqlite")};
  {
    ServiceProcess service(args, log);
    const std::optional<std::string> address = service.address();
    ASSERT_TRUE(address);
    EXPECT_EQ(io(*address, "login"), "NEWBIE");
    httplib::Client client(*address);
    const httplib::Result page = client.Get(("/tovimo/index.php?data=" + kKey).c_str());
    ASSERT_TRUE(page);
    const httplib::Result res = client.Post(
        "/tovimo/index.php",
        httplib::Params{{"data", kKey},
                        {"token", svctest::field_value(page->body, "token").value_or("")},
                        {"format", "PSP"},
                        {"video_bitrate", "768k"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(service.finish(SIGTERM), 0);
  }
  {
    ServiceProcess service(args, log);
    const std::optional<std::string> address = service.address();
    ASSERT_TRUE(address);
    EXPECT_EQ(io(*address, "login"), "OK");
    EXPECT_EQ(io(*address, "poll"), "CONVERT PSP 0 768k 0 0 0 0 0");
    EXPECT_EQ(io(*address, "yes"), "OK");
    EXPECT_EQ(service.finish(SIGINT), 0);
  }
  ServiceProcess service(args, log);
  const std::optional<std::string> address = service.address();
  ASSERT_TRUE(address);
  EXPECT_EQ(io(*address, "poll"), "OK");
  EXPECT_EQ(service.finish(SIGTERM), 0);
  EXPECT_NE(read_file(log).find("GET /tovimo/io.php?cmd=poll&data=" + kKey + "&ver=1 200 28\n"),
            std::string::npos)
      << read_file(log);
}

TEST(ServiceProcess, KeepsOrdersUnderXdgDataHomeByDefault) {
  svctest::TempDir dir;
  ServiceProcess service({"--listen=127.0.0.1:0"}, dir.file("log"),
                         {"XDG_DATA_HOME=" + dir.file("data"), "HOME=" + dir.file("home")});
  ASSERT_TRUE(service.address());
  EXPECT_EQ(service.finish(SIGTERM), 0);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("data/tovimo-service/orders.sqlite")));
}

TEST(ServiceProcess, RefusesBadOptionsAndATakenPort) {
  svctest::TempDir dir;
  const std::string log = dir.file("log");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--bogus"}, {"--listen", "127.0.0.1"}, {"--db"}}) {
    ServiceProcess service(args, log);
    EXPECT_EQ(service.finish(0), 2) << args[0];
  }
  EXPECT_NE(read_file(log).find("--help"), std::string::npos);
  ServiceProcess help({"--help"}, log);
  EXPECT_EQ(help.first_line().value_or("").rfind("Usage: tovimo-service", 0), 0u);
  EXPECT_EQ(help.finish(0), 0);

  ServiceProcess first({"--listen", "127.0.0.1:0", "--db", dir.file("a.sqlite")}, log);
  const std::optional<std::string> address = first.address();
  ASSERT_TRUE(address);
  const std::string port = address->substr(address->rfind(':') + 1);
  ServiceProcess second({"--listen", "127.0.0.1:" + port, "--db", dir.file("b.sqlite")}, log);
  EXPECT_EQ(second.finish(0), 1);
  EXPECT_EQ(first.finish(SIGTERM), 0);
}

}  // namespace
