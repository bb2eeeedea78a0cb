#include "launcher/core/command_words.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Characters that a shell gives a meaning of its own outside quotes.
bool isUnquotedSpecial(char c) {
  constexpr std::string_view specials = "\n|&;<>()$`*?[{}";
  return specials.find(c) != std::string_view::npos;
}

// Within double quotes a backslash keeps its meaning only before these.
bool isEscapableInDoubleQuotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\'; }

class Splitter {
 public:
  explicit Splitter(std::string_view line) : line_(line) {}

  std::optional<std::vector<std::string>> words() {
    while (at_ < line_.size()) {
      char c = line_[at_++];
      if (isBlank(c)) {
        endWord();
      } else if (!takeQuotedOrLiteral(c)) {
        return std::nullopt;
      }
    }
    endWord();
    return std::move(words_);
  }

 private:
  bool takeQuotedOrLiteral(char c) {
    bool atWordStart = !inWord_;
    inWord_ = true;
    if (c == '\'') return takeUntil('\'');
    if (c == '"') return takeDoubleQuoted();
    if (c == '\\') {
      if (at_ == line_.size()) return false;
      if (line_[at_] == '\n') {  // a line continuation: neither character is kept
        ++at_;
        inWord_ = !atWordStart;
        return true;
      }
      word_ += line_[at_++];
      return true;
    }
    if (isUnquotedSpecial(c)) return false;
    if ((c == '~' || c == '#') && atWordStart) return false;  // home, comment
    word_ += c;
    return true;
  }

  bool takeUntil(char quote) {
    size_t end = line_.find(quote, at_);
    if (end == std::string_view::npos) return false;
    word_.append(line_.substr(at_, end - at_));
    at_ = end + 1;
    return true;
  }

  bool takeDoubleQuoted() {
    while (at_ < line_.size()) {
      char c = line_[at_++];
      if (c == '"') return true;
      if (c == '$' || c == '`') return false;
      if (c == '\\' && at_ < line_.size() && line_[at_] == '\n') {
        ++at_;
        continue;
      }
      if (c == '\\' && at_ < line_.size() && isEscapableInDoubleQuotes(line_[at_]))
        c = line_[at_++];
      word_ += c;
    }
    return false;
  }

  void endWord() {
    if (inWord_) words_.push_back(std::move(word_));
    word_.clear();
    inWord_ = false;
  }

  std::string_view line_;
  size_t at_ = 0;
  std::string word_;
  bool inWord_ = false;
  std::vector<std::string> words_;
};

}  // namespace

std::optional<std::vector<std::string>> splitCommandWords(std::string_view line) {
  return Splitter(line).words();
}
