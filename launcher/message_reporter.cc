#include "launcher/message_reporter.h"

#include <iostream>

void reportToConsole(std::string_view message, bool isError) {
  std::ostream& stream = isError ? std::cerr : std::cout;
  stream.write(message.data(), static_cast<std::streamsize>(message.size()));
  stream << std::endl;
}
