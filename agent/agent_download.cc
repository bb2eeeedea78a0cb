#include "agent/agent_download.h"

#include <curl/curl.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "agent/agent_cache_layout.h"
#include "agent/agent_manifest.h"
#include "agent/agent_public_key.h"
#include "agent/agent_signature.h"
#include "agent/download_progress.h"
#include "agent/file_system_utilities.h"
#include "agent/sha256_digest.h"
#include "agent/transfer_policy.h"
#include "launcher/core/build_constants.h"
#include "launcher/core/unique_file.h"

namespace {

constexpr std::string_view etagHeaderPrefix = "ETag: ";
constexpr std::string_view statusLinePrefix = "HTTP/";
// The archive's signed manifest lies beside it on the agent server.
constexpr std::string_view manifestSuffix = ".sig";
// Debian 12's libcurl follows redirects without end by default.
constexpr long redirectLimit = 30;
// Pieces of the archive as large as curl's own tool takes them: a sixth of
// the system calls of libcurl's default for the same download.
constexpr long receiveBufferSize = 128 * 1024;
constexpr std::string_view connectivityAdvice =
    "Check your internet connectivity, proxy server, firewall, and virus scanner settings and "
    "rerun the installer.";
constexpr std::string_view notVerified = "The install agent's signature did not verify";
constexpr std::string_view olderAgent = "The install agent offered is older than the one in use";

struct HandleCleaner {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Handle = std::unique_ptr<CURL, HandleCleaner>;

// One option for setOptions().
template <typename Value>
struct Setting {
  CURLoption option;
  Value value;
};

// Sets each option on `handle` in turn; the first refusal's code, else CURLE_OK.
template <typename... Values>
CURLcode setOptions(CURL* handle, Setting<Values>... settings) {
  CURLcode code = CURLE_OK;
  ((code = code == CURLE_OK ? curl_easy_setopt(handle, settings.option, settings.value) : code),
   ...);
  return code;
}

// Where a response body goes: appended to `text` or written to the
// unbuffered `file`, digested when `digest` is set, and refused once it
// would pass `limit` bytes.
struct BodySink {
  std::string* text = nullptr;
  FILE* file = nullptr;
  Sha256Digest* digest = nullptr;
  uint64_t limit = std::numeric_limits<uint64_t>::max();
  uint64_t received = 0;
  bool overLimit = false;
};

// libcurl write callback for a BodySink; a short count makes libcurl end the
// transfer with its write error.
size_t takeBody(char* data, size_t size, size_t count, void* destination) {
  BodySink* sink = static_cast<BodySink*>(destination);
  size_t length = size * count;
  if (length > sink->limit - sink->received) {
    sink->overLimit = true;
    return 0;
  }
  if (sink->text != nullptr) sink->text->append(data, length);  // reserved: never allocates
  if (sink->file != nullptr && std::fwrite(data, 1, length, sink->file) != length) return 0;
  if (sink->digest != nullptr && !sink->digest->add(data, length)) return 0;
  sink->received += length;
  return length;
}

// How a transfer ended.
struct Transfer {
  CURLcode code = CURLE_OK;
  long status = 0;
  bool overLimit = false;  // the body was longer than its sink takes
};

Transfer perform(CURL* handle, const BodySink* sink) {
  Transfer transfer{curl_easy_perform(handle)};
  if (transfer.code == CURLE_OK)
    transfer.code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &transfer.status);
  transfer.overLimit = sink != nullptr && sink->overLimit;
  return transfer;
}

Failure setupFailed(CURLcode code) {
  return Failure("Error: Failed to initialize the installer - " +
                 std::string(curl_easy_strerror(code)) + "\n\n. " +
                 std::string(connectivityAdvice));
}

Failure downloadFailed(std::string_view reason) {
  return Failure("Error: Download process failed - " + std::string(reason) + "\n\n. " +
                 std::string(connectivityAdvice));
}

// The one judgement of a finished transfer: it fails unless it completed
// with a status below 400. A body longer than its sink takes, and for the
// manifest (`vouches`) an answer of 400 or more, mean the agent cannot be
// vouched for.
Failure judgeTransfer(const Transfer& transfer, bool vouches) {
  bool refused = transfer.code == CURLE_OK && transfer.status >= 400;
  if (transfer.overLimit || (vouches && refused)) return downloadFailed(notVerified);
  if (transfer.code != CURLE_OK) return downloadFailed(curl_easy_strerror(transfer.code));
  if (transfer.status == 404)
    return Failure("Could not reach the download server. " + std::string(connectivityAdvice));
  if (refused)
    return Failure("Error: Download process failed. Received an HTTP code: " +
                   std::to_string(transfer.status) + ". " + std::string(connectivityAdvice));
  return {};
}

// The file the archive is written to, unbuffered so that each piece goes to
// disk in one write.
Failure createDownloadFile(const std::string& destination, UniqueFile* file) {
  file->reset(std::fopen(destination.c_str(), "wb"));
  if (!*file)
    return Failure("Internal Error: Failed to create local download cache - " +
                   std::string(std::strerror(errno)) + ".\n\nPlease rerun the installer.");
  std::setvbuf(file->get(), nullptr, _IONBF, 0);
  return {};
}

// libcurl header callback: keeps the latest line that begins with "ETag: "
// (any letter case), less its final line feed, in the std::string at
// `validator`; a status line clears it, so that only the final answer's own
// header counts, never an interim (1xx) answer's or a redirect's. Always
// takes the whole line.
size_t captureValidatorHeader(char* data, size_t size, size_t count, void* validator) {
  size_t length = size * count;
  // Each answer starts with its status line: what an earlier one said is not
  // the final answer's.
  if (std::string_view(data, length).starts_with(statusLinePrefix))
    static_cast<std::string*>(validator)->clear();
  if (length >= etagHeaderPrefix.size() &&
      strncasecmp(data, etagHeaderPrefix.data(), etagHeaderPrefix.size()) == 0) {
    try {
      static_cast<std::string*>(validator)->assign(data, length - 1);
    } catch (const std::exception&) {
      return 0;  // no exception may cross libcurl; ending the transfer reports it
    }
  }
  return length;
}

// Asks `url` with HEAD for its validator; fails when the request could not
// be made or did not succeed.
Failure askForValidator(CURL* handle, const std::string& url, std::string* validator) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code != CURLE_OK) return setupFailed(code);
  code = setOptions(handle, Setting{CURLOPT_FOLLOWLOCATION, 1L});
  if (code == CURLE_OK) code = applyTransferPolicy(handle, url);
  // A proxy's answer to CONNECT is not the server's: its headers never reach
  // the capture.
  if (code == CURLE_OK)
    code = setOptions(handle, Setting{CURLOPT_MAXREDIRS, redirectLimit},
                      Setting{CURLOPT_NOBODY, 1L}, Setting{CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L},
                      Setting{CURLOPT_HEADERFUNCTION, &captureValidatorHeader},
                      Setting{CURLOPT_HEADERDATA, static_cast<void*>(validator)});
  if (code != CURLE_OK)
    return Failure("Internal Error: Failed to initialize the download process - " +
                   std::string(curl_easy_strerror(code)));
  return judgeTransfer(perform(handle, nullptr), false);
}

bool cachedAgentIsCurrent(const std::string& cacheDirectory, const std::string& validator) {
  return !cachedAgentDirectory(cacheDirectory).empty() &&
         validatorFileMatches(cacheDirectory, validator);
}

// Turns `handle` to a GET of `url` whose body goes to `sink`; fails when
// the library refuses a setting.
Failure prepareGet(CURL* handle, const std::string& url, BodySink* sink) {
  CURLcode code = setOptions(handle, Setting{CURLOPT_URL, url.c_str()});
  if (code == CURLE_OK) code = applyTransferPolicy(handle, url);
  if (code == CURLE_OK)
    code = setOptions(handle, Setting{CURLOPT_NOBODY, 0L}, Setting{CURLOPT_HTTPGET, 1L},
                      Setting{CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr)},
                      Setting{CURLOPT_HEADERDATA, static_cast<void*>(nullptr)},
                      Setting{CURLOPT_BUFFERSIZE, receiveBufferSize},
                      Setting{CURLOPT_WRITEFUNCTION, &takeBody},
                      Setting{CURLOPT_WRITEDATA, static_cast<void*>(sink)});
  return code == CURLE_OK ? Failure() : setupFailed(code);
}

// The version of the manifest kept in `cacheDirectory`, or 0 when there is
// none that verifies.
uint64_t keptManifestVersion(const std::string& cacheDirectory, const std::string& agentName) {
  AgentManifest kept;
  std::string text =
      readCacheFile(cacheFilePath(cacheDirectory, manifestFileName), agentManifestLimit);
  return readAgentManifest(text, agentPublicKeyPem, agentName, &kept) ? kept.version : 0;
}

// Asks for `url` followed by ".sig" and accepts it as `manifest` only when
// it names the agent of `url`, verifies with the built-in key and is not
// older than the one kept in `cacheDirectory`; fails otherwise.
Failure fetchManifest(CURL* handle, const std::string& url, const std::string& cacheDirectory,
                      std::string* text, AgentManifest* manifest) {
  text->reserve(agentManifestLimit);  // the write callback must not allocate
  BodySink sink{.text = text, .limit = agentManifestLimit};
  if (Failure failure = prepareGet(handle, url + std::string(manifestSuffix), &sink))
    return failure;
  if (Failure failure = judgeTransfer(perform(handle, &sink), true)) return failure;
  std::string agentName = agentNameOfUrl(url);
  if (!readAgentManifest(*text, agentPublicKeyPem, agentName, manifest))
    return downloadFailed(notVerified);
  if (manifest->version < keptManifestVersion(cacheDirectory, agentName))
    return downloadFailed(olderAgent);
  return {};
}

// GETs `url` into `file`: the whole body, or with a `manifest` exactly its
// size and digest, checked as the bytes arrive; fails otherwise.
Failure fetchArchive(CURL* handle, const std::string& url, FILE* file,
                     const AgentManifest* manifest) {
  std::optional<Sha256Digest> digest;  // only what a manifest vouches for is digested
  BodySink sink{.file = file};
  if (manifest != nullptr) sink.digest = &digest.emplace(), sink.limit = manifest->size;
  if (Failure failure = prepareGet(handle, url, &sink)) return failure;
  Transfer transfer;
  {
    DownloadProgress progress(handle);
    transfer = perform(handle, &sink);
  }
  if (Failure failure = judgeTransfer(transfer, false)) return failure;
  if (manifest == nullptr) return {};
  if (sink.received == manifest->size && digest->hexadecimal() == manifest->sha256) return {};
  return downloadFailed(notVerified);
}

// Asks `url` with HEAD and compares the ETag line of the final answer with
// the validator file of `cacheDirectory`; see downloadInstallAgent().
Failure downloadFrom(const std::string& url, const std::string& cacheDirectory,
                     const std::string& destination, const std::function<void()>& retireStaleAgent,
                     FreshAgent* fresh) {
  UniqueFile file;
  if (Failure failure = createDownloadFile(destination, &file)) return failure;
  std::string validator, manifestText;  // released after the handle, before the file
  Handle handle(curl_easy_init());
  if (!handle) return {};
  if (Failure failure = askForValidator(handle.get(), url, &validator)) return failure;
  if (cachedAgentIsCurrent(cacheDirectory, validator)) return {};

  AgentManifest manifest;
  bool signedAgent = agentSignatureRequired();
  if (signedAgent) {
    if (Failure failure =
            fetchManifest(handle.get(), url, cacheDirectory, &manifestText, &manifest))
      return failure;
  }
  // Without a key the stale agent goes before its replacement is asked for: a
  // failure from here on leaves the cache without an agent, or at least
  // without a validator, so the next run downloads again.
  if (!signedAgent) retireStaleAgent();
  if (Failure failure =
          fetchArchive(handle.get(), url, file.get(), signedAgent ? &manifest : nullptr)) {
    // An archive that is not the vendor's is not kept.
    if (signedAgent) std::remove(destination.c_str());
    return failure;
  }
  *fresh = {true, validator, manifestText};
  return {};
}

}  // namespace

Failure downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                             const std::function<void()>& retireStaleAgent, FreshAgent* fresh) {
  const char* url = std::getenv(agentUrlVariable);
  return downloadFrom(url != nullptr ? url : std::string(defaultAgentUrl), cacheDirectory,
                      destination, retireStaleAgent, fresh);
}
