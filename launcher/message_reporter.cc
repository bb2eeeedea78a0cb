#include "launcher/message_reporter.h"

#include <cstdio>

void reportToConsole(std::string_view message, bool isError) {
  FILE* stream = isError ? stderr : stdout;
  std::fwrite(message.data(), 1, message.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}
