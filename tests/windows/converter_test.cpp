// Starting the converter on Windows: what the started program receives, where it is found, and
// what is reported when it cannot start. A stand-in converter records how it was started.
#include <windows.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "windows_support.h"

namespace {

using wintest::Recording;
using wintest::ScopedEnvironment;
using wintest::TempWorkingFolder;

constexpr std::chrono::seconds kStartBound{60};

TEST(ConverterNameTest, IsTheWindowsExecutable) {
  EXPECT_STREQ(platform::converter_name(), "ffmpeg.exe");
}

class StartConverterTest : public testing::Test {
 protected:
  StartConverterTest()
      : record_(folder_ / L"record"),
        record_target_(L"TOVIMO_ARGV_RECORD", record_),
        empty_path_(L"PATH", folder_ / L"no-such-folder") {}

  static void install_converter(const std::wstring& folder) {
    wintest::copy_file(wintest::recorder_program(), folder + L"\\ffmpeg.exe");
  }

  // Starts `argv` and returns how the stand-in converter was started; it has ended by then.
  Recording started(const std::vector<std::string>& argv) {
    std::string error;
    EXPECT_TRUE(platform::start_converter(argv, nullptr, &error)) << error;
    const auto recording = wintest::wait_for_recording(record_, kStartBound);
    if (!recording) {
      ADD_FAILURE() << "the converter did not record its start";
      return {};
    }
    EXPECT_TRUE(wintest::wait_for_exit(*recording, kStartBound));
    return *recording;
  }

  static std::string refusal(const std::vector<std::string>& argv) {
    std::string error;
    EXPECT_FALSE(platform::start_converter(argv, nullptr, &error));
    EXPECT_FALSE(error.empty());
    return error;
  }

  TempWorkingFolder folder_;
  std::wstring record_;
  ScopedEnvironment record_target_;
  ScopedEnvironment empty_path_;
};

TEST_F(StartConverterTest, HandsTheConverterItsArguments) {
  install_converter(folder_.path());
  const std::vector<std::string> expected = {
      "ffmpeg.exe",
      "-i",
      "D:\\clips\\my clip.flv",
      "-f",
      "3gp",
      "-s",
      "176x144",
      "-vcodec",
      "mpeg4",
      "-acodec",
      "libfaac",
      "-ab",
      "12.2k",
      "-ar",
      "8000",
      "-ac",
      "1",
      "-y",
      "D:\\out\\movie.3gp",
  };
  const Recording recording = started(expected);
  EXPECT_EQ(recording.runtime_argv, expected);
  EXPECT_EQ(recording.shell_argv, expected);
  EXPECT_EQ(recording.working_folder, wintest::narrow(folder_.path()));
}

TEST_F(StartConverterTest, PassesQuotesBackslashesBlanksAndNonAsciiUnchanged) {
  install_converter(folder_.path());
  const std::vector<std::string> odd = {
      "C:\\Program Files\\clips\\my clip.flv",
      "\\\\server\\share\\folder\\",
      "it's",
      "say \"hi\"",
      "\\\"",
      "a\\\\\"b",
      "trailing\\\\",
      "",
      " ",
      "tab\there",
      "#hash",
      "$HOME %PATH% `x` ^&|<>",
      "D:\\vid\xc3\xa9os\\\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xac.flv",
  };
  std::vector<std::string> expected = {"ffmpeg.exe"};
  expected.insert(expected.end(), std::begin(odd), std::end(odd));
  const Recording recording = started(expected);
  EXPECT_EQ(recording.runtime_argv, expected);
  EXPECT_EQ(recording.shell_argv, expected);
}

TEST_F(StartConverterTest, RunsInAConsoleOfItsOwnWithoutAWindow) {
  install_converter(folder_.path());
  const Recording recording = started({"ffmpeg.exe"});
  EXPECT_EQ(recording.console_processes, 1);
  EXPECT_FALSE(recording.console_window);
}

// What the program hears of the converter it follows, while its main loop runs.
class Heard : public platform::ConverterListener {
 public:
  void converter_output(const std::string& more) override { output += more; }
  void converter_ended(const std::string& failure) override { ended = failure; }
  std::string output;
  std::optional<std::string> ended;
};

bool run_until_ended(const Heard& heard) {
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (!heard.ended) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) Sleep(5);
  }
  return true;
}

// The converter's output and error reach the listener. Stop asks the converter to end as
// Ctrl+Break does; one that does not listen is ended with its job a few seconds later, and its
// end is heard once nothing of it runs. (Wine delivers no Ctrl+Break to a console without a
// window, so only the job's end can be shown here.)
TEST_F(StartConverterTest, ItsOutputIsHeardAndStopEndsAConverterThatDoesNotListen) {
  FreeConsole();  // as the program, a GUI program, has none: it joins the converter's to stop it
  install_converter(folder_.path());
  ScopedEnvironment seconds(L"TOVIMO_ARGV_SECONDS", L"60"), deaf(L"TOVIMO_ARGV_DEAF", L"1"),
      talk(L"TOVIMO_ARGV_TALK", L"1");
  const auto heard = std::make_shared<Heard>();
  std::string error;
  ASSERT_TRUE(platform::start_converter({"ffmpeg.exe"}, heard, &error)) << error;
  const auto recording = wintest::wait_for_recording(record_, kStartBound);
  ASSERT_TRUE(recording);
  EXPECT_TRUE(platform::stop_converter(*heard));
  ASSERT_TRUE(run_until_ended(*heard));
  EXPECT_EQ(*heard->ended, "exit status 1");  // the end given to its job
  EXPECT_NE(heard->output.find("stand-in output"), std::string::npos) << heard->output;
  EXPECT_NE(heard->output.find("stand-in error"), std::string::npos) << heard->output;
  EXPECT_TRUE(wintest::wait_for_exit(*recording, std::chrono::seconds(0)));
  EXPECT_FALSE(platform::stop_converter(*heard));  // nothing of it runs any more
}

TEST_F(StartConverterTest, PrefersTheConverterInTheWorkingFolderToPath) {
  const std::wstring bin = folder_ / L"bin";
  wintest::make_folder(bin);
  install_converter(bin);
  install_converter(folder_.path());
  ScopedEnvironment path(L"PATH", bin);
  EXPECT_EQ(started({"ffmpeg.exe"}).program, wintest::narrow(folder_ / L"ffmpeg.exe"));
}

TEST_F(StartConverterTest, FindsTheConverterOnPathInOrder) {
  const std::wstring first = folder_ / L"bin \u00e9 \u65e5";
  const std::wstring second = folder_ / L"later";
  wintest::make_folder(first);
  wintest::make_folder(second);
  install_converter(first);
  install_converter(second);
  ScopedEnvironment path(L"PATH", (folder_ / L"missing") + L";;\"" + first + L"\";" + second);
  const Recording recording = started({"ffmpeg.exe", "-i", "x"});
  EXPECT_EQ(recording.program, wintest::narrow(first + L"\\ffmpeg.exe"));
  EXPECT_EQ(recording.working_folder, wintest::narrow(folder_.path()));
}

TEST_F(StartConverterTest, ReportsAConverterThatIsNowhere) {
  EXPECT_NE(refusal({"ffmpeg.exe", "-i", "x"}).find("\"ffmpeg.exe\""), std::string::npos);
}

TEST_F(StartConverterTest, ReportsAnEmptyCommand) {
  EXPECT_FALSE(refusal({}).empty());
}

TEST_F(StartConverterTest, ReportsAConverterThatIsNoProgram) {
  wintest::write_file(folder_ / L"ffmpeg.exe", "not a program");
  EXPECT_NE(refusal({"ffmpeg.exe", "-i", "x"}).find("ffmpeg.exe"), std::string::npos);
}

TEST_F(StartConverterTest, ReportsTextThatIsNotUtf8) {
  install_converter(folder_.path());
  EXPECT_NE(refusal({"ffmpeg.exe", "-i", "caf\xe9.flv"}).find("UTF-8"), std::string::npos);
}

}  // namespace
