// The two halves of a converter start on Windows: splitting the printed line with the shell-like
// rules it was quoted for, and joining the words into a Windows command line.
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
using platform::split_shell_words;
using Words = std::vector<std::string>;

std::optional<Words> split(const std::string& line) {
  return split_shell_words(line, nullptr);
}

TEST(ShellWordsTest, SplitsTheConverterLineIntoItsArguments) {
  EXPECT_EQ(split("ffmpeg.exe -i 'D:\\clips\\my clip.flv' -f 3gp -s 176x144 -vcodec mpeg4 "
                  "-acodec libfaac -ab 12.2k -ar 8000 -ac 1 -y 'D:\\out\\movie.3gp'"),
            (Words{"ffmpeg.exe", "-i", "D:\\clips\\my clip.flv", "-f", "3gp", "-s", "176x144",
                   "-vcodec", "mpeg4", "-acodec", "libfaac", "-ab", "12.2k", "-ar", "8000", "-ac",
                   "1", "-y", "D:\\out\\movie.3gp"}));
}

TEST(ShellWordsTest, SeparatesWordsByRunsOfSpacesTabsAndLineBreaks) {
  EXPECT_EQ(split("  a \t b\n\nc  "), (Words{"a", "b", "c"}));
  EXPECT_EQ(split("a\rb"), (Words{"a\rb"}));
}

TEST(ShellWordsTest, KeepsSingleQuotedTextLiterally) {
  EXPECT_EQ(split("'a  b' 'C:\\x\\' '\"$`#'"), (Words{"a  b", "C:\\x\\", "\"$`#"}));
  EXPECT_EQ(split("'it'\\''s'"), (Words{"it's"}));
}

TEST(ShellWordsTest, DoubleQuotesEscapeOnlyQuoteBackslashBacktickDollarAndLineBreak) {
  EXPECT_EQ(split("\"a\\\"b\" \"c\\\\d\" \"\\`\\$\" \"\\x\\'\""),
            (Words{"a\"b", "c\\d", "`$", "\\x\\'"}));
  EXPECT_EQ(split("\"a\\\nb\""), (Words{"a\nb"}));
}

TEST(ShellWordsTest, UnquotedBackslashEscapesAnyCharacter) {
  EXPECT_EQ(split("a\\ b c\\\\d \\'e\\\""), (Words{"a b", "c\\d", "'e\""}));
  EXPECT_EQ(split("a\\\nb"), (Words{"ab"}));
}

TEST(ShellWordsTest, TouchingPiecesFormOneWordAndEmptyQuotesAWord) {
  EXPECT_EQ(split("a'b c'\"d e\"f"), (Words{"ab cd ef"}));
  EXPECT_EQ(split("'' \"\" x"), (Words{"", "", "x"}));
}

TEST(ShellWordsTest, HashCommentsOnlyAtTheStartOfAWordAfterSpaceOrLineBreak) {
  EXPECT_EQ(split("a #b c\nd"), (Words{"a", "d"}));
  EXPECT_EQ(split("a#b"), (Words{"a#b"}));
  EXPECT_EQ(split("a\t#b"), (Words{"a", "#b"}));
  EXPECT_EQ(split("'#a'"), (Words{"#a"}));
}

TEST(ShellWordsTest, RefusesUnclosedQuotesAFinalBackslashAndEmptyLines) {
  for (const char* line : {"a 'b", "a \"b", "a \"b\\\"", "a\\", "", " \t\n", "# only", "a #"}) {
    SCOPED_TRACE(line);
    std::string error;
    EXPECT_FALSE(split_shell_words(line, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(ShellWordsTest, StopsAtTheFirstNul) {
  EXPECT_EQ(split(std::string("a b\0c", 5)), (Words{"a", "b"}));
}

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

TEST(ShellWordsTest, GiveBackShellQuotedWords) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    Words words = random_words(rng, 1 + round % 6);
    std::string line = "ffmpeg.exe";
    for (const std::string& word : words) line += " " + wintest::shell_quoted(word);
    words.insert(words.begin(), "ffmpeg.exe");
    ASSERT_EQ(split(line), words) << line;
  }
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
