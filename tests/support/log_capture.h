// Collects GLib's warnings and criticals while alive, instead of letting them abort the test,
// and the program's own debug messages (domain "tovimo"), which G_MESSAGES_DEBUG would show.
#pragma once

#include <glib.h>

#include <string>
#include <vector>

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Whether a critical "<function>: assertion '<condition>' failed" was logged.
  bool has_critical(const std::string& function, const std::string& condition) const;
  std::string text() const;
  std::string debug_text() const;
  size_t count() const { return messages_.size(); }

 private:
  static GLogWriterOutput write(GLogLevelFlags level, const GLogField* fields, gsize n,
                                gpointer self);
  std::vector<std::string> messages_;
  std::vector<std::string> debug_;
};
