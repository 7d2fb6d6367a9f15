// A scripted byte transport for stream tests: get hands out the scripted
// bytes and errors in order (then cErrNotReady), put and write record what
// they are given.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "quillwork/cStream.h"

struct FakeTransport {
  struct Step {
    cErr err;
    uint8_t byte;
  };
  std::deque<Step> script;
  std::vector<uint8_t> written;             // bytes of every put and write, in order
  std::vector<std::vector<uint8_t>> writes; // one entry per write call
  int puts = 0;
  int getCalls = 0;
  int deletes = 0;
  cErr writeResult = cErrNone;
  cErr deleteResult = cErrNone;

  void bytes(std::vector<uint8_t> b) {
    for (uint8_t x : b)
      script.push_back({cErrNone, x});
  }
  void error(cErr e) { script.push_back({e, 0}); }

  static cErr get(uint8_t *byte, void *reference) {
    auto *t = static_cast<FakeTransport *>(reference);
    t->getCalls++;
    if (t->script.empty())
      return cErrNotReady;
    Step s = t->script.front();
    t->script.pop_front();
    if (s.err == cErrNone)
      *byte = s.byte;
    return s.err;
  }
  static cErr put(uint8_t byte, void *reference) {
    auto *t = static_cast<FakeTransport *>(reference);
    t->puts++;
    t->written.push_back(byte);
    return cErrNone;
  }
  static cErr write(const uint8_t *data, size_t length, void *reference) {
    auto *t = static_cast<FakeTransport *>(reference);
    t->writes.emplace_back(data, data + length);
    t->written.insert(t->written.end(), data, data + length);
    return t->writeResult;
  }
  static cErr del(void *reference) {
    auto *t = static_cast<FakeTransport *>(reference);
    t->deletes++;
    return t->deleteResult;
  }
};
