#include <csignal>

#include "launcher/launcher_driver.h"
#include "launcher/message_reporter.h"

int main(int argc, char** argv) {
  int result = runLauncher(argc, argv, reportToConsole);
  if (result != 0) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed standard error must not turn the 255 into a signal
    reportToConsole("Installation failed.", true);
  }
  return result;
}
