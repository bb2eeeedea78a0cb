#include "agent/agent_manifest.h"

#include <limits>

#include "agent/agent_signature.h"

namespace {

constexpr std::string_view formatLine = "qz-agent-manifest 2\n";
constexpr size_t digestDigits = 64;

// Takes the line "`name` VALUE\n" from the front of `text` into `value`;
// false, `text` unchanged, when the front is anything else.
bool takeLine(std::string_view* text, std::string_view name, std::string_view* value) {
  if (!text->starts_with(name) || text->substr(name.size(), 1) != " ") return false;
  size_t end = text->find('\n', name.size());
  if (end == std::string_view::npos) return false;
  *value = text->substr(name.size() + 1, end - name.size() - 1);
  text->remove_prefix(end + 1);
  return true;
}

// A decimal number from 1 to 2^63-1, written without sign or leading zero.
bool parseNumber(std::string_view digits, uint64_t* number) {
  constexpr uint64_t largest = std::numeric_limits<int64_t>::max();
  if (digits.empty() || digits.size() > 19 || digits.front() == '0') return false;
  uint64_t value = 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    value = value * 10 + static_cast<uint64_t>(digit - '0');  // 19 digits cannot wrap
  }
  if (value > largest) return false;
  *number = value;
  return true;
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

// The bytes that exactly `length` lower-case hexadecimal digits spell; empty otherwise.
std::string decodeHex(std::string_view digits, size_t length) {
  std::string bytes;
  if (digits.size() != length) return bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    int high = hexValue(digits[i]), low = hexValue(digits[i + 1]);
    if (high < 0 || low < 0) return "";
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

}  // namespace

bool isAgentName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '/' || c == ' ' || byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

std::string agentNameOfUrl(std::string_view url) {
  size_t scheme = url.find("://");
  size_t authority = scheme == std::string_view::npos ? 0 : scheme + 3;
  size_t path = url.find_first_of("/?#", authority);
  if (path == std::string_view::npos || url[path] != '/') return "";
  std::string_view rest = url.substr(path);
  rest = rest.substr(0, rest.find_first_of("?#"));
  return std::string(rest.substr(rest.rfind('/') + 1));
}

std::string agentManifestSignedLines(const AgentManifest& manifest) {
  return std::string(formatLine) + "agent " + manifest.agent + "\nversion " +
         std::to_string(manifest.version) + "\nsize " + std::to_string(manifest.size) +
         "\nsha256 " + manifest.sha256 + "\n";
}

bool readAgentManifest(std::string_view text, std::string_view publicKeyPem,
                       std::string_view expectedAgent, AgentManifest* manifest) {
  if (!text.starts_with(formatLine)) return false;
  std::string_view rest = text.substr(formatLine.size());
  std::string_view agent, version, size, sha256, signature;
  AgentManifest read;
  if (!takeLine(&rest, "agent", &agent) || !isAgentName(agent) || agent != expectedAgent)
    return false;
  if (!takeLine(&rest, "version", &version) || !parseNumber(version, &read.version)) return false;
  if (!takeLine(&rest, "size", &size) || !parseNumber(size, &read.size)) return false;
  if (!takeLine(&rest, "sha256", &sha256) || decodeHex(sha256, digestDigits).empty()) return false;
  std::string_view signedPart = text.substr(0, text.size() - rest.size());
  if (!takeLine(&rest, "signature", &signature) || !rest.empty()) return false;
  std::string signatureBytes = decodeHex(signature, 2 * agentSignatureLength);
  if (signatureBytes.empty() || !ed25519SignatureVerifies(publicKeyPem, signedPart, signatureBytes))
    return false;
  read.agent = agent;
  read.sha256 = sha256;
  *manifest = read;
  return true;
}
