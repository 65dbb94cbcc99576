// The message dialogs through which the program speaks to the user. Title and text are
// borrowed UTF-8 texts; either may be null (no title; the dialog's default text).
#pragma once

// Notices that return at once and destroy themselves when answered.
void warn_dialog_run(const char* title, const char* text);
void info_dialog_run(const char* title, const char* text);  // text can be selected and copied
// Waits until the user has answered.
void error_dialog_run(const char* title, const char* text);
// Yes/No questions that wait: 1 for Yes, 0 for No or a closed window.
int confirm_dialog_run(const char* title, const char* text);
int exit_dialog_run(const char* title, const char* text);

// Ends every open dialog and file chooser as if it had been closed: a question's answer is No, a
// chooser gives no file, a notice goes. For the end of the program, whose main loop a dialog's own
// loop would otherwise hold.
void dialogs_end_all();
// Whether a dialog or file chooser is on screen, waiting or not.
bool dialogs_open();
