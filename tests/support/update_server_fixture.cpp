#include "update_server_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "process.h"

extern char **environ;

namespace qwtest {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until the child has ended; false when the deadline passed first.
bool reap(pid_t pid, Clock::time_point deadline, int &status) {
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR))
      return true;
    if (msLeft(deadline) == 0)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace

std::string UpdateServerPath() {
  const char *env = getenv("QW_UPDATE_SERVER_BIN");
  if (env != nullptr && env[0] != '\0')
    return env;
  return std::string(QW_BINARY_DIR) + "/tools/update-server/qw-update-server";
}

std::string UpdateServerProcess::origin() const {
  size_t path = url_.find("/cgi/u");
  return path == std::string::npos ? url_ : url_.substr(0, path);
}

bool UpdateServerProcess::Start(const Options &options, int timeoutMs) {
  Stop();
  error_.clear();
  std::vector<std::string> argv = {UpdateServerPath(), "-d", options.directory, "-a", options.address, "-p", "0"};
  if (!options.cert.empty())
    argv.insert(argv.end(), {"--cert", options.cert, "--key", options.key});
  if (!options.log.empty())
    argv.insert(argv.end(), {"--log", options.log});

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char *> args;
  for (std::string &a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    error_ = "cannot start " + argv[0] + ": " + strerror(rc);
    return false;
  }
  pid_ = pid;
  out_ = pipefd[0];

  // The server prints "listening on URL" once it is bound.
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  while (line.find('\n') == std::string::npos) {
    struct pollfd pfd = {out_, POLLIN, 0};
    int n = poll(&pfd, 1, msLeft(deadline));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error_ = "the server did not report its port in time";
      Stop();
      return false;
    }
    char buf[256];
    ssize_t got = read(out_, buf, sizeof buf);
    if (got <= 0) {
      error_ = "the server ended before it was listening (see its standard error)";
      Stop();
      return false;
    }
    line.append(buf, static_cast<size_t>(got));
  }
  line.erase(line.find('\n'));
  const std::string prefix = "listening on ";
  size_t colon = line.rfind(':');
  size_t slash = line.find('/', colon == std::string::npos ? 0 : colon);
  if (line.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos || slash == std::string::npos) {
    error_ = "unexpected first line from the server: " + line;
    Stop();
    return false;
  }
  url_ = line.substr(prefix.size());
  port_ = atoi(line.substr(colon + 1, slash - colon - 1).c_str());
  return port_ > 0;
}

int UpdateServerProcess::Stop(int timeoutMs) {
  int result = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    if (reap(pid_, Clock::now() + std::chrono::milliseconds(timeoutMs), status)) {
      result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
      kill(pid_, SIGKILL);
      reap(pid_, Clock::now() + std::chrono::seconds(10), status);
    }
    pid_ = -1;
  }
  if (out_ >= 0) {
    close(out_);
    out_ = -1;
  }
  port_ = 0;
  url_.clear();
  return result;
}

bool MakeTestCertificates(const std::string &directory, const std::vector<std::string> &subject_alt_names,
                          TestCertificates &out, std::string *error) {
  TestCertificates c{directory + "/ca.pem", directory + "/server.pem", directory + "/server.key"};
  std::string san;
  for (const std::string &name : subject_alt_names)
    san += (san.empty() ? "" : ",") + name;
  {
    std::ofstream ext(directory + "/server.ext");
    ext << "basicConstraints=CA:FALSE\n"
        << "keyUsage=critical,digitalSignature,keyEncipherment\n"
        << "extendedKeyUsage=serverAuth\n";
    if (!san.empty())
      ext << "subjectAltName=" << san << "\n";
  }
  // Elliptic-curve keys: quick to make even on a busy machine.
  const std::vector<std::vector<std::string>> steps = {
      {"openssl",
       "req",
       "-x509",
       "-newkey",
       "ec",
       "-pkeyopt",
       "ec_paramgen_curve:prime256v1",
       "-nodes",
       "-keyout",
       directory + "/ca.key",
       "-out",
       c.ca,
       "-days",
       "2",
       "-subj",
       "/CN=Updater test CA",
       "-addext",
       "basicConstraints=critical,CA:TRUE",
       "-addext",
       "keyUsage=critical,keyCertSign,cRLSign"},
      {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", c.key,
       "-out", directory + "/server.csr", "-subj", "/CN=Updater test server"},
      {"openssl", "x509", "-req", "-in", directory + "/server.csr", "-CA", c.ca, "-CAkey", directory + "/ca.key",
       "-CAcreateserial", "-out", c.cert, "-days", "2", "-extfile", directory + "/server.ext"},
  };
  for (const std::vector<std::string> &step : steps) {
    std::vector<std::string> argv = step;
    argv[0] = "/usr/bin/openssl";
    ProcessResult r = RunProcess(argv, 30000);
    if (r.status != 0) {
      if (error != nullptr)
        *error = "openssl " + step[1] + " failed: " + r.err;
      return false;
    }
  }
  out = c;
  return true;
}

} // namespace qwtest
