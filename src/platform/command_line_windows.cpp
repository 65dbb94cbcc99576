#include "platform/command_line_windows.h"

#include <utility>

namespace platform {
namespace {

enum class State {
  kBlank,         // outside quotes
  kEscape,        // after an unquoted backslash
  kSingle,        // inside '...'
  kDouble,        // inside "..."
  kDoubleEscape,  // after a backslash inside "..."
  kCommentSign,   // just after a "#" that starts a comment
  kComment,       // the rest of a commented line
};

bool escapable_in_double_quotes(char c) {
  return c == '"' || c == '\\' || c == '`' || c == '$' || c == '\n';
}

// Collects the words; a word exists once anything, even an empty quoted text, has started it.
class Words {
 public:
  void add(char c) {
    word_ += c;
    started_ = true;
  }
  void start() { started_ = true; }
  void end() {
    if (!started_) return;
    words_.push_back(std::move(word_));
    word_.clear();
    started_ = false;
  }
  std::vector<std::string> take() { return std::move(words_); }

 private:
  std::vector<std::string> words_;
  std::string word_;
  bool started_ = false;
};

void fail(std::string* error, const char* reason) {
  if (error) *error = reason;
}

}  // namespace

std::optional<std::vector<std::string>> split_shell_words(const std::string& line,
                                                          std::string* error) {
  Words words;
  State state = State::kBlank;
  char previous = '\0';  // the raw character before the current one; decides whether "#" comments
  for (char c : line) {
    if (c == '\0') break;
    switch (state) {
      case State::kBlank:
        if (c == ' ' || c == '\t' || c == '\n') {
          words.end();
        } else if (c == '\'') {
          words.start();
          state = State::kSingle;
        } else if (c == '"') {
          words.start();
          state = State::kDouble;
        } else if (c == '\\') {
          state = State::kEscape;
        } else if (c == '#' && (previous == '\0' || previous == ' ' || previous == '\n')) {
          state = State::kCommentSign;
        } else {
          words.add(c);
        }
        break;
      case State::kEscape:
        if (c != '\n') words.add(c);
        state = State::kBlank;
        break;
      case State::kSingle:
        if (c == '\'') {
          state = State::kBlank;
        } else {
          words.add(c);
        }
        break;
      case State::kDouble:
        if (c == '"') {
          state = State::kBlank;
        } else if (c == '\\') {
          state = State::kDoubleEscape;
        } else {
          words.add(c);
        }
        break;
      case State::kDoubleEscape:
        if (!escapable_in_double_quotes(c)) words.add('\\');
        words.add(c);
        state = State::kDouble;
        break;
      case State::kCommentSign:
      case State::kComment:
        // The line break that ends a comment does not end a word begun before it.
        state = c == '\n' ? State::kBlank : State::kComment;
        break;
    }
    previous = c;
  }

  switch (state) {
    case State::kEscape:
      fail(error, "the text ends just after a backslash");
      return std::nullopt;
    case State::kSingle:
      fail(error, "the text ends before the closing single quote");
      return std::nullopt;
    case State::kDouble:
    case State::kDoubleEscape:
      fail(error, "the text ends before the closing double quote");
      return std::nullopt;
    case State::kCommentSign:  // GLib refuses a comment sign that ends the text, too
      fail(error, "the text ends just after a comment sign");
      return std::nullopt;
    case State::kBlank:
    case State::kComment:
      break;
  }
  words.end();
  std::vector<std::string> result = words.take();
  if (result.empty()) {
    fail(error, "the text is empty or holds only blanks");
    return std::nullopt;
  }
  return result;
}

std::string join_windows_command_line(const std::vector<std::string>& argv) {
  std::string line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (i > 0) line += ' ';
    const bool plain =
        !arg.empty() && arg.find_first_of(i == 0 ? " \t" : " \t\n\v\"") == std::string::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '"';
    if (i == 0) {
      line += arg;
    } else {
      // Backslashes are literal unless a double quote follows them, here or at the closing
      // quote: then each is doubled, and the quote of the text gets one more to escape it.
      std::size_t backslashes = 0;
      for (char c : arg) {
        if (c == '\\') {
          ++backslashes;
          continue;
        }
        if (c == '"') {
          line.append(2 * backslashes + 1, '\\');
        } else {
          line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
      }
      line.append(2 * backslashes, '\\');
    }
    line += '"';
  }
  return line;
}

}  // namespace platform
