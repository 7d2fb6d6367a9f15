#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "server/HTTPRequest.h"

namespace {

struct Freer {
  void operator()(void *p) const { free(p); }
};

// Decodes text; nullopt-like: the bool says whether a buffer came back.
bool Decode(const std::string &text, std::string &out) {
  size_t len = 12345;
  std::unique_ptr<unsigned char, Freer> p(base64_decode(text.data(), text.size(), &len));
  if (!p)
    return false;
  EXPECT_EQ(p.get()[len], 0) << "no terminating zero after the decoded bytes of " << text;
  out.assign(reinterpret_cast<const char *>(p.get()), len);
  return true;
}

std::string Encode(const std::string &bytes) {
  size_t len = 0;
  std::unique_ptr<char, Freer> p(
      base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &len));
  EXPECT_TRUE(p);
  if (!p)
    return {};
  EXPECT_EQ(p.get()[len], '\0');
  return std::string(p.get(), len);
}

TEST(Base64, KnownVectorsBothWays) {
  const std::pair<const char *, const char *> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe\xfd", "//79"},
      {"\xfb\xff", "+/8="},
  };
  for (const auto &[plain, text] : vectors) {
    EXPECT_EQ(Encode(plain), text);
    std::string back;
    ASSERT_TRUE(Decode(text, back)) << text;
    EXPECT_EQ(back, plain) << text;
  }
}

TEST(Base64, PaddingSetsTheDecodedLength) {
  std::string out;
  ASSERT_TRUE(Decode("QUI=", out));
  EXPECT_EQ(out, "AB");
  ASSERT_TRUE(Decode("QQ==", out));
  EXPECT_EQ(out, "A");
  ASSERT_TRUE(Decode("", out));
  EXPECT_EQ(out, "");
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  std::mt19937 rng(42);
  for (size_t n = 0; n < 300; ++n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
      bytes[i] = static_cast<char>(n < 256 && i == 0 ? n : rng() & 0xFF);
    std::string text = Encode(bytes);
    EXPECT_EQ(text.size(), 4 * ((n + 2) / 3));
    std::string back;
    ASSERT_TRUE(Decode(text, back)) << n;
    EXPECT_EQ(back, bytes) << n;
  }
}

TEST(Base64, RejectsLengthsThatAreNotMultiplesOfFour) {
  std::string out;
  EXPECT_FALSE(Decode("Zm9vY", out));
  EXPECT_FALSE(Decode("Zm9", out));
  EXPECT_FALSE(Decode("Z", out));
}

TEST(Base64, RejectsCharactersOutsideTheAlphabetAnywhere) {
  const std::string good = "Zm9vYmFyYmF6";
  std::string out;
  ASSERT_TRUE(Decode(good, out));
  // URL-safe variants, blanks, line ends, NUL and high bytes are all foreign.
  const std::string foreign = std::string("-_ \r\n\t.*\x80\xff", 10) + std::string(1, '\0');
  for (size_t pos = 0; pos < good.size(); ++pos)
    for (char c : foreign) {
      std::string bad = good;
      bad[pos] = c;
      EXPECT_FALSE(Decode(bad, out)) << "position " << pos << " char " << int(static_cast<unsigned char>(c));
    }
}

TEST(Base64, RejectsPaddingOutOfPlace) {
  std::string out;
  for (const char *bad : {"=AAA", "A=AA", "AA=A", "A===", "====", "Zg==Zm8=", "Zm=vYmFy"})
    EXPECT_FALSE(Decode(bad, out)) << bad;
}

TEST(Base64, NullArguments) {
  size_t len = 0;
  EXPECT_EQ(base64_decode("Zg==", 4, nullptr), nullptr);
  EXPECT_EQ(base64_decode(nullptr, 4, &len), nullptr);
  EXPECT_EQ(base64_encode(nullptr, 3, &len), nullptr);
}

} // namespace
