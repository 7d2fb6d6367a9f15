// Starts the reference update server (tools/update-server, qw-update-server)
// as a child process on a free loopback port, for tests that need a real
// update server. Every wait is bounded; the destructor stops the server.
//
//   qwtest::UpdateServerProcess server;
//   ASSERT_TRUE(server.Start({dir.path()})) << server.error();
//   UpdateServerRequest::ping(server.url().c_str());
//
// The content directory layout is described in tools/update-server/README.md.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace qwtest {

// The built server: $QW_UPDATE_SERVER_BIN when set, else the build tree's
// tools/update-server/qw-update-server.
std::string UpdateServerPath();

class UpdateServerProcess {
public:
  struct Options {
    Options(std::string dir, std::string cert_file = {}, std::string key_file = {}, std::string log_file = {})
        : directory(std::move(dir)), cert(std::move(cert_file)), key(std::move(key_file)), log(std::move(log_file)) {}
    std::string directory; // content directory
    std::string cert;      // with key: serve HTTPS
    std::string key;
    std::string log; // request log file (status, method, target per line)
    std::string address = "127.0.0.1";
  };

  UpdateServerProcess() = default;
  ~UpdateServerProcess() { Stop(); }
  UpdateServerProcess(const UpdateServerProcess &) = delete;
  UpdateServerProcess &operator=(const UpdateServerProcess &) = delete;

  // Starts the server on a free port and waits at most timeoutMs for it to
  // report the port it bound. False (with error() set) when it did not.
  bool Start(const Options &options, int timeoutMs = 15000);
  // SIGTERM, then at most timeoutMs for the process to end, then SIGKILL.
  // Returns the exit status, or -1 when it had to be killed or was not running.
  int Stop(int timeoutMs = 5000);

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  // The server URL to give the updater, e.g. "http://127.0.0.1:40123/cgi/u".
  const std::string &url() const { return url_; }
  // The URL's scheme, host and port without the path.
  std::string origin() const;
  const std::string &error() const { return error_; }

private:
  pid_t pid_ = -1;
  int out_ = -1; // the server's standard output
  int port_ = 0;
  std::string url_;
  std::string error_;
};

// Test certificates made with the openssl command line: a self-signed CA and
// a server certificate signed by it for the given subjectAltName entries
// (e.g. "IP:127.0.0.1", "DNS:localhost").
struct TestCertificates {
  std::string ca;   // PEM of the CA certificate (what clients must trust)
  std::string cert; // PEM of the server certificate
  std::string key;  // PEM of the server key
};
bool MakeTestCertificates(const std::string &directory, const std::vector<std::string> &subject_alt_names,
                          TestCertificates &out, std::string *error = nullptr);

} // namespace qwtest
