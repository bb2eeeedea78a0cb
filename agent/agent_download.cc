#include "agent/agent_download.h"

#include <curl/curl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/agent_cache_layout.h"
#include "agent/agent_signature.h"
#include "agent/download_progress.h"
#include "agent/file_system_utilities.h"
#include "agent/transfer_policy.h"
#include "launcher/build_constants.h"
#include "launcher/unique_file.h"
#include "payload/scratch_directory.h"

namespace {

constexpr std::string_view etagHeaderPrefix = "ETag: ";
// The archive's detached signature lies beside it on the agent server.
constexpr std::string_view signatureSuffix = ".sig";
// Debian 12's libcurl follows redirects without end by default.
constexpr long redirectLimit = 30;
// Pieces of the archive as large as curl's own tool takes them: a sixth of
// the system calls of libcurl's default for the same download.
constexpr long receiveBufferSize = 128 * 1024;
constexpr std::string_view connectivityAdvice =
    "Check your internet connectivity, proxy server, firewall, and virus scanner settings and "
    "rerun the installer.";

struct HandleCleaner {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Handle = std::unique_ptr<CURL, HandleCleaner>;

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

void reportTransferFailed(CURLcode code, MessageReporter report) {
  reportDownloadFailed(curl_easy_strerror(code), report);
}

// Performs the request prepared on `handle`; false (reported) unless it
// completed with a response code below 400.
bool performRequest(CURL* handle, MessageReporter report) {
  CURLcode code = curl_easy_perform(handle);
  long responseCode = 0;
  if (code == CURLE_OK) code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &responseCode);
  if (code != CURLE_OK) {
    reportTransferFailed(code, report);
    return false;
  }
  if (responseCode == 404) {
    report("Could not reach the download server. " + std::string(connectivityAdvice), true);
    return false;
  }
  if (responseCode >= 400) {
    report("Error: Download process failed. Received an HTTP code: " +
               std::to_string(responseCode) + ". " + std::string(connectivityAdvice),
           true);
    return false;
  }
  return true;
}

bool cachedAgentIsCurrent(const std::string& cacheDirectory, const std::string& validator) {
  return !cachedAgentDirectory(cacheDirectory).empty() &&
         validatorFileMatches(cacheDirectory, validator);
}

// Prepares on `handle` a HEAD request of `url` that captures the validator;
// false (reported) when the library refuses the URL, redirects or the
// transfer policy.
bool prepareValidation(CURL* handle, const std::string& url, std::string* validator,
                       MessageReporter report) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  if (code != CURLE_OK) {
    reportSetupFailed(code, report);
    return false;
  }
  code = curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = applyTransferPolicy(handle, url);
  if (code != CURLE_OK) {
    report("Internal Error: Failed to initialize the download process - " +
               std::string(curl_easy_strerror(code)),
           true);
    return false;
  }
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, redirectLimit);
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, captureValidatorHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, validator);
  return true;
}

// Turns the HEAD request on `handle` into a GET of the same URL and streams
// the body into the unbuffered `file`; false (reported) unless all of it was
// written.
bool download(CURL* handle, FILE* file, MessageReporter report) {
  curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, nullptr);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferSize);
  CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBodyToFile);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, file);
  if (code != CURLE_OK) {
    reportSetupFailed(code, report);
    return false;
  }
  DownloadProgress progress(handle);
  return performRequest(handle, report);
}

// libcurl write callback: appends to the std::string at `signature`, which
// has room for one signature; a longer body ends the transfer.
size_t captureSignature(char* data, size_t size, size_t count, void* signature) {
  std::string* captured = static_cast<std::string*>(signature);
  size_t length = size * count;
  if (captured->size() + length > agentSignatureLength) return 0;
  captured->append(data, length);
  return length;
}

// Asks for `url` followed by ".sig" on `handle`, under the same transfer
// policy as the archive. False (reported) when the transfer itself failed;
// an answer of 400 or more, or a body longer than a signature, leaves
// `signature` empty, which no check accepts.
bool fetchSignature(CURL* handle, const std::string& url, std::string* signature,
                    MessageReporter report) {
  std::string signatureUrl = url + std::string(signatureSuffix);
  signature->reserve(agentSignatureLength);  // the callback must not allocate
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, signatureUrl.c_str());
  if (code == CURLE_OK) code = applyTransferPolicy(handle, signatureUrl);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, captureSignature);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, signature);
  if (code != CURLE_OK) {
    reportSetupFailed(code, report);
    return false;
  }
  code = curl_easy_perform(handle);
  long responseCode = 0;
  if (code == CURLE_OK) code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &responseCode);
  if (code == CURLE_WRITE_ERROR || responseCode >= 400) {
    signature->clear();
    return true;
  }
  if (code != CURLE_OK) reportTransferFailed(code, report);
  return code == CURLE_OK;
}

// True when the archive at `archive`, downloaded from `url`, carries a
// signature that verifies with the built-in key; false (reported) otherwise.
bool archiveIsSigned(CURL* handle, const std::string& url, const std::string& archive,
                     MessageReporter report) {
  std::string signature;
  if (!fetchSignature(handle, url, &signature, report)) return false;
  if (agentArchiveSignatureVerifies(archive, signature)) return true;
  reportDownloadFailed("The install agent's signature did not verify", report);
  return false;
}

}  // namespace

size_t captureValidatorHeader(char* data, size_t size, size_t count, void* validator) {
  size_t length = size * count;
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

size_t writeBodyToFile(char* data, size_t size, size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

bool downloadInstallAgent(const std::string& cacheDirectory, const std::string& destination,
                          std::string* freshValidator, MessageReporter report) {
  const char* url = std::getenv(agentUrlVariable);
  return downloadInstallAgentFrom(url != nullptr ? url : std::string(defaultAgentUrl),
                                  cacheDirectory, destination, freshValidator, report);
}

bool downloadInstallAgentFrom(const std::string& url, const std::string& cacheDirectory,
                              const std::string& destination, std::string* freshValidator,
                              MessageReporter report) {
  UniqueFile file(std::fopen(destination.c_str(), "wb"));
  if (!file) {
    int error = errno;
    report("Internal Error: Failed to create local download cache - " +
               std::string(std::strerror(error)) + ".\n\nPlease rerun the installer.",
           true);
    return false;
  }
  std::setvbuf(file.get(), nullptr, _IONBF, 0);  // each piece goes to disk in one write
  std::string validator;                         // released after the handle, before the file
  Handle handle(curl_easy_init());
  if (!handle) return true;
  if (!prepareValidation(handle.get(), url, &validator, report)) return false;
  if (!performRequest(handle.get(), report)) return false;
  if (cachedAgentIsCurrent(cacheDirectory, validator)) return true;

  // From here on a failure leaves the cache without an agent, so the next
  // run downloads again whatever its validator file says.
  removePathIfExists(cacheDirectory + std::string(agentDirectoryName));
  if (!download(handle.get(), file.get(), report)) return false;
  // An archive that is not the vendor's is neither kept nor vouched for.
  if (agentSignatureRequired() && !archiveIsSigned(handle.get(), url, destination, report)) {
    std::remove(destination.c_str());
    return false;
  }
  *freshValidator = validator;
  return true;
}
