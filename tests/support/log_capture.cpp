#include "support/log_capture.h"

#include <cstring>

namespace {
LogCapture* active = nullptr;
}  // namespace

LogCapture::LogCapture() {
  // GLib takes one writer per process; it passes everything on while no capture is alive.
  static const bool installed = [] {
    g_log_set_writer_func(&LogCapture::write, nullptr, nullptr);
    return true;
  }();
  (void)installed;
  active = this;
}

LogCapture::~LogCapture() {
  active = nullptr;
}

GLogWriterOutput LogCapture::write(GLogLevelFlags level, const GLogField* fields, gsize n,
                                   gpointer) {
  if (active && (level & G_LOG_LEVEL_DEBUG)) {
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < n; ++i) {
      if (std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0)
        domain = static_cast<const char*>(fields[i].value);
      if (std::strcmp(fields[i].key, "MESSAGE") == 0)
        message = static_cast<const char*>(fields[i].value);
    }
    if (domain && message && std::strcmp(domain, "tovimo") == 0)
      active->debug_.emplace_back(message);
    return g_log_writer_default(level, fields, n, nullptr);
  }
  if (!active || (level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) == 0) {
    return g_log_writer_default(level, fields, n, nullptr);
  }
  for (gsize i = 0; i < n; ++i) {
    if (std::strcmp(fields[i].key, "MESSAGE") == 0) {
      active->messages_.emplace_back(static_cast<const char*>(fields[i].value));
    }
  }
  return G_LOG_WRITER_HANDLED;
}

bool LogCapture::has_critical(const std::string& function, const std::string& condition) const {
  const std::string expected = function + ": assertion '" + condition + "' failed";
  for (const std::string& m : messages_) {
    if (m == expected) return true;
  }
  return false;
}

std::string LogCapture::debug_text() const {
  std::string all;
  for (const std::string& m : debug_) all += m + "\n";
  return all;
}

std::string LogCapture::text() const {
  std::string all;
  for (const std::string& m : messages_) all += m + "\n";
  return all;
}
