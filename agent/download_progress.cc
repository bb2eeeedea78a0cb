#include "agent/download_progress.h"

#include <cstdio>
#include <exception>

#include "launcher/core/status_line.h"

namespace {

constexpr auto redrawInterval = std::chrono::milliseconds(100);

// "118 B", "1.5 KiB", "200.0 MiB", "1.0 GiB".
std::string byteCount(curl_off_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = bytes / 1024.0;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < std::size(units); ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

// "Downloading the install agent: 42% of 1.5 MiB, 310.2 KiB/s"; without the
// share and the total when the server did not say the size.
std::string downloadProgressText(curl_off_t done, curl_off_t total, curl_off_t bytesPerSecond) {
  std::string text = "Downloading the install agent: ";
  if (total > 0)
    text += std::to_string(done * 100 / total) + "% of " + byteCount(total);
  else
    text += byteCount(done);
  return text + ", " + byteCount(bytesPerSecond) + "/s";
}

}  // namespace

DownloadProgress::DownloadProgress(CURL* handle) : handle_(handle) {
  if (!statusLineWanted()) return;
  reporting_ = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, draw) == CURLE_OK &&
               curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this) == CURLE_OK &&
               curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
}

DownloadProgress::~DownloadProgress() {
  if (!reporting_) return;
  curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 1L);
  clearStatus();
}

int DownloadProgress::draw(void* progress, curl_off_t total, curl_off_t done, curl_off_t,
                           curl_off_t) {
  DownloadProgress* self = static_cast<DownloadProgress*>(progress);
  auto now = std::chrono::steady_clock::now();
  if (self->drawn_ && now - self->lastDrawn_ < redrawInterval) return 0;
  self->drawn_ = true;
  self->lastDrawn_ = now;
  curl_off_t rate = 0;
  curl_easy_getinfo(self->handle_, CURLINFO_SPEED_DOWNLOAD_T, &rate);
  try {
    showStatus(downloadProgressText(done, total, rate));
  } catch (const std::exception&) {
    // no exception may cross libcurl; a line not drawn changes nothing
  }
  return 0;  // never ends the transfer
}
