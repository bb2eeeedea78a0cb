// The agent manifest as the launcher reads it: exact bytes or nothing, under
// the key's signature.
#include <gtest/gtest.h>

#include "agent/agent_manifest.h"
#include "agent/agent_signature.h"
#include "support.h"

using namespace testing_support;

namespace {

const std::string digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string body =
    "qz-agent-manifest 2\nagent pi_agent\nversion 42\nsize 1234567\nsha256 " + digest + "\n";

// A key pair made by openssl (Ed25519 unless told) in a directory of its own.
struct KeyPair : TemporaryDirectory {
  // What the shell `command` prints, run in the key's directory.
  std::string run(const std::string& command) const {
    return runProcess({"/bin/sh", "-c", "cd \"$0\" && " + command, path()}).standardOutput;
  }
  const std::string publicPem;
  explicit KeyPair(std::string kind = "ed25519")
      : publicPem(run("openssl genpkey -out key.pem -algorithm " + kind +
                      " && openssl pkey -in key.pem -pubout")) {}
  // `lines` followed by the signature line of their Ed25519 signature, in hex with `digits`.
  std::string signedText(const std::string& lines, const std::string& digits = "a-f") const {
    writeFile(file("lines"), lines);
    const std::string sign =
        "openssl pkeyutl -sign -rawin -inkey key.pem -in lines | od -An -v -tx1";
    return lines + "signature " + run(sign + " | tr -d ' \\n' | tr a-f " + digits) + "\n";
  }
};

const KeyPair key;

bool accepted(const std::string& text, AgentManifest* manifest = nullptr,
              const std::string& agent = "pi_agent") {
  AgentManifest read;
  return readAgentManifest(text, key.publicPem, agent, manifest ? manifest : &read);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// Each row one change to a good manifest, made to the signed lines (then signed
// again) or to the whole signed text: every one is refused.
TEST(AgentManifest, AcceptsExactlyTheSignedFormat) {
  const std::string good = key.signedText(body), version = "version 42\n", size = "size 1234567\n";
  // clang-format off
  std::pair<std::string, std::string> lines[] = {
      {"qz-agent-manifest 2\n", ""}, {"manifest 2", "manifest 1"}, {"manifest 2", "manifest 3"},
      {"agent pi_agent\n", ""}, {"agent pi_agent", "agent pi_agent2"},
      {"agent pi_agent\n", version + "agent pi_agent\n"}, {version, ""}, {size, ""},
      {"sha256 ", "sha256 0"}, {"abcdef\n", "bcdef\n"}, {"abcdef\n", "ABCDEF\n"},
      {version + size, size + version}, {version, version + version}, {"version 42", "version 0"},
      {"version 42", "version 9223372036854775808"}, {"version 42", "version 18446744073709551658"},
      {"version 42", "version 042"}, {"version 42", "version +42"}, {"version 42", "version  42"},
      {"version 42", "version 42 "}, {"version 42", "version "}, {"size 1234567", "size 0"},
      {version, "version 42\r\n"}, {version, "version 42\r"}, {"version 42", "version 4:"},
      {"version 42", "version:42"}, {"abcdef\n", "abcdef00\n"}, {"size", std::string("s\0ze", 4)}};
  // clang-format on
  for (const auto& [from, to] : lines)
    EXPECT_FALSE(accepted(key.signedText(replaced(body, from, to)))) << from << " -> " << to;
  for (const std::string& text :
       {body, good + good.substr(body.size()), replaced(good, "\nsignature ", "\nsignature 0"),
        key.signedText(body, "A-F"), good.substr(0, good.size() - 1) + "\r\n", good + "\n",
        key.signedText(body + std::string(1000, '#')), KeyPair().signedText(body), std::string()})
    EXPECT_FALSE(accepted(text)) << text;
  for (const auto& [text, number] : {std::pair{version, 42ul},
                                     {"version 1\n", 1ul},
                                     {"version 9223372036854775807\n", 9223372036854775807ul}}) {
    AgentManifest manifest;
    EXPECT_TRUE(accepted(key.signedText(replaced(body, version, text)), &manifest)) << text;
    EXPECT_EQ(std::tuple(manifest.agent, manifest.version, manifest.size, manifest.sha256),
              std::tuple("pi_agent", number, 1234567ul, digest));
  }
  // The name is one path component, whatever the launcher expects.
  for (std::string name : {"", "a/b", "a b", "a\tb", "a\x7f"})
    EXPECT_FALSE(
        accepted(key.signedText(replaced(body, "agent pi_agent", "agent " + name)), nullptr, name))
        << name;
  EXPECT_EQ(agentManifestSignedLines({"pi_agent", 42, 1234567, digest}), body);
  AgentManifest untouched{"x", 7, 8, "x"};
  EXPECT_FALSE(readAgentManifest(good, KeyPair("EC -pkeyopt ec_paramgen_curve:P-256").publicPem,
                                 "pi_agent", &untouched));
  EXPECT_EQ(untouched.version, 7u);
}

// The agent's name is the last component of the URL's path, which ends at
// "?" or "#"; a URL without a path names none.
TEST(AgentManifest, NamesTheAgentByItsUrlsLastPathComponent) {
  // clang-format off
  std::pair<const char*, const char*> urls[] = {
      {"https://h.example/a/pi_install_agent_pi_T19q7c_hostk64", "pi_install_agent_pi_T19q7c_hostk64"},
      {"http://h.example:8080/agent?v=1/x", "agent"}, {"http://h.example/agent#part/x", "agent"},
      {"http://h.example/a/", ""}, {"http://h.example", ""}, {"http://h.example?x/y", ""},
      {"h.example/dir/agent", "agent"}, {"HTTP://u@h.example/p%2Fq", "p%2Fq"}};
  // clang-format on
  for (const auto& [url, name] : urls) EXPECT_EQ(agentNameOfUrl(url), name) << url;
}

}  // namespace
