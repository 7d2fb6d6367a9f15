#include "server/HTTPRequest.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <curl/curl.h>

#include "app/Log.h"

namespace HTTPRequest {

namespace {

struct Transfer {
  HTTPResponse *response;
  size_t max_body_bytes;
};

size_t rcv_data(char *data, size_t size, size_t nmemb, void *target) {
  Transfer *transfer = static_cast<Transfer *>(target);
  size_t n = size * nmemb;
  if (Log::IsActive(DEBUG_ServerComm)) {
    // The chunk is not zero-terminated: show at most 100 bytes of a copy.
    char shown[101];
    size_t k = n < 100 ? n : 100;
    memcpy(shown, data, k);
    shown[k] = '\0';
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
             static_cast<int>(nmemb), static_cast<unsigned>(reinterpret_cast<uintptr_t>(transfer->response)), shown);
  }
  // A body beyond any real answer is a hostile or broken server: returning
  // less than n makes libcurl abort with a write error.
  if (transfer->response->get_response().size() + n > transfer->max_body_bytes)
    return 0;
  transfer->response->process(data, n);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
  return n;
}

// libcurl's global set-up is not thread-safe; do it once before any handle.
void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string BuildURL(const std::string &base_url, const std::map<std::string, std::string> &parameters) {
  std::string url = base_url;
  if (!parameters.empty()) {
    url += '?';
    for (const auto &[key, value] : parameters) {
      url += key;
      url += '=';
      url += value;
      url += '&';
    }
  }
  return url;
}

HTTPResponse GET(const std::string &base_url, const std::map<std::string, std::string> &parameters) {
  return GET(base_url, parameters, Limits{});
}

HTTPResponse GET(const std::string &base_url, const std::map<std::string, std::string> &parameters,
                 const Limits &limits) {
  globalInit();
  CURL *curl = curl_easy_init();
  HTTPResponse response(BuildURL(base_url, parameters));
  if (curl == nullptr)
    throw std::runtime_error("Could not create curl instance");

  Transfer transfer{&response, limits.max_body_bytes};
  const char *ca_bundle = getenv(CA_BUNDLE_ENV);
  CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, rcv_data);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str());
  // Verify the server's certificate chain and its name: an unverified "https"
  // would let anyone on the path serve forged firmware.
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK && ca_bundle != nullptr && ca_bundle[0] != '\0')
    rc = curl_easy_setopt(curl, CURLOPT_CAINFO, ca_bundle);
  // Nothing but http and https, also after a redirect (none are followed).
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // Bounded waits. No signals: downloads run on a worker thread.
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes_per_s);
  if (rc == CURLE_OK)
    rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_s);
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
    rc = curl_easy_perform(curl);
  }
  long status = 0;
  if (rc == CURLE_OK)
    rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK)
    throw std::runtime_error(curl_easy_strerror(rc));
  response.set_status(status);
  return response;
}

} // namespace HTTPRequest

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// One table per position in a group of four, each holding the character's
// six bits already shifted into place, so that a group decodes with three
// ORs; characters outside the alphabet carry the top bit as an error flag.
constexpr uint32_t kInvalid = 0x80000000u;

struct DecodeTable {
  uint32_t value[4][256];
  constexpr DecodeTable() : value() {
    for (int k = 0; k < 4; ++k)
      for (int i = 0; i < 256; ++i)
        value[k][i] = kInvalid;
    for (int i = 0; i < 64; ++i) {
      uint8_t c = static_cast<uint8_t>(kAlphabet[i]);
      value[0][c] = static_cast<uint32_t>(i) << 18;
      value[1][c] = static_cast<uint32_t>(i) << 12;
      value[2][c] = static_cast<uint32_t>(i) << 6;
      value[3][c] = static_cast<uint32_t>(i);
    }
  }
};

constexpr DecodeTable kDecode;

} // namespace

char *base64_encode(const unsigned char *data, size_t input_length, size_t *output_length) {
  if ((data == nullptr && input_length > 0) || output_length == nullptr || input_length > (SIZE_MAX / 4) * 3 - 3)
    return nullptr;
  size_t out_len = 4 * ((input_length + 2) / 3);
  char *out = static_cast<char *>(malloc(out_len + 1));
  if (out == nullptr)
    return nullptr;
  size_t i = 0, j = 0;
  for (; i + 3 <= input_length; i += 3, j += 4) {
    uint32_t triple = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out[j] = kAlphabet[(triple >> 18) & 0x3F];
    out[j + 1] = kAlphabet[(triple >> 12) & 0x3F];
    out[j + 2] = kAlphabet[(triple >> 6) & 0x3F];
    out[j + 3] = kAlphabet[triple & 0x3F];
  }
  size_t rest = input_length - i;
  if (rest > 0) {
    // The short last group is zero-filled; "=" replaces what carries no input.
    uint32_t triple = uint32_t{data[i]} << 16;
    if (rest == 2)
      triple |= uint32_t{data[i + 1]} << 8;
    out[j] = kAlphabet[(triple >> 18) & 0x3F];
    out[j + 1] = kAlphabet[(triple >> 12) & 0x3F];
    out[j + 2] = rest == 2 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
    out[j + 3] = '=';
  }
  out[out_len] = '\0';
  *output_length = out_len;
  return out;
}

unsigned char *base64_decode(const char *data, size_t input_length, size_t *output_length) {
  if ((data == nullptr && input_length > 0) || output_length == nullptr || input_length % 4 != 0)
    return nullptr;
  size_t out_len = input_length / 4 * 3;
  size_t padding = 0;
  if (input_length > 0 && data[input_length - 1] == '=') {
    padding = data[input_length - 2] == '=' ? 2 : 1;
    out_len -= padding;
  }
  unsigned char *out = static_cast<unsigned char *>(malloc(out_len + 1));
  if (out == nullptr)
    return nullptr;
  const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
  // Every group but the last has no padding; errors are gathered in one flag
  // so that the loop stays free of branches.
  size_t full = input_length == 0 ? 0 : input_length / 4 - (padding > 0 ? 1 : 0);
  const auto &d = kDecode.value;
  uint32_t bad = 0;
  unsigned char *o = out;
  for (size_t g = 0; g < full; ++g, in += 4, o += 3) {
    uint32_t triple = d[0][in[0]] | d[1][in[1]] | d[2][in[2]] | d[3][in[3]];
    bad |= triple;
    o[0] = static_cast<unsigned char>(triple >> 16);
    o[1] = static_cast<unsigned char>(triple >> 8);
    o[2] = static_cast<unsigned char>(triple);
  }
  if (padding > 0) {
    // "xx==" carries one byte, "xxx=" two.
    uint32_t triple = d[0][in[0]] | d[1][in[1]] | (padding == 1 ? d[2][in[2]] : 0);
    bad |= triple;
    o[0] = static_cast<unsigned char>(triple >> 16);
    if (padding == 1)
      o[1] = static_cast<unsigned char>(triple >> 8);
  }
  if (bad & kInvalid) {
    free(out);
    return nullptr;
  }
  out[out_len] = '\0';
  *output_length = out_len;
  return out;
}
