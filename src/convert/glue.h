// The conversion workflow: the selected file, the service's replies, the order, the choosers
// and the converter. Entered only from the tray.
#pragma once

#include <string>

// Lets the user pick an .flv file and polls the service for it.
void glue_select_file();
// Polls the service for the selected file and acts on the reply.
void glue_check_task();

// Asks whether to carry out the order, tells the service, and ends the selection.
void glue_convert_process(const char* order_line);
// Parses the order, asks where to save, starts the converter.
void glue_ffmpeg_parse_and_run(const char* order_line);
// Shows the decoded message of an error reply.
void glue_error_process(const char* reply);

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
