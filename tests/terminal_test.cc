// Installers run with a pseudo-terminal as standard error: the status line is
// drawn while the launcher works and erased before anything else appears, so
// the screen ends as it would without it.
#include <pty.h>
#include <termios.h>

#include <chrono>

#include "scenario.h"

using namespace testing_support;

namespace {

// Every byte `installer` writes to a raw pseudo-terminal, and the seconds it took.
std::pair<std::string, double> runInTerminal(const std::string& home, const std::string& url, const std::string& installer) {
  std::string homeVariable = "HOME=" + home, urlVariable = "QZ_INTERNAL_INSTALL_AGENT_URL=" + url;
  termios raw{};
  cfmakeraw(&raw);
  int terminal = -1;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = forkpty(&terminal, nullptr, &raw, nullptr);
  if (pid == 0) execl("/usr/bin/env", "env", homeVariable.c_str(), urlVariable.c_str(), installer.c_str(), nullptr), _exit(127);
  std::string output;
  char buffer[4096];
  for (ssize_t count; (count = read(terminal, buffer, sizeof buffer)) > 0;) output.append(buffer, count);
  waitpid(pid, nullptr, 0);
  close(terminal);
  return {output, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// What a terminal shows after `bytes`: "\r" returns, "\033[K" erases to the end of the line.
std::string screen(const std::string& bytes) {
  std::string shown, line;
  for (size_t at = 0, column = 0; at < bytes.size(); ++at) {
    if (bytes.compare(at, 3, "\033[K") == 0) line.resize(std::min(column, line.size())), at += 2;
    else if (bytes[at] == '\r') column = 0;
    else if (bytes[at] == '\n') shown += line + "\n", line.clear(), column = 0;
    else if (column < line.size()) line[column++] = bytes[at];
    else line += bytes[at], ++column;
  }
  return shown + line;
}

TEST(Terminal, StatusLineIsDrawnThenErasedBeforeTheAgentOrAnyMessage) {
  TemporaryDirectory work;
  for (auto [name, offline, image] : {std::tuple{"online", false, launcher}, {"signed", false, signedLauncher}, {"offline", true, launcher}})
    ASSERT_TRUE(packInstaller(work.path(), work.file(name), {{"install", "exit 0"}}, offline, image));  // small: the trickle takes seconds
  ScriptedServer server;
  server.answer("/slow", okAnswer(readFile(work.file("agent.zip"))), true);
  std::tuple<std::string, std::string, std::string, bool> cases[] = {{"online", "/slow", "", true}, {"offline", "/slow", "", false},
               {"signed", "/slow", failed.substr(3) + "The install agent's signature did not verify" + advice, false},
               {"online", "/missing", "Could not reach the download server" + advice.substr(2), false}};
  for (const auto& [installer, path, shown, downloads] : cases) {
    SCOPED_TRACE(installer + path);
    fs::remove_all(work.file("home"));
    auto [output, seconds] = runInTerminal(work.file("home"), server.url() + path, work.file(installer));
    EXPECT_EQ(screen(output), shown);
    EXPECT_THAT(output, testing::EndsWith("\r\033[K" + shown));
    EXPECT_THAT(output, testing::HasSubstr("\r\033[KPreparing the installer…"));
    size_t draws = 0;
    for (size_t at = 0; (at = output.find("% of ", at)) != std::string::npos; ++at) ++draws;
    EXPECT_EQ(draws > 0, downloads);
    EXPECT_LE(draws, seconds * 10 + 1) << "more than ten a second";
  }
}

}  // namespace
