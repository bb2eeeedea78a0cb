// The agent download as a person at a terminal sees it: the share done, the
// bytes and the rate on the status line.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>

// While it lives, has libcurl report the transfer on `handle` to the status
// line, redrawn at most ten times a second, but only when standard error is
// a terminal: otherwise the handle is left exactly as it was. Stops the
// reports and erases the line when it goes.
class DownloadProgress {
 public:
  explicit DownloadProgress(CURL* handle);
  ~DownloadProgress();
  DownloadProgress(const DownloadProgress&) = delete;
  DownloadProgress& operator=(const DownloadProgress&) = delete;

 private:
  static int draw(void* progress, curl_off_t total, curl_off_t done, curl_off_t, curl_off_t);

  CURL* handle_;
  bool reporting_ = false;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDrawn_;
};
