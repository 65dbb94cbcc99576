#include "support/test_home.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TestHome TestHome::create(const std::string& support_dir, const std::string& data_dir) {
  TestHome t;
  gchar* root = g_dir_make_tmp("tovimo-test-XXXXXX", nullptr);
  if (!root) throw std::runtime_error("no temporary folder");
  t.root = root;
  g_free(root);
  t.home = t.root + "/home";
  t.desktop = t.home + "/Desktop";
  t.videos = t.home + "/Videos";
  t.work = t.root + "/work";
  t.bin = t.root + "/bin";
  t.browser_log = t.root + "/browser.log";
  t.converter_log = t.root + "/converter";
  const std::string config = t.home + "/.config";
  const std::string data = t.home + "/.local/share";
  for (const std::string& dir : {t.desktop, t.videos, t.work, t.bin, t.converter_log, config,
                                 data + "/applications", t.home + "/.cache", t.root + "/runtime"}) {
    fs::create_directories(dir);
  }
  fs::permissions(t.root + "/runtime", fs::perms::owner_all);
  write_file(config + "/user-dirs.dirs",
             "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
  write_file(data + "/applications/tovimo-test-browser.desktop",
             "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" + support_dir +
                 "/record-url %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;"
                 "x-scheme-handler/ftp;\nNoDisplay=true\n");
  // ftp too, so that a test sees a page of another kind opened that should not have been.
  write_file(config + "/mimeapps.list",
             "[Default Applications]\nx-scheme-handler/http=tovimo-test-browser.desktop\n"
             "x-scheme-handler/https=tovimo-test-browser.desktop\n"
             "x-scheme-handler/ftp=tovimo-test-browser.desktop\n");
  fs::copy_file(support_dir + "/fake-ffmpeg", t.bin + "/ffmpeg");
  fs::copy_file(data_dir + "/ui.glade", t.work + "/ui.glade");
  fs::copy_file(data_dir + "/exit.png", t.work + "/exit.png");

  g_setenv("HOME", t.home.c_str(), TRUE);
  g_setenv("XDG_CONFIG_HOME", config.c_str(), TRUE);
  g_setenv("XDG_DATA_HOME", data.c_str(), TRUE);
  g_setenv("XDG_CACHE_HOME", (t.home + "/.cache").c_str(), TRUE);
  g_setenv("XDG_RUNTIME_DIR", (t.root + "/runtime").c_str(), TRUE);
  // Never the session bus of whoever runs the tests; tests that want a bus start their own.
  g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
  g_setenv("TOVIMO_BROWSER_LOG", t.browser_log.c_str(), TRUE);
  g_setenv("TOVIMO_FAKE_FFMPEG_LOG", t.converter_log.c_str(), TRUE);
  const char* path = g_getenv("PATH");
  g_setenv("PATH", (t.bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), TRUE);
  g_setenv("GIO_USE_VFS", "local", TRUE);
  if (g_chdir(t.work.c_str()) != 0) throw std::runtime_error("cannot enter " + t.work);
  return t;
}

void TestHome::remove() const {
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

std::vector<std::string> TestHome::browser_urls() const {
  std::vector<std::string> urls;
  std::istringstream lines(read_file(browser_log));
  for (std::string line; std::getline(lines, line);) urls.push_back(line);
  return urls;
}

std::vector<std::vector<std::string>> TestHome::converter_calls() const {
  std::vector<std::vector<std::string>> calls;
  for (int n = 0;; ++n) {
    const std::string path = converter_log + "/argv." + std::to_string(n);
    if (!fs::exists(path)) break;
    const std::string raw = read_file(path);
    std::vector<std::string> argv{"ffmpeg"};
    size_t start = 0;
    for (size_t nul; (nul = raw.find('\0', start)) != std::string::npos; start = nul + 1) {
      argv.push_back(raw.substr(start, nul - start));
    }
    calls.push_back(argv);
  }
  return calls;
}

void TestHome::hide_converter(bool hidden) const {
  // PATH is then our folder alone, so that no converter of the machine stands in.
  static std::string full_path = g_getenv("PATH");
  const std::string shown = bin + "/ffmpeg", hidden_path = bin + "/ffmpeg.hidden";
  std::error_code ignored;
  if (hidden) {
    fs::rename(shown, hidden_path, ignored);
    g_setenv("PATH", bin.c_str(), TRUE);
  } else {
    fs::rename(hidden_path, shown, ignored);
    g_setenv("PATH", full_path.c_str(), TRUE);
  }
}

void TestHome::forget_calls() const {
  // A stand-in converter writes its process id last: until then it may still write here, and a
  // file renamed away under remove_all would end it half-way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int n = 0; fs::exists(converter_log + "/argv." + std::to_string(n)); ++n) {
    while (!fs::exists(converter_log + "/pid." + std::to_string(n)) &&
           std::chrono::steady_clock::now() < deadline) {
      g_usleep(5000);
    }
  }
  std::error_code ignored;
  fs::remove_all(converter_log, ignored);
  fs::create_directories(converter_log);
  fs::remove(browser_log, ignored);
}
