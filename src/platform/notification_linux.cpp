// Desktop notifications on Linux, through the session's notification service (libnotify).
#define G_LOG_DOMAIN "tovimo"

#include <libnotify/notify.h>

#include <utility>

#include "base/holders.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr char kActionName[] = "open";

struct NotificationAction {
  std::function<void()> run;
};

void on_action(NotifyNotification*, char*, gpointer data) {
  const auto* action = static_cast<NotificationAction*>(data);
  if (action->run) action->run();
}

// The notification holds itself until the service says it has closed, so that its action can
// still be heard; then it goes.
void on_closed(NotifyNotification* notification, gpointer) {
  g_object_unref(notification);
}

bool server_has_actions() {
  GList* caps = notify_get_server_caps();
  bool actions = false;
  for (GList* cap = caps; cap; cap = cap->next) {
    if (g_strcmp0(static_cast<const char*>(cap->data), "actions") == 0) actions = true;
  }
  g_list_free_full(caps, g_free);
  return actions;
}

}  // namespace

bool show_notification(const std::string& summary, const std::string& body,
                       const std::string& action_label, std::function<void()> on_action_run) {
  if (!notify_is_initted() && !notify_init("Tovimo")) return false;
  // Notification services may read the body as markup.
  GStr escaped(g_markup_escape_text(body.c_str(), -1));
  GObj<NotifyNotification> notification(
      notify_notification_new(summary.c_str(), escaped.get(), "video-x-generic"));
  if (on_action_run && server_has_actions()) {
    notify_notification_add_action(
        notification.get(), kActionName, action_label.c_str(), on_action,
        new NotificationAction{std::move(on_action_run)},
        [](gpointer held) { delete static_cast<NotificationAction*>(held); });
  }
  GErr error;
  if (!notify_notification_show(notification.get(), out(error))) {
    g_debug("no notification shown: %s", error ? error->message : "no reason given");
    return false;
  }
  g_signal_connect(notification.get(), "closed", G_CALLBACK(on_closed), nullptr);
  notification.release();
  return true;
}

}  // namespace platform
