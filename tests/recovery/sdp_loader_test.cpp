// SDPLoader against a scripted transport: the command packets byte for byte,
// how an image is cut into data reports, and the result codes.
#include <gtest/gtest.h>

#include <deque>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

using Bytes = std::vector<uint8_t>;

namespace {

// A HID-shaped transport: records every report; each read hands out the next
// scripted answer (or nothing). Owned by the loader, so it reports into a log
// the test keeps.
struct Script {
  std::vector<Bytes> written;
  std::deque<Bytes> answers; // one per read; an empty one reads nothing
  bool initOk = true;
  size_t failFrom = SIZE_MAX; // writes from this one on fail
};

class ScriptedTransport : public SDPLoader_Interface {
public:
  explicit ScriptedTransport(Script &s) : s_(s) {}
  bool init() override { return s_.initOk; }
  ssize_t writeData(const Bytes &data) override {
    if (s_.written.size() >= s_.failFrom)
      return -1;
    s_.written.push_back(data);
    return ssize_t(data.size());
  }
  ssize_t readData(Bytes &out, int) override {
    if (s_.answers.empty())
      return 0;
    Bytes a = s_.answers.front();
    s_.answers.pop_front();
    out.insert(out.end(), a.begin(), a.end());
    return ssize_t(a.size());
  }
  bool getDataFromBuffer(const Bytes &received, size_t index, uint32_t &value) override {
    return hid_.getDataFromBuffer(received, index, value);
  }

private:
  Script &s_;
  HID_SDPLoader hid_{0, 0}; // only its answer parsing
};

// A HAB report and a 65-byte response report carrying word.
Bytes hidAnswer(uint32_t word) {
  Bytes a = {3, 0x56, 0x78, 0x78, 0x56, 4, uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
  a.resize(70, 0);
  return a;
}

} // namespace

TEST(SdpCommands, PacketsAreLaidOutAsTheBootRomReadsThem) {
  EXPECT_EQ(SDPLoader::writeFileCommand(0x20000000, 16),
            (Bytes{0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x10, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SDPLoader::statusCommand(), (Bytes{0x01, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SDPLoader::jumpCommand(0x20000400),
            (Bytes{0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SDPLoader::readRegisterCommand(0x401F4410),
            (Bytes{0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}));
}

TEST(SdpLoader, ImageGoesOutInDataReportsOfAtMost1024Bytes) {
  Script s;
  s.answers = {hidAnswer(0xF0F0F0F0), {}, {}, {}, hidAnswer(0x88888888)};
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new ScriptedTransport(s)));
  ASSERT_EQ(loader.init(), cErrNone);
  Bytes image(2500);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = uint8_t(i * 13);
  EXPECT_EQ(loader.writeLoader(image, 0x20000000), 0);

  ASSERT_EQ(s.written.size(), 5u); // status, write file, three data reports
  EXPECT_EQ(s.written[0], SDPLoader::statusCommand());
  EXPECT_EQ(s.written[1], SDPLoader::writeFileCommand(0x20000000, 2500));
  EXPECT_EQ(s.written[1][8], 0x00);
  EXPECT_EQ(s.written[1][11], 0xC4); // 2500 = 0x09C4
  Bytes sent;
  std::vector<size_t> sizes;
  for (size_t i = 2; i < s.written.size(); ++i) {
    EXPECT_EQ(s.written[i][0], 2);
    sizes.push_back(s.written[i].size() - 1);
    sent.insert(sent.end(), s.written[i].begin() + 1, s.written[i].end());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{1024, 1024, 452}));
  EXPECT_EQ(sent, image);
}

TEST(SdpLoader, ResultCodes) {
  Bytes image(1500, 0x5A);
  { // an empty image: only the command, then the completion word
    Script s;
    s.answers = {hidAnswer(0xF0F0F0F0), hidAnswer(0x88888888)};
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(Bytes{}, 0x20000000), 0);
    EXPECT_EQ(s.written.size(), 2u);
  }
  { // five unanswered status requests: nothing else is sent
    Script s;
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 2);
    EXPECT_EQ(s.written.size(), 5u);
  }
  { // a 69-byte answer is not complete
    Script s;
    Bytes shortAnswer = hidAnswer(0xF0F0F0F0);
    shortAnswer.pop_back();
    s.answers.assign(5, shortAnswer);
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 2);
  }
  { // the boot ROM speaks before the second data report: abort
    Script s;
    s.answers = {hidAnswer(0xF0F0F0F0), {}, hidAnswer(0x12345678)};
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 3);
    EXPECT_EQ(s.written.size(), 3u); // status, write file, first data report
  }
  { // a data report that cannot be sent ends the transfer at once
    Script s;
    s.answers = {hidAnswer(0xF0F0F0F0), {}, {}, hidAnswer(0x88888888)};
    s.failFrom = 3;
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 4);
    EXPECT_EQ(s.written.size(), 3u);
  }
  { // another word than the completion word
    Script s;
    s.answers = {hidAnswer(0xF0F0F0F0), {}, {}, hidAnswer(0xF0F0F0F0)};
    SDPLoader l;
    l.setLoader(new ScriptedTransport(s));
    EXPECT_EQ(l.writeLoader(image, 0x20000000), 4);
  }
}

TEST(SdpLoader, FingerprintIsBothFuseWordsOredIn) {
  Script s;
  s.answers = {hidAnswer(0xF0F0F0F0), hidAnswer(0x89ABCDEF), hidAnswer(0x01234567)};
  SDPLoader l;
  l.setLoader(new ScriptedTransport(s));
  uint64_t id = 0;
  EXPECT_EQ(l.getFingerprint(id), 0);
  EXPECT_EQ(id, 0x0123456789ABCDEFull);
  EXPECT_EQ(s.written[1], SDPLoader::readRegisterCommand(0x401F4410));
  EXPECT_EQ(s.written[2], SDPLoader::readRegisterCommand(0x401F4420));

  Script silent; // status answered, the second register read not
  silent.answers = {hidAnswer(0xF0F0F0F0), hidAnswer(1)};
  SDPLoader l2;
  l2.setLoader(new ScriptedTransport(silent));
  EXPECT_EQ(l2.getFingerprint(id), 7);
}

TEST(SdpLoader, TransportIsTakenOnceAndItsInitDecides) {
  SDPLoader none;
  EXPECT_FALSE(none.setLoader(nullptr));
  EXPECT_EQ(none.init(), cErrMemory);
  uint64_t id = 0;
  EXPECT_EQ(none.getFingerprint(id), 2);

  Script s;
  s.initOk = false;
  SDPLoader l;
  EXPECT_TRUE(l.setLoader(new ScriptedTransport(s)));
  auto *second = new ScriptedTransport(s);
  EXPECT_FALSE(l.setLoader(second));
  delete second;
  EXPECT_EQ(l.init(), cErrIO);
}

TEST(SdpTransports, AnswerWordsAreFoundOnlyInCompleteAnswers) {
  HID_SDPLoader hid(0, 0);
  Bytes a = hidAnswer(0x88888888);
  a[10] = 0x11; // second response word: 0x00000011
  uint32_t v = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(a, 1, v));
  EXPECT_EQ(v, 0x11u);
  v = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(a, 0, v));
  EXPECT_EQ(v, 0x88888888u);
  EXPECT_FALSE(hid.getDataFromBuffer(a, 16, v));
  a.pop_back();
  EXPECT_FALSE(hid.getDataFromBuffer(a, 0, v));

  Serial_SDPLoader serial("/nonexistent");
  Bytes line = {0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0, 0x04, 0x03, 0x02, 0x01};
  v = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(line, 0, v));
  EXPECT_EQ(v, 0xF0F0F0F0u);
  v = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(line, 1, v));
  EXPECT_EQ(v, 0x01020304u);
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(line.begin(), line.begin() + 7), 0, v));
  EXPECT_FALSE(serial.init()); // no such port
}
