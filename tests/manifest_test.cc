// The agent manifest as the launcher reads it: exact bytes or nothing, under
// the key's signature; the key's id as openssl reckons it; and sign-agent,
// whose output the launcher must accept.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <random>

#include "agent/agent_manifest.h"
#include "agent/agent_signature.h"
#include "support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string signer = QZ_SIGNER_PATH;
const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::vector<std::string> ecKey = {"EC", "-pkeyopt", "ec_paramgen_curve:P-256"};
const std::string body = "qz-agent-manifest 1\nversion 42\nsize 1234567\nsha256 " + digest + "\n";

// An Ed25519 key pair made by openssl in a directory of its own: key.pem and pub.pem.
struct KeyPair {
  TemporaryDirectory directory;
  std::string privatePath = directory.file("key.pem"), publicPem;
  explicit KeyPair(std::vector<std::string> kind = {"ed25519"}) {
    kind.insert(kind.begin(), {"/usr/bin/openssl", "genpkey", "-out", privatePath, "-algorithm"});
    runProcess(kind);
    runProcess({"/usr/bin/openssl", "pkey", "-in", privatePath, "-pubout", "-out", directory.file("pub.pem")});
    publicPem = readFile(directory.file("pub.pem"));
  }

  // `lines` followed by the signature line of their Ed25519 signature, with `hex`'s digits.
  std::string signedText(const std::string& lines, const char* hex = "0123456789abcdef") const {
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(privatePath.c_str(), "r"), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof signature;
    EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get());
    EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<const unsigned char*>(lines.data()), lines.size());
    std::string text = lines + "signature ";
    for (unsigned char byte : signature) text += {hex[byte >> 4], hex[byte & 15]};
    return text + "\n";
  }
};

const KeyPair& testKey() {
  static const KeyPair key;
  return key;
}

bool accepted(const std::string& text, AgentManifest* manifest = nullptr) {
  AgentManifest read;
  return readAgentManifest(text, testKey().publicPem, manifest ? manifest : &read);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(AgentManifest, AcceptsExactlyTheSignedFormat) {
  const KeyPair& key = testKey();
  const std::string good = key.signedText(body);
  std::string lines[] = {"qz-agent-manifest 1\n", "version 42\n", "size 1234567\n", "sha256 " + digest + "\n"};
  std::pair<std::string, std::string> refusals[] = {
      {"the format line missing", key.signedText(body.substr(lines[0].size()))},
      {"another format", key.signedText(replaced(body, "manifest 1", "manifest 2"))},
      {"the version missing", key.signedText(replaced(body, lines[1], ""))},
      {"the size missing", key.signedText(replaced(body, lines[2], ""))},
      {"the digest missing", key.signedText(replaced(body, lines[3], ""))},
      {"the signature missing", body},
      {"size before version", key.signedText(lines[0] + lines[2] + lines[1] + lines[3])},
      {"digest before size", key.signedText(lines[0] + lines[1] + lines[3] + lines[2])},
      {"the signature first", replaced(good, body, "") + body},
      {"the version doubled", key.signedText(replaced(body, lines[1], lines[1] + lines[1]))},
      {"the digest doubled", key.signedText(body + lines[3])},
      {"the signature doubled", good + good.substr(body.size())},
      {"a digest one digit long", key.signedText(replaced(body, digest, digest + "0"))},
      {"a digest one digit short", key.signedText(replaced(body, digest, digest.substr(1)))},
      {"a signature one digit long", replaced(good, "\nsignature ", "\nsignature 0")},
      {"upper-case digest", key.signedText(replaced(body, "abcdef\n", "ABCDEF\n"))},
      {"upper-case signature", key.signedText(body, "0123456789ABCDEF")},
      {"version 0", key.signedText(replaced(body, "version 42", "version 0"))},
      {"version 2^63", key.signedText(replaced(body, "version 42", "version 9223372036854775808"))},
      {"version 2^64+42", key.signedText(replaced(body, "version 42", "version 18446744073709551658"))},
      {"version of nineteen nines", key.signedText(replaced(body, "version 42", "version 9999999999999999999"))},
      {"a leading zero", key.signedText(replaced(body, "version 42", "version 042"))},
      {"a plus sign", key.signedText(replaced(body, "version 42", "version +42"))},
      {"a minus sign", key.signedText(replaced(body, "version 42", "version -42"))},
      {"two spaces", key.signedText(replaced(body, "version 42", "version  42"))},
      {"a space after", key.signedText(replaced(body, "version 42", "version 42 "))},
      {"no version number", key.signedText(replaced(body, "version 42", "version "))},
      {"size 0", key.signedText(replaced(body, "size 1234567", "size 0"))},
      {"a carriage return in the body", key.signedText(replaced(body, "version 42\n", "version 42\r\n"))},
      {"a carriage return after the signature", good.substr(0, good.size() - 1) + "\r\n"},
      {"a NUL in the body", key.signedText(replaced(body, "size", std::string("s\0ze", 4)))},
      {"no final line feed", good.substr(0, good.size() - 1)},
      {"trailing bytes", good + "x"},
      {"a trailing empty line", good + "\n"},
      {"past 1 KiB", key.signedText(body + std::string(1000, '#'))},
      {"signed by another key", KeyPair().signedText(body)},
      {"empty", ""},
  };
  for (const auto& [name, text] : refusals) EXPECT_FALSE(accepted(text)) << name;

  std::pair<std::string, uint64_t> versions[] = {{"42", 42}, {"1", 1}, {"9223372036854775807", 9223372036854775807u}};
  for (const auto& [version, number] : versions) {
    AgentManifest manifest;
    EXPECT_TRUE(accepted(key.signedText(replaced(body, "version 42", "version " + version)), &manifest)) << version;
    EXPECT_EQ(manifest.version, number);
    EXPECT_EQ(manifest.size, 1234567u);
    EXPECT_EQ(manifest.sha256, digest);
  }
  AgentManifest untouched{7, 8, "x"};
  EXPECT_FALSE(readAgentManifest(good, KeyPair(ecKey).publicPem, &untouched));
  EXPECT_EQ(untouched.version, 7u);
}

// Random damage to a good manifest (seeded, so every run tries the same):
// only the unchanged bytes are accepted.
TEST(AgentManifest, RefusesEveryMutation) {
  const std::string good = testKey().signedText(body);
  static constexpr char bytes[] = "0123456789abcdefABCDEF\n\r -+x\0\xff";
  const std::string alphabet(bytes, sizeof bytes - 1);
  std::mt19937_64 random(20260101);
  auto below = [&](size_t bound) { return static_cast<size_t>(random() % bound); };
  int unchanged = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text = good;
    for (size_t edits = 1 + below(3); edits > 0; --edits) {
      size_t at = below(text.size() + 1), line = text.rfind('\n', at == 0 ? 0 : at - 1);
      char byte = below(4) == 0 ? static_cast<char>(random()) : alphabet[below(alphabet.size())];
      switch (below(6)) {
        case 0: if (at < text.size()) text[at] ^= static_cast<char>(1 << below(8)); break;
        case 1: if (at < text.size()) text[at] = byte; break;
        case 2: text.insert(at, 1, byte); break;
        case 3: if (at < text.size()) text.erase(at, 1 + below(3)); break;
        case 4: text.insert(at, text.substr(line == std::string::npos ? 0 : line + 1, 1 + below(80))); break;
        default: text.resize(at); break;
      }
    }
    unchanged += text == good;
    EXPECT_EQ(accepted(text), text == good) << testing::PrintToString(text);
  }
  EXPECT_LT(unchanged, 100);
}

TEST(AgentKeyId, IsTheStartOfTheSha256OfTheKeyInDer) {
  for (const std::vector<std::string>& kind : {std::vector<std::string>{"ed25519"}, ecKey}) {
    KeyPair key(kind);
    std::string fromOpenssl = runProcess({"/bin/sh", "-c", "openssl pkey -pubin -in \"$0\" -outform DER | sha256sum",
                                          key.directory.file("pub.pem")}).standardOutput;
    EXPECT_EQ(publicKeyId(key.publicPem), fromOpenssl.substr(0, 16)) << kind[0];
  }
  EXPECT_EQ(publicKeyId("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), "");
  EXPECT_EQ(agentKeyId(), "");  // the unit tests link no key
}

// sign-agent's manifest is what the launcher accepts; usage errors give 2,
// other refusals 1, and neither leaves a manifest.
TEST(SignAgent, WritesWhatTheLauncherAcceptsOrRefusesWithStatus) {
  const KeyPair& key = testKey();
  TemporaryDirectory work;
  std::string archive = work.file("agent.zip"), sig = archive + ".sig", data;
  for (int i = 0; data.size() < (5u << 19); ++i) data += std::to_string(i * 7919) + "\n";  // past the tool's 1 MiB piece
  writeFile(archive, data);
  ASSERT_EQ(runProcess({signer, "--version", "9223372036854775807", "--key", key.privatePath, archive}).exitCode, 0);
  AgentManifest manifest;
  ASSERT_TRUE(accepted(readFile(sig), &manifest)) << readFile(sig);
  EXPECT_EQ(manifest.version, 9223372036854775807u);
  EXPECT_EQ(manifest.size, data.size());
  EXPECT_EQ(manifest.sha256 + "  " + archive + "\n", runProcess({"/usr/bin/sha256sum", archive}).standardOutput);
  fs::remove(sig);

  std::string k = key.privatePath;
  std::pair<std::vector<std::string>, int> refusals[] = {
      {{}, 2}, {{"--key", k, archive}, 2}, {{"--version", "1", archive}, 2}, {{"--key", k, "--version", "1"}, 2},
      {{"--key", k, "--version", "1", archive, archive}, 2}, {{"--key", k, "--version", "1", "--bogus", archive}, 2},
      {{"--key", k, "--key", k, "--version", "1", archive}, 2}, {{"--key", k, archive, "--version"}, 2},
      {{"--key", k, "--version", "0", archive}, 2}, {{"--key", k, "--version", "01", archive}, 2},
      {{"--key", k, "--version", "9223372036854775808", archive}, 2}, {{"--key", k, "--version", "4x", archive}, 2},
      {{"--key", work.file("missing"), "--version", "1", archive}, 1},
      {{"--key", key.directory.file("pub.pem"), "--version", "1", archive}, 1},
      {{"--key", k, "--version", "1", work.file("missing")}, 1}, {{"--key", k, "--version", "1", work.path()}, 1}};
  for (auto [arguments, status] : refusals) {
    arguments.insert(arguments.begin(), signer);
    ProcessResult result = runProcess(arguments);
    EXPECT_EQ(result.exitCode, status) << testing::PrintToString(arguments);
    EXPECT_EQ(result.standardError.rfind("sign-agent: ", 0), 0u) << result.standardError;
    EXPECT_FALSE(pathExists(sig));
  }
}

}  // namespace
