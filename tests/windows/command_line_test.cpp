// Joining the converter's arguments into a Windows command line that splits back into them.
#include <windows.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/command_line_windows.h"
#include "windows_support.h"

namespace {

using platform::join_windows_command_line;
using Words = std::vector<std::string>;

// Random words of the characters that matter to either rule set.
Words random_words(std::mt19937& rng, std::size_t count) {
  static const std::string pieces[] = {" ",   "\t", "\n", "'", "\"",       "\\",           "#",
                                       "$",   "`",  "a",  "Z", "\xc3\xa9", "\xe6\x97\xa5", "\\\\",
                                       "\\\""};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 8);
  Words words;
  for (std::size_t i = 0; i < count; ++i) {
    std::string word;
    for (int n = length(rng); n > 0; --n) word += pieces[pick(rng)];
    words.push_back(word);
  }
  return words;
}

Words shell_argv_of(const std::string& command_line) {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(wintest::wide(command_line).c_str(), &count);
  Words words;
  for (int i = 0; argv && i < count; ++i) words.push_back(wintest::narrow(argv[i]));
  LocalFree(argv);
  return words;
}

TEST(WindowsCommandLineTest, LeavesPlainWordsAsTheyAre) {
  EXPECT_EQ(join_windows_command_line({"ffmpeg.exe", "-i", "D:\\a\\b.flv", "-ab", "12.2k"}),
            "ffmpeg.exe -i D:\\a\\b.flv -ab 12.2k");
}

TEST(WindowsCommandLineTest, QuotesBlanksQuotesAndEmptyWords) {
  EXPECT_EQ(join_windows_command_line({"C:\\Program Files\\f.exe", "a b", "", "x\"y", "z\\"}),
            "\"C:\\Program Files\\f.exe\" \"a b\" \"\" \"x\\\"y\" z\\");
  EXPECT_EQ(join_windows_command_line({"f", "a b\\\\", "c\\\"d"}),
            "f \"a b\\\\\\\\\" \"c\\\\\\\"d\"");
}

TEST(WindowsCommandLineTest, CommandLineToArgvGivesBackEveryWord) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    Words words = random_words(rng, 1 + round % 6);
    words.insert(words.begin(), round % 2 ? "ffmpeg.exe" : "C:\\Program Files\\tovimo\\ffmpeg.exe");
    const std::string line = join_windows_command_line(words);
    ASSERT_EQ(shell_argv_of(line), words) << line;
  }
}

}  // namespace
