#include "launcher/status_line.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Back to the start of the line, and erase from there to its end.
constexpr std::string_view eraseLine = "\r\033[K";

bool showing = false;

void writeToTerminal(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool statusLineWanted() { return isatty(STDERR_FILENO) == 1; }

void showStatus(std::string_view text) {
  if (!statusLineWanted()) return;
  writeToTerminal(std::string(eraseLine) + std::string(text));
  showing = true;
}

void clearStatus() {
  if (!showing) return;
  writeToTerminal(eraseLine);
  showing = false;
}
