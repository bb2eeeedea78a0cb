// Installers run with a pseudo-terminal as standard error: the status line is
// drawn while the launcher works and erased before anything else appears, so
// the screen ends as it would without it.
#include <pty.h>
#include <termios.h>

#include <chrono>

#include "scenario.h"

using namespace testing_support;

namespace {

// How an installer meets its terminal: the terminal's type (unset when empty)
// and width, standard error a file instead, and an interruption (the terminal's
// Ctrl-C to the whole group) once the output holds a text. Then the screen it
// ends with, and whether it writes escapes and download progress at all.
struct TerminalRow {
  std::string installer = "online", path = "/slow", term = "xterm";
  unsigned short columns = 80;
  std::string errorFile{}, interruptOn{}, screen{};
  bool escapes = true, downloads = false;
};

// Every byte the row's installer in `work`, with its HOME there, writes to a
// raw pseudo-terminal, and the seconds it took.
std::pair<std::string, double> runInTerminal(const TerminalRow& row, const std::string& work,
                                             const std::string& server) {
  // Made before the fork: the server's threads make allocating after it unsafe. An
  // unset TERM is an option of env, which it takes while no variable has come yet.
  const std::string home = "HOME=" + work + "/home", installer = work + "/" + row.installer,
                    url = "QZ_INTERNAL_INSTALL_AGENT_URL=" + server + row.path,
                    terminalType = row.term.empty() ? "-uTERM" : "TERM=" + row.term;
  termios raw{};
  cfmakeraw(&raw);
  winsize size{24, row.columns, 0, 0};
  int terminal = -1;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = forkpty(&terminal, nullptr, &raw, &size);
  if (pid == 0) {
    if (!row.errorFile.empty())
      dup2(open(row.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    execl("/usr/bin/env", "env", "-i", "-C", work.c_str(), terminalType.c_str(),
          "PATH=/usr/bin:/bin", home.c_str(), url.c_str(), installer.c_str(), nullptr);
    _exit(127);
  }
  std::string output;
  char buffer[4096];
  bool interrupted = row.interruptOn.empty();
  for (ssize_t count; (count = read(terminal, buffer, sizeof buffer)) > 0;) {
    output.append(buffer, count);
    if (!interrupted && output.find(row.interruptOn) != std::string::npos)
      interrupted = kill(-pid, SIGINT) == 0;
  }
  waitpid(pid, nullptr, 0);
  close(terminal);
  return {output, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// The pieces of `output` between erasures of the line: the status lines drawn, then what stays.
std::vector<std::string> drawings(const std::string& output) {
  std::vector<std::string> pieces;
  for (size_t at = 0, end = 0; end != std::string::npos; at = end + 4)
    pieces.push_back(output.substr(at, (end = output.find("\r\033[K", at)) - at));
  return pieces;
}

// The status line is drawn (at most ten times a second, cut to the width)
// and erased before the agent, a failure line or the end by a signal; with
// no terminal or a dumb one, nothing but the failure lines is written.
TEST(Terminal, StatusLineIsDrawnThenErasedBeforeTheAgentOrAnyMessage) {
  TemporaryDirectory work;
  for (auto [name, offline, image] : {std::tuple{"online", false, launcher},
                                      {"signed", false, signedLauncher},
                                      {"offline", true, launcher}})
    ASSERT_TRUE(packInstaller(work.path(), work.file(name), {{"install", "exit 0"}}, offline,
                              image));  // small: the trickle takes seconds
  ScriptedServer server;
  server.answer("/slow", okAnswer(readFile(work.file("agent.zip"))), true);
  server.answer("/half", okAnswer(std::string(1 << 20, 'x')), false, 512 << 10);
  server.answer("/kib", okAnswer(std::string(1024, 'x')), false, 512);
  // clang-format off
  const TerminalRow rows[] = {
      {.downloads = true},
      {.installer = "offline"},
      {.installer = "signed", .screen = failed.substr(3) + "The install agent's signature did not verify" + advice},
      {.path = "/missing", .screen = "Could not reach the download server" + advice.substr(2)},
      {.columns = 30},
      {.columns = 25},  // bytes would cut into "…"
      {.interruptOn = "% of ", .downloads = true},
      {.term = "dumb", .escapes = false},
      {.term = "", .escapes = false},
      {.errorFile = work.file("errors"), .escapes = false},
      {.path = "/half", .interruptOn = "Downloading the install agent: 50% of 1.0 MiB", .downloads = true},
      {.path = "/kib", .interruptOn = "50% of 1.0 KiB", .downloads = true}};
  // clang-format on
  for (const TerminalRow& row : rows) {
    SCOPED_TRACE("row " + std::to_string(&row - rows));
    fs::remove_all(work.file("home"));
    auto [output, seconds] = runInTerminal(row, work.path(), server.url());
    EXPECT_EQ(output.find('\033') != std::string::npos, row.escapes) << output;
    EXPECT_EQ(output.find("\r\033[KPreparing the installer…") != std::string::npos, row.escapes);
    std::vector<std::string> pieces = drawings(output);
    EXPECT_EQ(pieces.back(), row.screen);
    pieces.pop_back();
    for (const std::string& status : pieces) {  // on one line, never as wide as the terminal
      EXPECT_EQ(status.find_first_of("\r\n\033"), std::string::npos) << status;
      EXPECT_LT(std::ranges::count_if(status, [](unsigned char c) { return (c & 0xC0) != 0x80; }),
                row.columns)
          << status;
    }
    size_t draws = 0;
    for (size_t at = 0; (at = output.find("% of ", at)) != std::string::npos; ++at) ++draws;
    EXPECT_EQ(draws > 0, row.downloads);
    EXPECT_LE(draws, seconds * 10 + 1) << "more than ten a second";
    EXPECT_EQ(readFile(row.errorFile), "");
    EXPECT_THAT(output, testing::HasSubstr(row.interruptOn));
  }
  server.release();
}

}  // namespace
