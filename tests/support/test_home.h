// A hermetic home for tests: temporary HOME and XDG folders with Desktop and Videos, a stand-in
// browser registered as the default for http, a stand-in converter early on PATH, and a
// working directory holding ui.glade and exit.png. Set up before GLib caches any of it.
#pragma once

#include <string>
#include <vector>

struct TestHome {
  std::string root;
  std::string home;
  std::string desktop;
  std::string videos;
  std::string work;         // the program's working directory
  std::string bin;          // first on PATH; holds the stand-in "ffmpeg"
  std::string browser_log;  // addresses the stand-in browser was asked to show
  std::string converter_log;

  // Makes the folders and sets the environment. `support_dir` holds the stand-in scripts,
  // `data_dir` the program's data files.
  static TestHome create(const std::string& support_dir, const std::string& data_dir);
  void remove() const;

  // What the stand-in browser was asked to show so far.
  std::vector<std::string> browser_urls() const;
  // The argument vectors of every start of the stand-in converter so far.
  std::vector<std::vector<std::string>> converter_calls() const;
  // Makes the stand-in converter unreachable on PATH (true) or reachable again.
  void hide_converter(bool hidden) const;
  void forget_calls() const;
};
