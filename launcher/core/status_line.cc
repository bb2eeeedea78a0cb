#include "launcher/core/status_line.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Back to the start of the line, and erase from there to its end.
constexpr std::string_view eraseLine = "\r\033[K";
constexpr size_t defaultColumns = 80;

volatile sig_atomic_t showing = 0;

void writeToTerminal(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

size_t terminalColumns() {
  winsize size = {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return defaultColumns;
  return size.ws_col;
}

// `text` cut to at most `columns` characters, never inside a UTF-8 sequence.
std::string_view fitToColumns(std::string_view text, size_t columns) {
  size_t characters = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    bool startsCharacter = (static_cast<unsigned char>(text[at]) & 0xc0) != 0x80;
    if (startsCharacter && characters++ == columns) return text.substr(0, at);
  }
  return text;
}

}  // namespace

bool statusLineWanted() {
  const char* terminal = std::getenv("TERM");
  if (terminal == nullptr || *terminal == '\0' || std::strcmp(terminal, "dumb") == 0) return false;
  return isatty(STDERR_FILENO) == 1;
}

void showStatus(std::string_view text) {
  if (!statusLineWanted()) return;
  size_t columns = terminalColumns();
  writeToTerminal(std::string(eraseLine) + std::string(fitToColumns(text, columns - 1)));
  showing = 1;
}

void clearStatus() {
  if (!showing) return;
  writeToTerminal(eraseLine);
  showing = 0;
}

void eraseStatusFromHandler() {
  if (!showing) return;
  ssize_t ignored = write(STDERR_FILENO, eraseLine.data(), eraseLine.size());
  (void)ignored;
  showing = 0;
}
