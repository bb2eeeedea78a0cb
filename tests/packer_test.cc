// make-installer run as a vendor runs it, its output read back byte by byte
// and by Info-ZIP's and BusyBox's unzip; and the ZIP64 limits of its records.
#include "scenario.h"
#include "tools/zip_records.h"

using namespace testing_support;

namespace {

const std::string& packerPath = testing_support::packer;
const std::string image = "/bin/true";
const std::string usage = "usage: make-installer [--zip64] [--agent AGENT_ZIP] LAUNCHER BUNDLE_ZIP OUTPUT\n";

// The little-endian value of `width` bytes at `at`.
uint64_t field(std::string_view bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
  return value;
}

// A central directory entry read back: its plain fields and its extra fields by id.
struct Entry {
  std::string name;
  uint64_t versionNeeded, size, offset, length;
  std::map<uint64_t, std::string> extras;
};

Entry readEntry(std::string_view bytes, size_t at) {
  EXPECT_EQ(bytes.substr(at, 4), "PK\1\2");
  size_t name = field(bytes, at + 28, 2), extra = field(bytes, at + 30, 2);
  Entry entry{std::string(bytes.substr(at + 46, name)), field(bytes, at + 6, 2), field(bytes, at + 20, 4), field(bytes, at + 42, 4),
              46 + name + extra + field(bytes, at + 32, 2), {}};
  for (size_t next = at + 46 + name; next < at + 46 + name + extra; next += 4 + field(bytes, next + 2, 2))
    entry.extras[field(bytes, next, 2)] = bytes.substr(next + 4, field(bytes, next + 2, 2));
  return entry;
}

// The central directory as the end records lead to it, and whether the ZIP64 ones did.
std::pair<std::vector<Entry>, bool> readDirectory(std::string_view bytes) {
  size_t end = bytes.size() - 22;
  EXPECT_EQ(bytes.substr(end, 4), "PK\5\6");
  uint64_t count = field(bytes, end + 10, 2), offset = field(bytes, end + 16, 4);
  bool zip64 = bytes.substr(end - 20, 4) == "PK\6\7";
  if (zip64) {
    size_t record = field(bytes, end - 12, 8);
    EXPECT_EQ(bytes.substr(record, 4), "PK\6\6");
    count = field(bytes, record + 32, 8), offset = field(bytes, record + 48, 8);
  }
  std::vector<Entry> entries;
  for (; entries.size() < count; offset += entries.back().length) entries.push_back(readEntry(bytes, offset));
  return {entries, zip64};
}

std::string littleEndian64(std::vector<uint64_t> values) {
  std::string bytes;
  for (uint64_t value : values)
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>(value >> 8 * i);
  return bytes;
}

// A directory with inputs of every kind; WORK in an argument stands for it.
struct Inputs {
  TemporaryDirectory work;
  Inputs() {
    makeZip(work.file("bundle.zip"), {{"product/readme.txt", "the product"}});
    makeZip(work.file("agent.zip"), {{"install", "exit 0"}});
    writeFile(work.file("text"), "not a zip archive, just long enough to be read as one");
    std::string bundle = readFile(work.file("bundle.zip"));
    writeFile(work.file("truncated.zip"), bundle.substr(0, bundle.size() - 10));  // within the end record
    writeFile(work.file("empty"), "");
    writeFile(work.file("unreadable.zip"), readFile(work.file("agent.zip")), 0);
    mkfifo(work.file("fifo").c_str(), 0600);
    fs::create_directory(work.file("out"));
    writeFile(work.file("out/setup.run"), "an earlier installer");
  }
  // The packer run with `arguments`, the root's capabilities dropped so that modes hold.
  ProcessResult pack(std::vector<std::string> arguments, std::string shell = "") {
    std::vector<std::string> argv = {"/bin/sh", "-c", "trap '' XFSZ; " + shell + " exec \"$@\"", "sh"};
    if (geteuid() == 0) argv.insert(argv.end(), {"/usr/bin/setpriv", "--inh-caps=-all", "--bounding-set=-all"});
    argv.push_back(packerPath);
    for (const std::string& argument : arguments) argv.push_back(replaceAll(argument, "WORK", work.path()));
    return runProcess(argv);
  }
};

// Refusals (1) and usage errors (2): one line, then the usage line for the latter; nothing written.
TEST(Packer, RefusesWithOneLineAndLeavesTheOutputAsItWas) {
  Inputs in;
  const std::string bundle = "WORK/bundle.zip", out = "WORK/out/setup.run";
  std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
      {{"WORK/missing", bundle, out}, 1, "WORK/missing: No such file or directory", ""},
      {{"WORK/out", bundle, out}, 1, "WORK/out: Is a directory", ""},
      {{image, "WORK/fifo", out}, 1, "WORK/fifo: not a regular file", ""},
      {{image, "WORK/unreadable.zip", out}, 1, "WORK/unreadable.zip: Permission denied", ""},
      {{image, "WORK/text", out}, 1, "WORK/text: not a ZIP archive", ""},
      {{image, "WORK/truncated.zip", out}, 1, "WORK/truncated.zip: not a ZIP archive", ""},
      {{image, "WORK/empty", out}, 1, "WORK/empty: not a ZIP archive", ""},
      {{"--agent", "WORK/text", image, bundle, out}, 1, "WORK/text: not a ZIP archive", ""},
      {{image, bundle, "WORK/no dir/setup.run"}, 1, "cannot create a file beside WORK/no dir/setup.run: No such file or directory", ""},
      {{image, bundle, "WORK/out"}, 1, "WORK/out: exists and is not a regular file", ""},
      {{launcher, bundle, out}, 1, "cannot write WORK/out/setup.run: File too large", "ulimit -f 2048;"},  // half-way
      {{}, 2, "expected LAUNCHER BUNDLE_ZIP OUTPUT", ""},
      {{image, bundle}, 2, "expected LAUNCHER BUNDLE_ZIP OUTPUT", ""},
      {{image, bundle, out, "more"}, 2, "expected LAUNCHER BUNDLE_ZIP OUTPUT", ""},
      {{image, bundle, out, "--agent"}, 2, "--agent needs a file", ""},
      {{"--agent", "--zip64", image, bundle, out}, 2, "--agent needs a file", ""},
      {{"--agent", "", image, bundle, out}, 2, "--agent needs a file", ""},
      {{"--agent", "WORK/agent.zip", image, bundle, out, "--agent", "WORK/agent.zip"}, 2, "--agent given more than once", ""},
      {{"--zip", image, bundle, out}, 2, "unknown option --zip", ""},
  };
  const std::vector<std::string> before = listCache(in.work.path());
  for (const auto& [arguments, status, message, shell] : cases) {
    ProcessResult result = in.pack(arguments, shell);
    SCOPED_TRACE(message);
    EXPECT_EQ(result.exitCode, status);
    EXPECT_EQ(result.standardError, "make-installer: " + replaceAll(message, "WORK", in.work.path()) + "\n" + (status == 2 ? usage : ""));
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(listCache(in.work.path()), before);
    EXPECT_EQ(readFile(in.work.file("out/setup.run")), "an earlier installer");
  }
  ProcessResult help = in.pack({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.standardOutput, usage);
}

// DOS time has two-second steps and starts in 1980: the local date, hour and
// minute of the modification time, as BusyBox lists them, are the file's own.
TEST(Packer, DosTimeOfEachMemberIsItsFileModificationTime) {
  Inputs in;
  std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"2021-12-31 23:59:59", "12-31-2021 23:59", "2021-12-31 23:59", "2021 Dec 31 23:59:58"},
      {"2000-02-29 08:07:06", "02-29-2000 08:07", "2000-02-29 08:07", "2000 Feb 29 08:07:06"},
      {"1975-06-01 10:00:01", "01-01-1980 00:00", "1975-06-01 10:00", "1980 Jan 1 00:00:00"},
  };
  const std::string zone = "TZ=IST-5:30";  // half an hour off: a UTC slip shows
  ASSERT_EQ(runProcess({"/usr/bin/env", zone, "touch", "-d", "2011-01-02 03:04:05", in.work.file("agent.zip")}).exitCode, 0);
  for (const auto& [modified, dos, universal, exact] : cases) {
    SCOPED_TRACE(modified);
    ASSERT_EQ(runProcess({"/usr/bin/env", zone, "touch", "-d", modified, in.work.file("bundle.zip")}).exitCode, 0);
    std::string out = in.work.file("out/setup.run");
    ASSERT_EQ(runProcess({"/usr/bin/env", zone, packerPath, "--agent", in.work.file("agent.zip"), image, in.work.file("bundle.zip"), out}).exitCode, 0);
    std::string busybox = runProcess({"/usr/bin/env", zone, "busybox", "unzip", "-l", out}).standardOutput;
    EXPECT_THAT(busybox, testing::HasSubstr(dos + "   bundle.zip\n"));
    EXPECT_THAT(busybox, testing::HasSubstr("01-02-2011 03:04   InstallAgent.zip\n"));
    EXPECT_THAT(runProcess({"/usr/bin/env", zone, "unzip", "-l", out}).standardOutput, testing::HasSubstr(universal + "   bundle.zip\n"));
    std::string details = runProcess({"/usr/bin/env", zone, "zipinfo", "-v", out}).standardOutput;
    EXPECT_THAT(details, testing::ContainsRegex("DOS date/time\\): +" + exact + "\n(.|\n)*DOS date/time\\): +2011 Jan 2 03:04:04\n"));
  }
}

// With and without --zip64 (and options after the operands): each member's
// data where its local header says, offsets from the file's start, records
// Info-ZIP's unzip and zipinfo accept without a warning.
TEST(Packer, WritesZip64RecordsOnlyWhenForced) {
  Inputs in;
  const std::string out = in.work.file("out/setup.run"), bundle = in.work.file("bundle.zip"), agent = in.work.file("agent.zip");
  for (std::vector<std::string> options : {std::vector<std::string>{}, {"--zip64"}}) {
    bool forced = !options.empty();
    options.insert(options.begin(), {image, bundle, out, "--agent", agent});
    ASSERT_EQ(in.pack(options).exitCode, 0);
    const std::string bytes = readFile(out);
    auto [entries, zip64] = readDirectory(bytes);
    EXPECT_EQ(zip64, forced);
    ASSERT_EQ(entries.size(), 2u);
    size_t offset = fs::file_size(image);
    for (const auto& [entry, input] : {std::pair{entries[0], bundle}, {entries[1], agent}}) {
      SCOPED_TRACE(entry.name);
      const std::string content = readFile(input);
      EXPECT_EQ(entry.versionNeeded, forced ? 45u : 10u);
      EXPECT_EQ(entry.size, forced ? 0xFFFFFFFF : content.size());
      EXPECT_EQ(entry.offset, forced ? 0xFFFFFFFF : offset);
      EXPECT_EQ(entry.extras.count(1) ? entry.extras.at(1) : "", forced ? littleEndian64({content.size(), content.size(), offset}) : "");
      EXPECT_EQ(bytes.substr(offset, 4), "PK\3\4");
      size_t data = offset + 30 + field(bytes, offset + 26, 2) + field(bytes, offset + 28, 2);
      EXPECT_EQ(bytes.substr(data, content.size()), content);
      offset = data + content.size();
    }
    EXPECT_EQ(entries[0].name + " " + entries[1].name, "bundle.zip InstallAgent.zip");
    ProcessResult tested = runProcess({"/usr/bin/unzip", "-t", out});
    EXPECT_EQ(tested.exitCode, 0) << tested.standardOutput << tested.standardError;
    EXPECT_THAT(tested.standardOutput, testing::HasSubstr("No errors detected"));
    EXPECT_EQ(runProcess({"/usr/bin/unzip", "-p", out, "bundle.zip"}).standardOutput, readFile(bundle));
    ProcessResult listed = runProcess({"/usr/bin/zipinfo", out});
    EXPECT_EQ(listed.exitCode, 0) << listed.standardError;
    EXPECT_THAT(listed.standardOutput, testing::ContainsRegex("stor .* bundle.zip\n.*stor .* InstallAgent.zip\n"));
  }
}

// From 0xFFFFFFFF on a size or offset, and 0xFFFF entries, only ZIP64 holds
// them; the owner's ids are not 0, so that no stray bytes pass for a ZIP64 field.
TEST(ZipRecords, TakeZip64FieldsExactlyAtTheLimits) {
  std::tuple<uint64_t, uint64_t, uint64_t, bool> ends[] = {{2, 100, 0xFFFFFFFE, false}, {2, 100, 0xFFFFFFFF, true}, {2, 0xFFFFFFFE, 0, false},
                                                          {2, 0xFFFFFFFF, 0, true}, {0xFFFE, 1, 1, false}, {0xFFFF, 1, 1, true}};
  for (const auto& [count, size, offset, zip64] : ends) {
    SCOPED_TRACE(testing::Message() << count << " " << size << " " << offset);
    std::string end = packer::directoryEnd(count, size, offset, false), plain = end.substr(end.size() - 22);
    ASSERT_EQ(end.size(), zip64 ? 98u : 22u);
    EXPECT_EQ(plain.substr(0, 4), "PK\5\6");
    EXPECT_EQ(std::tuple(field(plain, 10, 2), field(plain, 12, 4), field(plain, 16, 4)),
              std::tuple(std::min<uint64_t>(count, 0xFFFF), std::min<uint64_t>(size, 0xFFFFFFFF), std::min<uint64_t>(offset, 0xFFFFFFFF)));
    EXPECT_EQ(zip64 ? end.substr(32, 24) : "", zip64 ? littleEndian64({count, size, offset}) : "");
  }
  std::tuple<uint64_t, uint64_t, std::vector<uint64_t>> members[] = {{0xFFFFFFFE, 0xFFFFFFFE, {}},
      {0xFFFFFFFF, 7, {0xFFFFFFFF, 0xFFFFFFFF}}, {7, 0xFFFFFFFF, {0xFFFFFFFF}}, {0x100000001, 0x200000002, {0x100000001, 0x100000001, 0x200000002}}};
  for (const auto& [size, offset, zip64] : members) {
    SCOPED_TRACE(testing::Message() << size << " " << offset);
    packer::ZipMember member{.name = "m", .size = size, .localHeaderOffset = offset, .uid = 0x100, .gid = 0x1000001};
    Entry entry = readEntry(packer::centralEntry(member), 0);
    EXPECT_EQ(entry.versionNeeded, zip64.empty() ? 10u : 45u);
    EXPECT_EQ(std::pair(entry.size, entry.offset), std::pair(std::min<uint64_t>(size, 0xFFFFFFFF), std::min<uint64_t>(offset, 0xFFFFFFFF)));
    EXPECT_EQ(entry.extras.count(1) ? entry.extras.at(1) : "", littleEndian64(zip64));
    EXPECT_EQ(entry.extras.count(0x7875), 1u);
  }
}

}  // namespace
