// HTTP GET for the update server: the parameters travel in the query string,
// the answer is a short text body. Also the Base64 codec with which firmware
// files travel inside such bodies.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// One completed HTTP exchange: the URL that was requested, the status and the
// whole body.
class HTTPResponse {
public:
  explicit HTTPResponse(const std::string &url) : request(url) {}

  const std::string &get_request() const { return request; }
  long get_status() const { return status; }
  // Writable: the answer parsers cut the body into lines in place.
  std::string &get_response() { return response; }
  const std::string &get_response() const { return response; }

  void set_status(long code) { status = code; }
  // Appends a chunk of the body as it arrives.
  void process(const char *data, size_t length) { response.append(data, length); }

private:
  std::string request;
  long status = 0; // 0 until the transfer completed
  std::string response;
};

namespace HTTPRequest {

// Names the environment variable that points at a PEM file of CA
// certificates to trust instead of the system store (a private update server
// or mirror with its own CA).
constexpr const char *CA_BUNDLE_ENV = "QW_UPDATE_CA_BUNDLE";

// Bounds on one request, so that a stalled or hostile server cannot hang the
// program or exhaust its memory. The defaults are far from anything a working
// server comes near; tests pass tighter ones.
struct Limits {
  long connect_timeout_ms = 20000;
  long low_speed_bytes_per_s = 16;   // slower than this ...
  long low_speed_time_s = 60;        // ... for this long aborts the transfer
  size_t max_body_bytes = 64u << 20; // a large firmware download is about 4 MiB
};

// The URL that GET requests: the base URL, then when there are parameters "?"
// and "key=value&" for each in ascending key order. Nothing is
// percent-encoded; callers encode reserved characters themselves.
std::string BuildURL(const std::string &base_url, const std::map<std::string, std::string> &parameters);

// Performs the request. Every completed HTTP exchange gives a response,
// whatever its status; a transport failure (no connection, TLS, time-out,
// refused protocol, oversized body) throws std::runtime_error with libcurl's
// text. Only the http and https schemes are allowed and redirects are not
// followed. Server certificates and host names are verified against the
// system CA store, or against the bundle named by CA_BUNDLE_ENV.
HTTPResponse GET(const std::string &base_url, const std::map<std::string, std::string> &parameters);
HTTPResponse GET(const std::string &base_url, const std::map<std::string, std::string> &parameters,
                 const Limits &limits);

} // namespace HTTPRequest

// Base64 (standard alphabet, "=" padding, no line breaks). Both return a
// malloc'ed buffer with a zero byte after the reported length (release it with
// free), or null. Decoding refuses a length that is not a multiple of 4, any
// character outside the alphabet, and "=" anywhere but in the last two places
// of the text; an empty text decodes to an empty buffer.
char *base64_encode(const unsigned char *data, size_t input_length, size_t *output_length);
unsigned char *base64_decode(const char *data, size_t input_length, size_t *output_length);
