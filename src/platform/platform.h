// Everything that depends on the operating system, behind a few plain functions.
// No toolkit types cross this interface.
#pragma once

#include <glib.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using HardwareAddress = std::array<std::uint8_t, 6>;

// The six-byte hardware address of the machine's primary network adapter, or none.
std::optional<HardwareAddress> adapter_address();

// A socket, as the system names it (a file descriptor, or a Windows SOCKET).
using Socket = std::uintptr_t;
struct SocketState {
  Socket socket;
  bool read;           // wanted, or ready, for reading
  bool write;          // wanted, or ready, for writing
  bool error = false;  // reported an error or a hang-up (ready only)
};

// Waiting for sockets in the main loop: poll descriptors for the sockets a caller wants to wait
// for, to be polled together with the main loop's own, and what each socket is ready for after.
class SocketWait {
 public:
  SocketWait();
  ~SocketWait();
  SocketWait(const SocketWait&) = delete;
  SocketWait& operator=(const SocketWait&) = delete;

  // Descriptors that wait for `wanted`; a socket left out is no longer waited for.
  std::vector<GPollFD> prepare(const std::vector<SocketState>& wanted);
  // What each socket of the last prepare is ready for, from its descriptors as polled.
  std::vector<SocketState> ready(const std::vector<GPollFD>& polled);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether the HTTP library's and its compression library's runtime files are present.
bool http_runtime_present();

// Whether the converter and its runtime files are present.
bool converter_runtime_present();

// The converter's program name, first word of its command line.
const char* converter_name();

// Shows `url` in the user's default browser. On failure returns false and, when `error` is
// given, a reason fit for a dialog.
bool open_url(const std::string& url, std::string* error);

// What the program hears of a converter it started, on the main loop, where the system lets it
// follow the converter (see converter_followed).
class ConverterListener {
 public:
  virtual ~ConverterListener() = default;
  // More output arrived; called only when there is something new.
  virtual void converter_output(const std::string& more) = 0;
  // The converter ended: `failure` is empty when it exited with status 0, else says how it
  // ended ("exit status 1", "signal 9").
  virtual void converter_ended(const std::string& failure) = 0;
};

// Whether a started converter's output and end reach its listener.
bool converter_followed();

// Starts the converter with exactly the arguments `argv` (argv[0] its name), without waiting for
// it; it may outlive the program. `listener`, when given and followed, hears its output and end.
// On failure returns false and, when `error` is given, a reason fit for a dialog.
bool start_converter(const std::vector<std::string>& argv,
                     std::shared_ptr<ConverterListener> listener, std::string* error);

// Asks the running converter that `listener` follows, and everything it started, to end, and
// ends them for good a few seconds later if they have not; its end then reaches the listener
// once they are gone. False when no such converter runs or the system cannot stop it.
bool stop_converter(const ConverterListener& listener);

// At the program's end: every converter asked to stop that has not ended yet is ended for good
// now rather than a few seconds later, and its end reaches its listener, within `wait_ms`.
void finish_stopping(unsigned wait_ms);

// Shows a desktop notification with `summary` and `body` (plain UTF-8) and, where the system
// offers it, an action labelled `action_label` (on Windows, a click on the balloon) that runs
// `on_action` on the main loop. False, and nothing shown, where no notification service or
// notification area is there.
bool show_notification(const std::string& summary, const std::string& body,
                       const std::string& action_label, std::function<void()> on_action);

// The files named on the command line, as UTF-8 paths, from `main`'s arguments once the toolkit
// has taken its own options out of them.
std::vector<std::string> file_arguments(int argc, char** argv);

// One running program per user session.
enum class InstanceRole {
  kFirst,       // this process is the session's program: later starts hand their files to it
  kHandedOver,  // another process is: this one's file, if any, has been handed to it
  kAlone,       // the system gives no way to tell (no session bus): this one runs by itself
};
// Claims the session for this program, or hands `file` (an absolute path) to the process that
// holds it. As the first, `on_file` hears each file a later start hands over, on the main loop
// from an idle source of its own, never inside the system's message handling. Two starts racing
// each other give one first.
InstanceRole claim_instance(const std::optional<std::string>& file,
                            std::function<void(const std::string& file)> on_file);
// The program is leaving: later starts no longer hand over to it, and run by themselves.
void release_instance();

// Whether the user's session has a message bus: its address is given or its socket exists.
// Asking GIO without either would start a bus of its own through X11 autolaunch. Never on
// Windows.
bool session_bus_present();

// For a start with a file: the program reads its data from its working folder, which Windows'
// Open With sets to the file's folder, so there the program moves to the folder it lies in (when
// that holds its interface file). On Linux the menu entry names the folder: nothing changes.
void enter_data_folder();

}  // namespace platform
