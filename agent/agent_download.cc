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
#include "launcher/build_constants.h"
#include "launcher/unique_file.h"

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

void reportSetupFailed(CURLcode code, MessageReporter report) {
  report("Error: Failed to initialize the installer - " + std::string(curl_easy_strerror(code)) +
             "\n\n. " + std::string(connectivityAdvice),
         true);
}

void reportDownloadFailed(std::string_view reason, MessageReporter report) {
  report("Error: Download process failed - " + std::string(reason) + "\n\n. " +
             std::string(connectivityAdvice),
         true);
}

// The one judgement of a finished transfer: true when it completed with a
// status below 400. Otherwise reports why and returns false. A body longer
// than its sink takes, and for the manifest (`vouches`) an answer of 400 or
// more, mean the agent cannot be vouched for.
bool judgeTransfer(const Transfer& transfer, bool vouches, MessageReporter report) {
  bool refused = transfer.code == CURLE_OK && transfer.status >= 400;
  if (transfer.overLimit || (vouches && refused)) {
    reportDownloadFailed(notVerified, report);
    return false;
  }
  if (transfer.code != CURLE_OK) {
    reportDownloadFailed(curl_easy_strerror(transfer.code), report);
    return false;
  }
  if (transfer.status == 404) {
    report("Could not reach the download server. " + std::string(connectivityAdvice), true);
    return false;
  }
  if (refused) {
    report("Error: Download process failed. Received an HTTP code: " +
               std::to_string(transfer.status) + ". " + std::string(connectivityAdvice),
           true);
    return false;
  }
  return true;
}

// The file the archive is written to, unbuffered so that each piece goes to
// disk in one write; null (reported) when it cannot be made.
UniqueFile createDownloadFile(const std::string& destination, MessageReporter report) {
  UniqueFile file(std::fopen(destination.c_str(), "wb"));
  if (!file) {
    int error = errno;
    report("Internal Error: Failed to create local download cache - " +
               std::string(std::strerror(error)) + ".\n\nPlease rerun the installer.",
           true);
    return nullptr;
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// Asks `url` with HEAD for its validator; false (reported) when the request
// could not be made or did not succeed.
bool askForValidator(CURL* handle, const std::string& url, std::string* validator,
                     MessageReporter report) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code != CURLE_OK) {
    reportSetupFailed(code, report);
    return false;
  }
  code = setOptions(handle, Setting{CURLOPT_FOLLOWLOCATION, 1L});
  if (code == CURLE_OK) code = applyTransferPolicy(handle, url);
  // A proxy's answer to CONNECT is not the server's: its headers never reach
  // the capture.
  if (code == CURLE_OK)
    code =
        setOptions(handle, Setting{CURLOPT_MAXREDIRS, redirectLimit}, Setting{CURLOPT_NOBODY, 1L},
                   Setting{CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L},
                   Setting{CURLOPT_HEADERFUNCTION, &captureValidatorHeader},
                   Setting{CURLOPT_HEADERDATA, static_cast<void*>(validator)});
  if (code != CURLE_OK) {
    report("Internal Error: Failed to initialize the download process - " +
               std::string(curl_easy_strerror(code)),
           true);
    return false;
  }
  return judgeTransfer(perform(handle, nullptr), false, report);
}

bool cachedAgentIsCurrent(const std::string& cacheDirectory, const std::string& validator) {
  return !cachedAgentDirectory(cacheDirectory).empty() &&
         validatorFileMatches(cacheDirectory, validator);
}

// Turns `handle` to a GET of `url` whose body goes to `sink`; false
// (reported) when the library refuses a setting.
bool prepareGet(CURL* handle, const std::string& url, BodySink* sink, MessageReporter report) {
  CURLcode code = setOptions(handle, Setting{CURLOPT_URL, url.c_str()});
  if (code == CURLE_OK) code = applyTransferPolicy(handle, url);
  if (code == CURLE_OK)
    code = setOptions(handle, Setting{CURLOPT_NOBODY, 0L}, Setting{CURLOPT_HTTPGET, 1L},
                      Setting{CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr)},
                      Setting{CURLOPT_HEADERDATA, static_cast<void*>(nullptr)},
                      Setting{CURLOPT_BUFFERSIZE, receiveBufferSize},
                      Setting{CURLOPT_WRITEFUNCTION, &takeBody},
                      Setting{CURLOPT_WRITEDATA, static_cast<void*>(sink)});
  if (code != CURLE_OK) reportSetupFailed(code, report);
  return code == CURLE_OK;
}

// The version of the manifest kept in `cacheDirectory`, or 0 when there is
// none that verifies.
uint64_t keptManifestVersion(const std::string& cacheDirectory, const std::string& agentName) {
  AgentManifest kept;
  std::string text = readCacheFile(cacheDirectory, manifestFileName, agentManifestLimit);
  return readAgentManifest(text, agentPublicKeyPem, agentName, &kept) ? kept.version : 0;
}

// Asks for `url` followed by ".sig" and accepts it as `manifest` only when
// it names the agent of `url`, verifies with the built-in key and is not
// older than the one kept in `cacheDirectory`; false (reported) otherwise.
bool fetchManifest(CURL* handle, const std::string& url, const std::string& cacheDirectory,
                   std::string* text, AgentManifest* manifest, MessageReporter report) {
  text->reserve(agentManifestLimit);  // the write callback must not allocate
  BodySink sink{.text = text, .limit = agentManifestLimit};
  if (!prepareGet(handle, url + std::string(manifestSuffix), &sink, report)) return false;
  if (!judgeTransfer(perform(handle, &sink), true, report)) return false;
  std::string agentName = agentNameOfUrl(url);
  if (!readAgentManifest(*text, agentPublicKeyPem, agentName, manifest)) {
    reportDownloadFailed(notVerified, report);
    return false;
  }
  if (manifest->version < keptManifestVersion(cacheDirectory, agentName)) {
    reportDownloadFailed(olderAgent, report);
    return false;
  }
  return true;
}

// GETs `url` into `file`: the whole body, or with a `manifest` exactly its
// size and digest, checked as the bytes arrive; false (reported) otherwise.
bool fetchArchive(CURL* handle, const std::string& url, FILE* file, const AgentManifest* manifest,
                  MessageReporter report) {
  std::optional<Sha256Digest> digest;  // only what a manifest vouches for is digested
  BodySink sink{.file = file};
  if (manifest != nullptr) sink.digest = &digest.emplace(), sink.limit = manifest->size;
  if (!prepareGet(handle, url, &sink, report)) return false;
  Transfer transfer;
  {
    DownloadProgress progress(handle);
    transfer = perform(handle, &sink);
  }
  if (!judgeTransfer(transfer, false, report)) return false;
  if (manifest == nullptr) return true;
  if (sink.received == manifest->size && digest->hexadecimal() == manifest->sha256) return true;
  reportDownloadFailed(notVerified, report);
  return false;
}

}  // namespace

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

bool downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                          const std::function<void()>& retireStaleAgent, FreshAgent* fresh,
                          MessageReporter report) {
  const char* url = std::getenv(agentUrlVariable);
  return downloadInstallAgentFrom(url != nullptr ? url : std::string(defaultAgentUrl),
                                  cacheDirectory, destination, retireStaleAgent, fresh, report);
}

bool downloadInstallAgentFrom(const std::string& url, const std::string& cacheDirectory,
                              const std::string& destination,
                              const std::function<void()>& retireStaleAgent, FreshAgent* fresh,
                              MessageReporter report) {
  UniqueFile file = createDownloadFile(destination, report);
  if (!file) return false;
  std::string validator, manifestText;  // released after the handle, before the file
  Handle handle(curl_easy_init());
  if (!handle) return true;
  if (!askForValidator(handle.get(), url, &validator, report)) return false;
  if (cachedAgentIsCurrent(cacheDirectory, validator)) return true;

  AgentManifest manifest;
  bool signedAgent = agentSignatureRequired();
  if (signedAgent &&
      !fetchManifest(handle.get(), url, cacheDirectory, &manifestText, &manifest, report))
    return false;
  // Without a key the stale agent goes before its replacement is asked for: a
  // failure from here on leaves the cache without an agent, or at least
  // without a validator, so the next run downloads again.
  if (!signedAgent) retireStaleAgent();
  if (!fetchArchive(handle.get(), url, file.get(), signedAgent ? &manifest : nullptr, report)) {
    // An archive that is not the vendor's is not kept.
    if (signedAgent) std::remove(destination.c_str());
    return false;
  }
  *fresh = {true, validator, manifestText};
  return true;
}
