#include "launcher/core/message_reporter.h"

#include <cstdio>

#include "launcher/core/status_line.h"

void reportToConsole(std::string_view message) {
  clearStatus();
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void reportFailure(const Failure& failure, MessageReporter report) {
  for (const std::string& line : failure.lines()) report(line);
}
