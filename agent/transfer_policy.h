// What an agent download may reach and whom it trusts.
#pragma once

#include <curl/curl.h>

#include <string>

// Limits the transfer on `handle` for `url` to http and https; redirects from
// an https:// URL are followed only to https://, so no answer can move the
// download to a connection that anyone on the way may read or change. Servers
// and https:// proxies are verified against findTrustAnchors(). The first
// refused setting's code, else CURLE_OK.
CURLcode applyTransferPolicy(CURL* handle, const std::string& url);
