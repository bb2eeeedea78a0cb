#include "launcher/launcher_driver.h"
#include "launcher/message_reporter.h"

int main(int argc, char** argv) {
  int result = runLauncher(argc, argv, reportToConsole);
  if (result != 0) reportToConsole("Installation failed.", true);
  return result;
}
