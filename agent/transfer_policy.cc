#include "agent/transfer_policy.h"

#include <strings.h>

#include <string_view>

#include "agent/tls_trust.h"

namespace {

constexpr std::string_view secureScheme = "https://";

bool isSecure(const std::string& url) {
  return url.size() >= secureScheme.size() &&
         strncasecmp(url.c_str(), secureScheme.data(), secureScheme.size()) == 0;
}

// The path, or no path at all (which also clears a compiled-in default).
const char* pathOrNone(const std::string& path) { return path.empty() ? nullptr : path.c_str(); }

}  // namespace

CURLcode applyTransferPolicy(CURL* handle, const std::string& url) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR,
                            isSecure(url) ? "https" : "http,https");
  // libcurl copies both paths, so the anchors may go when this returns.
  TrustAnchors anchors = findTrustAnchors();
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_CAINFO, pathOrNone(anchors.bundleFile));
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_CAPATH, pathOrNone(anchors.directory));
  // An https:// proxy sees every request, so it is held to the same anchors.
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO, pathOrNone(anchors.bundleFile));
  if (code == CURLE_OK)
    code = curl_easy_setopt(handle, CURLOPT_PROXY_CAPATH, pathOrNone(anchors.directory));
  return code;
}
