#include "launcher/core/message_reporter.h"
#include "launcher/launcher_driver.h"

int main(int argc, char** argv) {
  int result = runLauncher(argc, argv, reportToConsole);
  if (result != 0) reportToConsole("Installation failed.");
  return result;
}
