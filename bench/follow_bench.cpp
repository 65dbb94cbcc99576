// What following a conversion costs the program: a real conversion of SOURCE into DESTINATION
// by the converter on PATH, started and followed as the program does it (its window with the
// bar, the time left and the last lines). Prints the program's own CPU time from the start to
// the converter's end (and on to the window's closing after success) and the converter's.
// Usage: follow_bench FIRST_SOURCE SOURCE DESTINATION (on a display): FIRST_SOURCE, a short
// clip, is converted first, to show what a run's first conversion costs besides.
#include <gtk/gtk.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "convert/ffmpeg_ctx.h"
#include "convert/ffmpeg_exec.h"

namespace {

double cpu_ms(const rusage& r) {
  return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
         (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

double cpu_ms(int who) {
  rusage r;
  getrusage(who, &r);
  return cpu_ms(r);
}

// One conversion followed: the program's CPU time once the converter has been reaped (which
// adds its time to the children's) and once the window has closed after success.
struct Run {
  double program_start = cpu_ms(RUSAGE_SELF), converters_start = cpu_ms(RUSAGE_CHILDREN);
  gint64 wall_start = g_get_monotonic_time();
  double program_at_end = -1, converter = 0, wall_ms = 0;
};

bool window_open() {
  GList* toplevels = gtk_window_list_toplevels();
  bool open = false;
  for (GList* l = toplevels; l; l = l->next) {
    const gchar* title = gtk_window_get_title(GTK_WINDOW(l->data));
    if (g_strcmp0(title, "ffmpeg") == 0 && gtk_widget_get_visible(GTK_WIDGET(l->data))) open = true;
  }
  g_list_free(toplevels);
  return open;
}

gboolean on_check(gpointer data) {
  auto* run = static_cast<Run*>(data);
  if (run->program_at_end < 0 && cpu_ms(RUSAGE_CHILDREN) > run->converters_start) {
    run->program_at_end = cpu_ms(RUSAGE_SELF);
    run->converter = cpu_ms(RUSAGE_CHILDREN) - run->converters_start;
    run->wall_ms = (g_get_monotonic_time() - run->wall_start) / 1e3;
  }
  if (window_open()) return G_SOURCE_CONTINUE;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

// Converts `source` into `destination`, followed in a window, until the window has closed.
bool follow(const char* name, const char* source, const std::string& destination) {
  std::optional<FfmpegTask> task = ffmpeg_parse("CONVERT AVI 0 0 0 0 0 0 0");
  task->source = source;
  task->destination = destination;
  Run run;
  if (!ffmpeg_execute_task(&*task)) return false;
  const guint check = g_timeout_add(100, on_check, &run);
  gtk_main();
  if (run.program_at_end < 0) {
    g_source_remove(check);
    return false;
  }
  const double following = run.program_at_end - run.program_start;
  std::printf(
      "%s wall_ms=%.0f program_cpu_ms=%.1f converter_cpu_ms=%.1f share=%.4f "
      "program_cpu_ms_to_close=%.1f\n",
      name, run.wall_ms, following, run.converter,
      run.converter > 0 ? following / run.converter : 0, cpu_ms(RUSAGE_SELF) - run.program_start);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gtk_init_check(&argc, &argv) || argc != 4) {
    std::fprintf(stderr, "usage: %s FIRST_SOURCE SOURCE DESTINATION (on a display)\n", argv[0]);
    return 2;
  }
  // The first conversion of a run also pays for what the program loads once (fonts, the
  // buttons' icons); the second shows what following a conversion costs from then on.
  const std::string destination = argv[3];
  return follow("first", argv[1], destination) && follow("follow", argv[2], destination) ? 0 : 1;
}
