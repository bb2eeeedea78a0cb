// Installers run with a pseudo-terminal as standard error: the status line is
// drawn while the launcher works and erased before anything else appears, so
// that the screen ends as it would without it.
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "agent_server.h"
#include "installer_fixture.h"

using namespace testing_support;
using testing::EndsWith;
using testing::HasSubstr;

namespace {

struct TerminalRun {
  int exitStatus = -1;
  std::string output;  // every byte written to the terminal
  double seconds = 0;
};

// Runs argv with a raw-mode pseudo-terminal as its standard streams, so that
// the bytes arrive exactly as written.
TerminalRun runInTerminal(const std::vector<std::string>& argv) {
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  termios raw{};
  cfmakeraw(&raw);
  int terminal = -1;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = forkpty(&terminal, nullptr, &raw, nullptr);
  if (pid == 0) {
    execv(arguments[0], arguments.data());
    _exit(127);
  }
  TerminalRun run;
  char buffer[4096];
  for (ssize_t count; (count = read(terminal, buffer, sizeof buffer)) > 0;)
    run.output.append(buffer, count);  // ends with EIO once no process holds the terminal
  int status = 0;
  waitpid(pid, &status, 0);
  close(terminal);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// What a terminal shows after `bytes`: "\r" goes back to the start of the
// line, "\033[K" erases from there to its end, "\n" starts a new line.
std::string screen(const std::string& bytes) {
  std::string shown, line;
  size_t column = 0;
  for (size_t at = 0; at < bytes.size(); ++at) {
    if (bytes.compare(at, 3, "\033[K") == 0) {
      line.resize(std::min(column, line.size()));
      at += 2;
    } else if (bytes[at] == '\r') {
      column = 0;
    } else if (bytes[at] == '\n') {
      shown += line + "\n";
      line.clear();
      column = 0;
    } else {
      if (column < line.size()) line[column] = bytes[at];
      else line += bytes[at];
      ++column;
    }
  }
  return shown + line;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++count;
  return count;
}

class TerminalProgress : public EndToEnd {};

TEST_F(TerminalProgress, StatusLineIsDrawnThenErasedBeforeTheAgentOrAnyMessage) {
  AgentServer server;
  // The smallest agent, so that the slow route (a byte each 20 ms) takes seconds.
  makeZip(agent, {{"install", "exit 0"}});
  server.configure({readFile(agent)});
  pack(installer, "");
  std::filesystem::create_directory(work.file("signed"));
  const std::string signedInstaller = work.file("signed/setup.run");
  pack(signedInstaller, "", signedLauncher);
  const std::string offlineInstaller = work.file("signed/offline.run");
  pack(offlineInstaller, agent);
  const std::string advice =
      ". Check your internet connectivity, proxy server, firewall, and virus scanner settings "
      "and rerun the installer.\nInstallation failed.\n";
  struct Case {
    std::string name, installer, path;
    int exitStatus;
    std::string screen;
    bool downloads;
  } cases[] = {
      {"a slow download, then the agent", installer, "/slow", 0, "", true},
      {"the agent packed in", offlineInstaller, "/none", 0, "", false},
      {"a slow download without a signature", signedInstaller, "/slow", 255,
       "Error: Download process failed - The install agent's signature did not verify\n\n" +
           advice,
       true},
      {"a server that is not there", installer, "/missing", 255,
       "Could not reach the download server" + advice, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(work.file("home"));
    TerminalRun run = runInTerminal({"/usr/bin/env", "HOME=" + work.file("home"),
                                     "QZ_INTERNAL_INSTALL_AGENT_URL=" + server.url(c.path),
                                     c.installer});
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(screen(run.output), c.screen);
    EXPECT_THAT(run.output, EndsWith("\r\033[K" + c.screen));
    EXPECT_THAT(run.output, HasSubstr("\r\033[KPreparing the installer…"));
    size_t draws = occurrences(run.output, "Downloading the install agent: ");
    EXPECT_EQ(draws > 0, c.downloads);
    EXPECT_LE(draws, run.seconds * 10 + 1) << "more than ten a second";
    if (c.downloads) {
      EXPECT_THAT(run.output, HasSubstr("% of "));
    }
  }
}

}  // namespace
