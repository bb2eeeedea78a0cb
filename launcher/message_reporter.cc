#include "launcher/message_reporter.h"

#include <cstdio>

#include "launcher/status_line.h"

void reportToConsole(std::string_view message, bool isError) {
  clearStatus();
  FILE* stream = isError ? stderr : stdout;
  std::fwrite(message.data(), 1, message.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
