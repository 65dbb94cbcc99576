// One holder per kind of C handle, so that nothing owned is freed by hand.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>
#include <optional>
#include <string>

struct GFree {
  void operator()(void* p) const noexcept { g_free(p); }
};
struct GStrvFree {
  void operator()(gchar** v) const noexcept { g_strfreev(v); }
};
struct GObjectUnref {
  void operator()(gpointer p) const noexcept {
    if (p) g_object_unref(p);
  }
};
struct GErrorFree {
  void operator()(GError* e) const noexcept { g_error_free(e); }
};
struct GVariantUnref {
  void operator()(GVariant* v) const noexcept { g_variant_unref(v); }
};
struct GChecksumFree {
  void operator()(GChecksum* c) const noexcept { g_checksum_free(c); }
};

using GStr = std::unique_ptr<gchar, GFree>;         // texts from GLib/GTK
using StrVec = std::unique_ptr<gchar*, GStrvFree>;  // NULL-terminated text vectors
using GErr = std::unique_ptr<GError, GErrorFree>;
using GVar = std::unique_ptr<GVariant, GVariantUnref>;
template <class T>
using GObj = std::unique_ptr<T, GObjectUnref>;

// Turns an owned GLib text into a std::string; none stays none.
inline std::optional<std::string> take_text(gchar* owned) {
  GStr holder(owned);
  if (!holder) return std::nullopt;
  return std::string(holder.get());
}

// Fills a GError slot and hands it to a holder: `GErr e; f(..., out(e));`
class GErrorOut {
 public:
  explicit GErrorOut(GErr& target) : target_(target) {}
  ~GErrorOut() { target_.reset(raw_); }
  operator GError**() { return &raw_; }

 private:
  GErr& target_;
  GError* raw_ = nullptr;
};
inline GErrorOut out(GErr& target) {
  return GErrorOut(target);
}
