// qw-update-server: a reference update server. It answers the updater's
// "/cgi/u" requests over HTTP or HTTPS from a directory filled by hand (see
// README.md), for tests, demonstrations and offline mirrors.
//
// Once bound it prints one line "listening on URL" (URL being the server URL
// to give the updater, with the port actually bound) and nothing else on
// standard output. SIGINT or SIGTERM stop it; the exit status is 0 after a
// clean stop, 1 when it could not start.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include "UpdateDirectory.h"

#if defined(__SANITIZE_THREAD__)
#define QW_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QW_THREAD_SANITIZER 1
#endif
#endif

#ifdef QW_THREAD_SANITIZER
// The HTTP library is a prebuilt shared library that ThreadSanitizer cannot
// see into: it reports the library's own hand-offs between its worker threads
// as races. Calls from it are not checked; the server's own code still is.
extern "C" const char *__tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
#endif

namespace {

// One line per request, written whole under a lock (handlers run on a pool).
class RequestLog {
public:
  bool open(const std::string &path) {
    if (path.empty())
      return true;
    if (path == "-") {
      file_ = stderr;
      return true;
    }
    file_ = fopen(path.c_str(), "a");
    owned_ = file_ != nullptr;
    return file_ != nullptr;
  }
  ~RequestLog() {
    if (owned_)
      fclose(file_);
  }
  void write(const std::string &line) {
    if (file_ == nullptr)
      return;
    std::lock_guard<std::mutex> lock(mutex_);
    fwrite(line.data(), 1, line.size(), file_);
    fflush(file_);
  }

private:
  std::mutex mutex_;
  FILE *file_ = nullptr;
  bool owned_ = false;
};

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Reference update server: answers the updater's /cgi/u requests from a directory."};
  std::string directory, address = "127.0.0.1", cert, key, log_path;
  int port = 8080;
  app.add_option("-d,--directory", directory, "Content directory (devices/, recovery.conf)")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("-a,--address", address, "Address to bind")->capture_default_str();
  app.add_option("-p,--port", port, "TCP port; 0 picks a free one")->check(CLI::Range(0, 65535))->capture_default_str();
  CLI::Option *cert_opt =
      app.add_option("--cert", cert, "PEM certificate (chain) of the server: serve HTTPS")->check(CLI::ExistingFile);
  CLI::Option *key_opt = app.add_option("--key", key, "PEM private key of the certificate")->check(CLI::ExistingFile);
  cert_opt->needs(key_opt);
  key_opt->needs(cert_opt);
  app.add_option("--log", log_path,
                 "Append one line per request (status and request target) to this file; - for "
                 "standard error");
  CLI11_PARSE(app, argc, argv);

  // The signals are taken by one thread with sigwait; every other thread,
  // including the server's pool, inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  RequestLog log;
  if (!log.open(log_path)) {
    fprintf(stderr, "qw-update-server: cannot open log file %s\n", log_path.c_str());
    return 1;
  }

  const bool https = !cert.empty();
  std::unique_ptr<httplib::Server> server;
  if (https)
    server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
  else
    server = std::make_unique<httplib::Server>();
  if (!server->is_valid()) {
    fprintf(stderr, "qw-update-server: cannot use certificate %s with key %s\n", cert.c_str(), key.c_str());
    return 1;
  }

  qwserver::UpdateDirectory content(directory);
  // Each request is logged before its answer goes out, so that whoever got
  // the answer finds the request in the log already.
  auto log_request = [&log](const httplib::Request &req, const httplib::Response &res) {
    log.write(std::to_string(res.status) + " " + req.method + " " + req.target + "\n");
  };
  server->Get("/cgi/u", [&content, &log_request](const httplib::Request &req, httplib::Response &res) {
    qwserver::Query query;
    for (const auto &[k, v] : req.params)
      query.emplace(k, v); // the first value of a repeated key counts
    qwserver::Reply reply = content.answer(query);
    res.status = reply.status;
    res.set_content(reply.body, "text/plain");
    log_request(req, res);
  });
  server->set_error_handler([&log_request](const httplib::Request &req, httplib::Response &res) {
    if (res.body.empty())
      res.set_content(res.status == 404 ? "error: not found\n" : "error: bad request\n", "text/plain");
    log_request(req, res);
  });
  // Address reuse after a restart, but no second server sharing the port
  // (the library's default would allow that on Linux).
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  int bound = port == 0 ? server->bind_to_any_port(address) : (server->bind_to_port(address, port) ? port : -1);
  if (bound <= 0) {
    fprintf(stderr, "qw-update-server: cannot bind %s port %d\n", address.c_str(), port);
    return 1;
  }
  std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  printf("listening on %s://%s:%d/cgi/u\n", https ? "https" : "http", host.c_str(), bound);
  fflush(stdout);

  // stop() only acts on a running server, so the stopper repeats it until
  // the listen loop has returned.
  std::mutex mutex;
  std::condition_variable cv;
  bool listen_done = false;
  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    signalled = true;
    std::unique_lock<std::mutex> lock(mutex);
    while (!listen_done) {
      server->stop();
      cv.wait_for(lock, std::chrono::milliseconds(50));
    }
  });
  bool ok = server->listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(mutex);
    listen_done = true;
  }
  cv.notify_all();
  if (!signalled)
    pthread_kill(stopper.native_handle(), SIGTERM); // wakes its sigwait
  stopper.join();
  return ok || signalled ? 0 : 1;
}
