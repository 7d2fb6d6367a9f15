// HTTPRequest::GET against the reference update server on 127.0.0.1.
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/HTTPRequest.h"
#include "server_content.h"

using ::testing::HasSubstr;

namespace qwtest {
namespace {

TEST(HTTPRequestURL, KeysInAscendingOrderEachFollowedByAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"rv", "2"}, {"op", "hi"}}), "http://h/cgi/u?op=hi&rv=2&");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  // Values go out as they are: the caller encodes reserved characters.
  EXPECT_EQ(HTTPRequest::BuildURL("B", {{"fp", "1%202"}}), "B?fp=1%202&");
}

using HTTPRequestTest = ServerSuite;

TEST_F(HTTPRequestTest, CompletedExchangeGivesStatusBodyAndTheExactURL) {
  HTTPResponse r = HTTPRequest::GET(url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(r.get_request(), url() + "?op=hi&rv=2&");
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n");
  EXPECT_EQ(lastTarget(), "/cgi/u?op=hi&rv=2&");
}

TEST_F(HTTPRequestTest, HttpErrorsAreResponsesNotExceptions) {
  HTTPResponse r = HTTPRequest::GET(origin() + "/cgi/x", {});
  EXPECT_EQ(r.get_status(), 404);
  EXPECT_EQ(r.get_response(), "error: not found\n");
  HTTPResponse bad = HTTPRequest::GET(url(), {{"op", "nonsense"}});
  EXPECT_EQ(bad.get_status(), 400);
}

TEST_F(HTTPRequestTest, TransportFailuresThrow) {
  int port = ClosedLoopbackPort();
  ASSERT_NE(port, 0);
  try {
    HTTPRequest::GET("http://127.0.0.1:" + std::to_string(port) + "/cgi/u", {{"op", "hi"}});
    FAIL() << "no exception for a refused connection";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Couldn't connect to server");
  }
  // A URL that is not one.
  EXPECT_THROW(HTTPRequest::GET("http://127.0.0.1:99999/", {}), std::runtime_error);
}

TEST_F(HTTPRequestTest, OnlyHttpAndHttpsAreAllowed) {
  for (const char *u :
       {"file:///etc/hostname", "ftp://127.0.0.1:1/", "dict://127.0.0.1:1/x", "gopher://127.0.0.1:1/"}) {
    try {
      HTTPRequest::GET(u, {});
      ADD_FAILURE() << "fetched " << u;
    } catch (const std::runtime_error &e) {
      EXPECT_STREQ(e.what(), "Unsupported protocol") << u;
    }
  }
}

TEST_F(HTTPRequestTest, OversizedBodyIsATransportFailure) {
  HTTPRequest::Limits limits;
  limits.max_body_bytes = 1024; // the 1234 build's Base64 text is about 4 KiB
  std::map<std::string, std::string> q = {
      {"op", "bird"}, {"sn", "000012AB"}, {"fw", "F"}, {"bld", "1234"}, {"no_cal", "false"}};
  EXPECT_THROW(HTTPRequest::GET(url(), q, limits), std::runtime_error);
  limits.max_body_bytes = 64 * 1024;
  EXPECT_EQ(HTTPRequest::GET(url(), q, limits).get_status(), 200);
}

// A server that accepts the connection (the kernel does, from the backlog)
// and never answers: the low-speed limit ends the wait.
TEST(HTTPRequestStall, StalledServerTimesOut) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  HTTPRequest::Limits limits;
  limits.connect_timeout_ms = 2000;
  limits.low_speed_bytes_per_s = 1;
  limits.low_speed_time_s = 1;
  try {
    HTTPRequest::GET("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/cgi/u", {{"op", "hi"}}, limits);
    ADD_FAILURE() << "a server that never answers gave a response";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Timeout was reached");
  }
  close(fd);
}

// HTTPS against a server whose certificate comes from a test CA.
class HTTPSTest : public ::testing::Test {
protected:
  void SetUp() override {
    content_.fill(dir_);
    std::string error;
    ASSERT_TRUE(MakeTestCertificates(certs_.path(), {"IP:127.0.0.1"}, certs_for_ip_, &error)) << error;
    unsetenv(HTTPRequest::CA_BUNDLE_ENV);
  }
  void TearDown() override { unsetenv(HTTPRequest::CA_BUNDLE_ENV); }

  TempDir dir_, certs_;
  ServerContent content_;
  TestCertificates certs_for_ip_;
};

TEST_F(HTTPSTest, SucceedsWithTheTestCAAndFailsWithoutIt) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.Start({dir_.path(), certs_for_ip_.cert, certs_for_ip_.key})) << server.error();
  ASSERT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u) << server.url();

  // The system store does not know the test CA.
  EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}}), std::runtime_error);

  setenv(HTTPRequest::CA_BUNDLE_ENV, certs_for_ip_.ca.c_str(), 1);
  HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n");

  // A bundle that does not hold the signing CA is no better than none.
  TempDir other;
  TestCertificates unrelated;
  ASSERT_TRUE(MakeTestCertificates(other.path(), {"IP:127.0.0.1"}, unrelated));
  setenv(HTTPRequest::CA_BUNDLE_ENV, unrelated.ca.c_str(), 1);
  EXPECT_THROW(HTTPRequest::GET(server.url(), {{"op", "hi"}}), std::runtime_error);
}

TEST_F(HTTPSTest, HostNameMustMatchTheCertificate) {
  TempDir named;
  TestCertificates localhost_only;
  std::string error;
  ASSERT_TRUE(MakeTestCertificates(named.path(), {"DNS:localhost"}, localhost_only, &error)) << error;
  UpdateServerProcess server;
  ASSERT_TRUE(server.Start({dir_.path(), localhost_only.cert, localhost_only.key})) << server.error();
  setenv(HTTPRequest::CA_BUNDLE_ENV, localhost_only.ca.c_str(), 1);

  // Trusted chain, but the certificate does not name 127.0.0.1.
  try {
    HTTPRequest::GET(server.url(), {{"op", "hi"}});
    ADD_FAILURE() << "accepted a certificate for another host";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr("SSL"));
  }
  // The same server by the name in its certificate.
  std::string by_name = "https://localhost:" + std::to_string(server.port()) + "/cgi/u";
  EXPECT_EQ(HTTPRequest::GET(by_name, {{"op", "hi"}}).get_status(), 200);
}

} // namespace
} // namespace qwtest
