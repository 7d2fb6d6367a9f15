// Moves the calling process into a private network namespace of its own with
// only the loopback interface up, so that whatever it multicasts or
// broadcasts never leaves it. Call it before any thread starts (a static
// initialiser is the safe place): only the calling thread moves. Needs root
// (or user namespaces).
#pragma once

namespace qwtest {

// True when the process now runs in a namespace of its own.
bool IsolateNetwork();

} // namespace qwtest
