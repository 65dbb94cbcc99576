// The conversion workflow: the selected file, the service's replies, the order, the choosers
// and the converter. Entered only from the tray.
#pragma once

#include <string>

// Lets the user pick an .flv file and polls the service for it.
void glue_select_file();
// Takes `path`, a file handed to the program, as if the user had picked it in the open chooser.
// A path that is not a readable file (none there, a folder, no access) is refused with a message
// that names it, and changes nothing.
void glue_open_file(const std::string& path);
// Polls the service for the selected file and acts on the reply.
void glue_check_task();

// Asks whether to carry out the order, tells the service, and ends the selection.
void glue_convert_process(const char* order_line);
// Parses the order, asks where to save, starts the converter.
void glue_ffmpeg_parse_and_run(const char* order_line);
// Shows the decoded message of an error reply.
void glue_error_process(const char* reply);

// Once the order page has been opened for the selected file, the program checks for the order by
// itself: first after 5 s, then at doubling waits up to 60 s, none later than 30 min after the
// page opened; never while one of its windows, questions or choosers is open. A check that fails
// is logged and shows nothing; the next follows the schedule. An order that arrives is asked
// about as after "Check task". Selecting a file, "Check task" and the end of the program stop
// the checks.
constexpr unsigned kOrderCheckFirstSeconds = 5;
constexpr unsigned kOrderCheckLongestSeconds = 60;
constexpr unsigned kOrderCheckSpanSeconds = 30 * 60;
// The wait before check `round` (0 for the first).
unsigned glue_order_check_wait(unsigned round);
// Starts the checks over: the order page has just been opened.
void glue_watch_start();
// Ends the checks; nothing in flight is acted upon.
void glue_watch_stop();
// Whether checks are scheduled.
bool glue_watching();
// Told each time the checks start (true) or stop (false), for the tray to show.
void glue_watch_set_listener(void (*listener)(bool watching));

// Whether the text from the path's last "." is exactly ".flv".
bool glue_has_flv_extension(const std::string& path);

// False while a workflow step holds a dialog or chooser open, and once the user has confirmed
// Exit: the tray then starts nothing new.
bool glue_may_start();
// Marks the workflow busy for its lifetime.
class GlueBusy {
 public:
  GlueBusy();
  ~GlueBusy();
  GlueBusy(const GlueBusy&) = delete;
  GlueBusy& operator=(const GlueBusy&) = delete;
};
