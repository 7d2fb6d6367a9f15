// The pseudo-terminal a simulated device serves its serial line on.
#pragma once

#include <string>

namespace simpty {

// The simulator's ends of one pseudo-terminal.
struct PtyEnds {
  int master = -1;  // non-blocking; the simulator reads and writes here
  int slave = -1;   // kept open, or the master hangs up when a client closes
  int wake = -1;    // eventfd that ends the simulator's poll at once
  std::string path; // the slave's name, which clients open
};

// Opens a pseudo-terminal whose line is raw 115200 8N1 from the start (until
// a client sets it, a new line is cooked: echo, CR to LF, line buffering),
// with a symbolic link to it at linkPath unless that is empty. False with
// the reason in error, and nothing left open, when it cannot.
bool OpenPty(const std::string &linkPath, PtyEnds &ends, std::string &error);

// Closes what OpenPty opened and removes the link (when not empty).
void ClosePty(PtyEnds &ends, const std::string &linkPath);

// The rate, in bit/s, at which the client has set the line (a terminal's
// settings are shared by both ends); 0 when it cannot be read.
unsigned LineRate(const PtyEnds &ends);

// Ends a poll that waits on ends.wake.
void WakePty(const PtyEnds &ends);

} // namespace simpty
