// make-installer run as a vendor runs it, its output read back by Info-ZIP's
// and BusyBox's unzip.
#include "scenario.h"

using namespace testing_support;

namespace {

const std::string image = "/bin/true", notElf = ": not an ELF executable for x86-64 or arm64";
const std::string usage =
    "usage: make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT\n";

// A directory with inputs of every kind; WORK in an argument stands for it.
struct Inputs : TemporaryDirectory {
  Inputs() {
    makeZip(file("bundle.zip"), {{"product/readme.txt", "the product"}});
    makeZip(file("agent.zip"), {{"install", "exit 0"}});
    writeFile(file("text"), "not a zip archive, just long enough to be read as one");
    std::string bundle = readFile(file("bundle.zip"));
    writeFile(file("truncated.zip"), bundle.erase(bundle.size() - 10));  // the end record cut
    writeFile(file("empty"), "");
    writeFile(file("empty.zip"), std::string("PK\5\6", 4) + std::string(18, '\0'));
    writeFile(file("unreadable.zip"), readFile(file("agent.zip")), 0);
    mkfifo(file("fifo").c_str(), 0600);
    fs::create_directory(file("out"));
    writeFile(file("out/setup.run"), "an earlier installer");
    // /bin/true's ELF header made 32-bit, relocatable, for RISC-V, for arm64.
    for (auto [name, at, value] :
         {std::tuple{"elf32", 4, 1}, {"object", 16, 1}, {"riscv", 18, 243}, {"arm64", 18, 183}}) {
      std::string elf = readFile("/bin/true");
      elf[at] = static_cast<char>(value);
      writeFile(file(name), elf);
    }
  }
  // The packer run with `arguments`, the root's capabilities dropped so that modes hold, and
  // files limited to 1 MiB (dash counts 512-byte blocks), which only a launcher reaches.
  ProcessResult pack(std::vector<std::string> arguments) {
    const char* drop =
        geteuid() == 0 ? "/usr/bin/setpriv --inh-caps=-all --bounding-set=-all " : "";
    std::vector<std::string> argv = {
        "/bin/sh", "-c", "trap '' XFSZ; ulimit -f 2048; exec " + std::string(drop) + "\"$@\"", "sh",
        packer};
    for (const std::string& argument : arguments)
      argv.push_back(replaceAll(argument, "WORK", path()));
    return runProcess(argv);
  }
};

// Refusals (1) and usage errors (2): one line, then the usage line for the latter; nothing written.
TEST(Packer, RefusesWithOneLineAndLeavesTheOutputAsItWas) {
  Inputs in;
  const std::string bundle = "WORK/bundle.zip", out = "WORK/out/setup.run";
  const std::string sys = "/sys/devices/system/cpu/online";  // 4096 bytes by its size, fewer read
  const std::string notZip = ": not a ZIP archive", count = "expected LAUNCHER BUNDLE_ZIP OUTPUT",
                    needsFile = "--agent needs a file";
  // clang-format off
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"WORK/missing", bundle, out}, 1, "WORK/missing: No such file or directory"},
      {{"-", bundle, out}, 1, "-: No such file or directory"},  // a name, not an option
      {{"WORK/bundle.zip", "WORK/agent.zip", out}, 2, "WORK/bundle.zip" + notElf},
      {{"WORK/empty", bundle, out}, 2, "WORK/empty" + notElf},
      {{"WORK/elf32", bundle, out}, 2, "WORK/elf32" + notElf},
      {{"WORK/object", bundle, out}, 2, "WORK/object" + notElf},
      {{"WORK/riscv", bundle, out}, 2, "WORK/riscv" + notElf},
      {{"WORK/out", bundle, out}, 1, "WORK/out: Is a directory"},
      {{image, "WORK/fifo", out}, 1, "WORK/fifo: not a regular file"},
      {{image, "WORK/unreadable.zip", out}, 1, "WORK/unreadable.zip: Permission denied"},
      {{image, "WORK/text", out}, 1, "WORK/text" + notZip},
      {{image, "WORK/empty", out}, 1, "WORK/empty" + notZip},
      {{image, "WORK/truncated.zip", out}, 1, "WORK/truncated.zip" + notZip},
      {{"--agent", "WORK/text", image, bundle, out}, 1, "WORK/text" + notZip},
      {{sys, bundle, out}, 1, "cannot read " + sys + ": the file shrank while it was read"},
      {{image, bundle, "WORK/no dir/setup.run"}, 1,
       "cannot create a file beside WORK/no dir/setup.run: No such file or directory"},
      {{image, bundle, "WORK/out"}, 1, "WORK/out: exists and is not a regular file"},
      {{launcher, bundle, out}, 1, "cannot write WORK/out/setup.run: File too large"},
      {{}, 2, count}, {{image, bundle}, 2, count}, {{image, bundle, out, "more"}, 2, count},
      {{image, bundle, out, "--agent"}, 2, needsFile}, {{"--agent", "", image, bundle, out}, 2, needsFile},
      {{"--agent", "--zip64", image, bundle, out}, 2, needsFile},
      {{"--agent", "WORK/agent.zip", image, bundle, out, "--agent", "WORK/agent.zip"}, 2,
       "--agent given more than once"},
      {{"--zip", image, bundle, out}, 2, "unknown option --zip"}};
  // clang-format on
  const std::vector<std::string> before = listCache(in.path());
  for (const auto& [arguments, status, message] : cases) {
    ProcessResult result = in.pack(arguments);
    SCOPED_TRACE(message);
    EXPECT_EQ(result.exitCode, status);
    EXPECT_EQ(result.standardError, "make-installer: " + replaceAll(message, "WORK", in.path()) +
                                        "\n" + (status == 2 ? usage : ""));
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(listCache(in.path()), before);
    EXPECT_EQ(readFile(in.file("out/setup.run")), "an earlier installer");
  }
  ProcessResult help = in.pack({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.standardOutput,
            usage +
                "LAUNCHER is the launcher built for the users' machines: an ELF executable for\n"
                "x86-64 or arm64 (aarch64). BUNDLE_ZIP and AGENT_ZIP are ZIP archives.\n");
  // The header is all it checks of a launcher; an archive may be empty.
  EXPECT_EQ(in.pack({"--agent", "WORK/empty.zip", "WORK/arm64", "WORK/empty.zip", out}).exitCode,
            0);
}

// DOS time has two-second steps and starts in 1980: the local date, hour and
// minute of the modification time, as BusyBox lists them, are the file's own.
TEST(Packer, DosTimeOfEachMemberIsItsFileModificationTime) {
  Inputs in;
  // clang-format off
  std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"2021-12-31 23:59:59", "12-31-2021 23:59", "2021-12-31 23:59", "2021 Dec 31 23:59:58"},
      {"2000-02-29 08:07:06", "02-29-2000 08:07", "2000-02-29 08:07", "2000 Feb 29 08:07:06"},
      {"1975-06-01 10:00:01", "01-01-1980 00:00", "1975-06-01 10:00", "1980 Jan 1 00:00:00"}};
  // clang-format on
  auto inZone = [](std::vector<std::string> argv) {  // half an hour off: a UTC slip shows
    argv.insert(argv.begin(), {"/usr/bin/env", "TZ=IST-5:30"});
    return runProcess(argv);
  };
  ASSERT_EQ(inZone({"touch", "-d", "2011-01-02 03:04:05", in.file("agent.zip")}).exitCode, 0);
  const std::string out = in.file("out/setup.run"), bundle = in.file("bundle.zip");
  for (const auto& [modified, dos, universal, exact] : cases) {
    SCOPED_TRACE(modified);
    ASSERT_EQ(inZone({"touch", "-d", modified, bundle}).exitCode, 0);
    ASSERT_EQ(inZone({packer, "--agent", in.file("agent.zip"), image, bundle, out}).exitCode, 0);
    EXPECT_EQ(runProcess({"/usr/bin/unzip", "-tq", out}).exitCode, 0);  // every CRC-32 right
    std::string busybox = inZone({"busybox", "unzip", "-l", out}).standardOutput;
    EXPECT_THAT(busybox, testing::HasSubstr(dos + "   bundle.zip\n"));
    EXPECT_THAT(busybox, testing::HasSubstr("01-02-2011 03:04   InstallAgent.zip\n"));
    EXPECT_THAT(inZone({"unzip", "-l", out}).standardOutput,
                testing::HasSubstr(universal + "   bundle.zip\n"));
    std::string details = inZone({"zipinfo", "-v", out}).standardOutput;
    EXPECT_THAT(details, testing::HasSubstr("operating system of origin:      Unix"));
    EXPECT_THAT(details,
                testing::ContainsRegex("DOS date/time\\): +" + exact +
                                       "\n(.|\n)*DOS date/time\\): +2011 Jan 2 03:04:04\n"));
  }
}

// sign-agent takes a name that is one path component and a version from 1
// to 2^63-1 without a leading zero; anything else is a usage error (2) that
// writes nothing. The name and version are the manifest's second and third lines.
TEST(SignAgent, TakesOnlyAPathComponentAndAVersionTheLauncherReads) {
  Inputs in;
  const std::string agent = in.file("agent.zip"), sig = agent + ".sig";
  // clang-format off
  std::tuple<std::string, std::string, int> cases[] = {
      {"", "1", 2}, {"a/b", "1", 2}, {"a b", "1", 2}, {"a\tb", "1", 2}, {"a\nb", "1", 2},
      {"pi_agent", "042", 2}, {"pi_agent", "0", 2}, {"pi_agent", "9223372036854775808", 2},
      {"pi_agent", "1", 0}, {"pi_agent", "9223372036854775807", 0}};
  // clang-format on
  for (const auto& [name, version, status] : cases) {
    fs::remove(sig);
    ProcessResult result =
        runProcess({signer, "--key", signingKey, "--name", name, "--version", version, agent});
    const std::string head = "qz-agent-manifest 2\nagent " + name + "\nversion " + version + "\n";
    EXPECT_EQ(result.exitCode, status) << head << result.standardError;
    EXPECT_EQ(readFile(sig).starts_with(head), status == 0) << head;
    // The manifest is for the agent server to serve: readable by all.
    EXPECT_TRUE(status != 0 || fs::status(sig).permissions() == fs::perms(0644)) << head;
  }
  EXPECT_EQ(runProcess({signer, "--key", signingKey, "--version", "1", agent}).exitCode, 2);
}

}  // namespace
