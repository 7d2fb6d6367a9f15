// Transport fallback of discoverAndConnect. The fallback to a link server
// searches this machine by multicast, so this program runs in a private
// network namespace.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "quillwork/Module.h"
#include "quillwork/cDebug.h"

using namespace Corvatek::Quillwork;

namespace {

// Runs f with standard output going into a pipe; returns what it printed.
template <typename F> std::string captureStdout(F f) {
  fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0)
    return {};
  int saved = dup(1);
  dup2(fds[1], 1);
  close(fds[1]);
  f();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  return text;
}

} // namespace

TEST(Fallback, UsbFallsBackOnceToALinkServer) {
  cQuillworkDebuggingEnable = true;
  cQuillworkDebuggingLevel = cDEBUG_LIFECYCLE;
  Link link("fallback");
  cErr result = cErrNone;
  std::string printed = captureStdout([&] { result = link.discoverAndConnect(linkTypeUSB, 0x40F5849A, 0); });
  EXPECT_EQ(result, cErrNotFound);
  EXPECT_EQ(printed, "Executing Fallback - old type: 1 - new type: 4\n");

  // With fallback off there is one search only.
  cEtherConfig config;
  config.fallback = 0;
  ASSERT_EQ(link.setConfig(config), cErrNone);
  printed = captureStdout([&] { result = link.discoverAndConnect(linkTypeUSB, 0x40F5849A, 0); });
  EXPECT_EQ(result, cErrNotFound);
  EXPECT_EQ(printed, "");
  cQuillworkDebuggingEnable = false;
}
