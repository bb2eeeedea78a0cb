// sign-agent: writes ARCHIVE.sig, the manifest that a launcher built with the
// matching public key asks for before it downloads ARCHIVE: the agent's name
// (the last component of the agent URL the launcher asks), the release's
// version, the archive's size and SHA-256, and the Ed25519 signature of those
// lines. Nothing is printed on success; a refusal prints one line and leaves
// no output behind.
//
//   sign-agent --key PRIVATE_KEY_PEM --name NAME --version N ARCHIVE

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_manifest.h"
#include "agent/openssl_handles.h"
#include "agent/sha256_digest.h"
#include "tools/file_io.h"

namespace packer {

namespace {

constexpr char usageLine[] =
    "usage: sign-agent --key PRIVATE_KEY_PEM --name NAME --version N ARCHIVE";
constexpr size_t readPiece = 1 << 20;
constexpr mode_t manifestMode = 0644;

struct Arguments {
  std::string key;
  std::string name;
  std::string version;
  std::string archive;
};

// A decimal number from 1 to 2^63-1 without sign or leading zero, as the
// launcher reads it.
bool isVersion(const std::string& text) {
  const std::string largest = "9223372036854775807";
  if (text.empty() || text[0] == '0' || text.size() > largest.size()) return false;
  if (text.find_first_not_of("0123456789") != std::string::npos) return false;
  return text.size() < largest.size() || text <= largest;
}

// Takes the option at argv[index] and its value, moving `index` past it.
Failure parseOption(int argc, char** argv, int& index, Arguments& arguments) {
  std::string option = argv[index];
  std::string* value = option == "--key"       ? &arguments.key
                       : option == "--name"    ? &arguments.name
                       : option == "--version" ? &arguments.version
                                               : nullptr;
  if (value == nullptr) return Failure("unknown option " + option);
  if (!value->empty()) return Failure(option + " given more than once");
  if (index + 1 == argc || argv[index + 1][0] == '\0') return Failure(option + " needs a value");
  *value = argv[++index];
  return {};
}

Failure parseArguments(int argc, char** argv, Arguments& arguments) {
  std::vector<std::string> operands;
  for (int index = 1; index < argc; ++index) {
    std::string word = argv[index];
    if (word.size() > 1 && word[0] == '-') {
      if (Failure error = parseOption(argc, argv, index, arguments)) return error;
    } else {
      operands.push_back(word);
    }
  }
  if (arguments.key.empty() || arguments.name.empty() || arguments.version.empty() ||
      operands.size() != 1)
    return Failure("expected --key, --name, --version and one ARCHIVE");
  if (!isAgentName(arguments.name))
    return Failure("the name must be one path component, without blanks or control characters");
  if (!isVersion(arguments.version))
    return Failure("the version must be a number from 1 to 9223372036854775807");
  arguments.archive = operands[0];
  return {};
}

// The manifest's lines before its signature: the archive read once, in pieces.
Failure describeArchive(const Arguments& arguments, std::string& lines) {
  const std::string& path = arguments.archive;
  InputFile input;
  if (Failure error = input.open(path)) return error;
  Sha256Digest digest;
  std::string piece(readPiece, '\0');
  for (uint64_t offset = 0; offset < input.size(); offset += piece.size()) {
    piece.resize(std::min<uint64_t>(readPiece, input.size() - offset));
    if (Failure error = input.readAt(offset, piece)) return error;
    digest.add(piece.data(), piece.size());
  }
  std::string sha256 = digest.hexadecimal();
  if (sha256.empty()) return Failure("cannot compute the SHA-256 of " + path);
  AgentManifest manifest{arguments.name, std::stoull(arguments.version), input.size(), sha256};
  lines = agentManifestSignedLines(manifest);
  return {};
}

// The Ed25519 signature of `message` with the private key in the PEM file
// `keyPath`, in lower-case hexadecimal.
Failure sign(const std::string& keyPath, const std::string& message, std::string& signature) {
  openssl::UniqueBio file(BIO_new_file(keyPath.c_str(), "r"));
  if (!file) return Failure(keyPath + ": cannot be read");
  openssl::UniqueKey key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
    return Failure(keyPath + ": not an Ed25519 private key in PEM form");
  openssl::UniqueDigestContext context(EVP_MD_CTX_new());
  unsigned char bytes[64];
  size_t length = sizeof bytes;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), bytes, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    return Failure("signing failed");
  static constexpr char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) signature += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
  return {};
}

Failure writeManifest(const Arguments& arguments) {
  std::string lines, signature;
  if (Failure error = describeArchive(arguments, lines)) return error;
  if (Failure error = sign(arguments.key, lines, signature)) return error;
  std::string manifest = lines + "signature " + signature + "\n",
              target = arguments.archive + ".sig";
  PendingOutput output(target);
  if (Failure error = output.create()) return error;
  if (Failure error = output.append(manifest)) return error;
  return output.commit(manifestMode);
}

// The whole tool: 0 when the manifest was written, 1 when refused, 2 on a
// usage error.
int run(int argc, char** argv) {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  Arguments arguments;
  if (Failure error = parseArguments(argc, argv, arguments)) {
    std::fprintf(stderr, "sign-agent: %s\n%s\n", error.lines().front().c_str(), usageLine);
    return 2;
  }
  if (Failure error = writeManifest(arguments)) {
    std::fprintf(stderr, "sign-agent: %s\n", error.lines().front().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

}  // namespace packer

int main(int argc, char** argv) { return packer::run(argc, argv); }
