#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Parameters.h"
#include "app/SimpleOpt.h"
#include "recording_display.h"

using qwtest::RecordingDisplay;

namespace {

// Owns a mutable argv for one parse.
struct Args {
  Args(std::initializer_list<const char *> words) {
    storage.emplace_back("/usr/bin/updater");
    for (const char *w : words)
      storage.emplace_back(w);
    for (std::string &s : storage)
      argv.push_back(s.data());
    argv.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage.size()); }
  std::vector<std::string> storage;
  std::vector<char *> argv;
};

struct Parsed {
  int result;
  Parameters params;
  RecordingDisplay display;
};

Parsed parse(std::initializer_list<const char *> words) {
  Parsed p;
  Args args(words);
  p.result = _get_params(p.display, args.argc(), args.argv.data(), &p.params);
  return p;
}

std::vector<std::string> errors(const Parsed &p) { return p.display.texts(UpdaterDisplayInterface::Error); }

} // namespace

TEST(OptionScanner, PrefixesEqualsAndAmbiguity) {
  const CSimpleOpt::SOption table[] = {{1, "-OVERRIDE", SO_NONE}, {2, "--http", SO_NONE}, {3, "--https", SO_NONE},
                                       {4, "-d", SO_REQ_SEP},     {5, "--help", SO_NONE}, {-1, nullptr, SO_NONE}};
  Args args({"-OVER", "--htt", "--he", "-d=40F5849A", "-OVERRIDE=1", "--https", "-", "--", "-d"});
  CSimpleOpt s(args.argc(), args.argv.data(), table, 0);
  struct Seen {
    int error, id;
    std::string text, arg;
  };
  std::vector<Seen> seen;
  while (s.Next())
    seen.push_back(
        {s.LastError(), s.OptionId(), s.OptionText() ? s.OptionText() : "", s.OptionArg() ? s.OptionArg() : "(null)"});
  ASSERT_EQ(seen.size(), 9u);
  EXPECT_EQ(seen[0].id, 1);
  EXPECT_EQ(seen[0].error, SO_SUCCESS);
  EXPECT_EQ(seen[1].error, SO_OPT_MULTIPLE);
  EXPECT_EQ(seen[2].id, 5);
  EXPECT_EQ(seen[3].id, 4);
  EXPECT_EQ(seen[3].arg, "40F5849A");
  EXPECT_EQ(seen[4].error, SO_ARG_INVALID); // no argument allowed
  EXPECT_EQ(seen[5].id, 3);                 // exact match wins over prefix
  EXPECT_EQ(seen[6].error, SO_OPT_INVALID); // nothing after the hyphens
  EXPECT_EQ(seen[7].error, SO_OPT_INVALID);
  EXPECT_EQ(seen[8].error, SO_ARG_MISSING);

  // One hyphen never matches a two-hyphen name by prefix: "-he" is not "--help".
  Args single({"-he"});
  CSimpleOpt one(single.argc(), single.argv.data(), table, 0);
  ASSERT_TRUE(one.Next());
  EXPECT_EQ(one.LastError(), SO_OPT_INVALID);
  EXPECT_FALSE(parse({"-he"}).params.help_requested);
}

TEST(OptionScanner, NoClumpingAndNonOptionsMoveBehind) {
  const CSimpleOpt::SOption table[] = {
      {1, "-D", SO_NONE}, {2, "-U", SO_NONE}, {3, "-d", SO_REQ_SEP}, {-1, nullptr, SO_NONE}};
  Args args({"stray", "-DU", "-d40F5849A", "-d", "-U", "word", "-D"});
  CSimpleOpt s(args.argc(), args.argv.data(), table, 0);
  std::vector<std::pair<int, int>> seen;
  while (s.Next())
    seen.push_back({s.LastError(), s.OptionId()});
  std::vector<std::pair<int, int>> expected = {
      {SO_OPT_INVALID, -1}, {SO_OPT_INVALID, -1}, {SO_ARG_MISSING, 3}, {SO_SUCCESS, 2}, {SO_SUCCESS, 1}};
  EXPECT_EQ(seen, expected);
  std::vector<std::string> words;
  for (const char *w : s.Words())
    words.emplace_back(w);
  EXPECT_EQ(words,
            (std::vector<std::string>{"/usr/bin/updater", "-DU", "-d40F5849A", "-d", "-U", "-D", "stray", "word"}));
}

TEST(HexAndIntArgs, OnlyAllDigitTextsConvert) {
  char *end = nullptr;
  EXPECT_EQ(_get_hex_arg("40F5849a", &end), 0x40F5849Au);
  EXPECT_EQ(_get_hex_arg("12G4", &end), 0u);
  EXPECT_EQ(_get_hex_arg("", &end), 0u);
  EXPECT_EQ(_get_hex_arg("1", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("0042", &end), 42u);
  EXPECT_EQ(_get_int_arg("4a", &end), 0u);
  EXPECT_EQ(_get_int_arg("-1", &end), 0u);
}

TEST(GetParams, SerialNumbers) {
  for (const char *text : {"0x40F5849A", "0X40F5849A", "40F5849A"}) {
    Parsed p = parse({"-d", text});
    EXPECT_EQ(p.result, 0) << text;
    EXPECT_EQ(p.params.serial_number, 0x40F5849Au) << text;
  }
  Parsed eq = parse({"-d=40F5849A"});
  EXPECT_EQ(eq.params.serial_number, 0x40F5849Au);
  Parsed glued = parse({"-d40F5849A"});
  EXPECT_EQ(glued.result, 0);
  EXPECT_EQ(glued.params.serial_number, 0u);
  EXPECT_TRUE(glued.display.messages.empty());

  Parsed zero = parse({"-d", "0"});
  EXPECT_EQ(zero.result, 1);
  EXPECT_EQ(errors(zero), (std::vector<std::string>{"Invalid serial number obtained from argument [0]"}));
  Parsed bad = parse({"-d", "0x12G4"});
  EXPECT_EQ(errors(bad), (std::vector<std::string>{"Invalid serial number obtained from argument [12G4]"}));
  // A number wider than 32 bits is not cut down to some other serial number.
  Parsed wide = parse({"-d", "40F5849A0"});
  EXPECT_EQ(wide.result, 1);
  EXPECT_EQ(errors(wide), (std::vector<std::string>{"Invalid serial number obtained from argument [40F5849A0]"}));
  std::string huge(10000, 'F');
  EXPECT_EQ(parse({"-d", huge.c_str()}).result, 1);
  EXPECT_EQ(parse({"-r", "0x100000000"}).result, 1);
  EXPECT_EQ(parse({"-d", "0000040F5849A"}).params.serial_number, 0x40F5849Au); // leading zeros are no digits
  Parsed router = parse({"-r", "xyz"});
  EXPECT_EQ(router.result, 1);
  EXPECT_EQ(errors(router), (std::vector<std::string>{"Invalid router serial number obtained from argument [xyz]"}));
  EXPECT_EQ(parse({"-r", "0xD272031D"}).params.router_serial_number, 0xD272031Du);
}

TEST(GetParams, MissingArgumentsAreDroppedSilently) {
  Parsed last = parse({"-U", "-d"});
  EXPECT_EQ(last.result, 0);
  EXPECT_TRUE(last.params.commands.IsSet(CMD_UPDATE));
  Parsed before = parse({"-d", "-U"});
  EXPECT_EQ(before.result, 0);
  EXPECT_TRUE(before.params.commands.IsSet(CMD_UPDATE));
  EXPECT_EQ(before.params.serial_number, 0u);
  EXPECT_TRUE(before.display.messages.empty());
}

TEST(GetParams, Transport) {
  Parsed tcp = parse({"-t", "TCPIP"});
  EXPECT_EQ(tcp.params.transport, 2);
  EXPECT_TRUE(tcp.params.transport_given);
  EXPECT_EQ(parse({"-t", "USB"}).params.transport, 1);
  EXPECT_EQ(parse({"-t", "RECOVERY"}).params.transport, 0xFF);
  Parsed low = parse({"-t", "usb"});
  EXPECT_EQ(low.result, 1);
  EXPECT_EQ(low.params.transport, 0);
  EXPECT_EQ(errors(low), (std::vector<std::string>{
                             "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}));
  EXPECT_EQ(parse({"-t", "RECOV"}).result, 1);
}

TEST(GetParams, BuildBaudAndUEIBytes) {
  EXPECT_EQ(parse({"-b", "abc"}).params.build, "0");
  EXPECT_EQ(parse({"-b", "000123"}).params.build, "123");
  Parsed baud = parse({"-o", "abc"});
  EXPECT_EQ(baud.params.baud_rate, 0u);
  EXPECT_TRUE(baud.display.messages.empty());
  EXPECT_EQ(parse({"-o", "9600"}).params.baud_rate, 9600u);
  EXPECT_EQ(parse({}).params.baud_rate, 115200u);
  for (const char *off : {"0", "false", "no"})
    EXPECT_FALSE(parse({"-m", off}).params.uei_bytes_load) << off;
  for (const char *on : {"1", "10", "trueish"})
    EXPECT_TRUE(parse({"-m", on}).params.uei_bytes_load) << on;
  EXPECT_TRUE(parse({}).params.uei_bytes_load);
}

TEST(GetParams, CommandsAndOverride) {
  Parsed p = parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-OVER", "-Z", "ignored"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.commands.bits, 0x3FFu);
  EXPECT_TRUE(p.params.override_model_check);
  Parsed y = parse({"-Y"});
  EXPECT_EQ(y.result, 1);
  EXPECT_EQ(errors(y), (std::vector<std::string>{"Unhandled command: [-Y]"}));
  Parsed only = parse({"-C", "file.bird"});
  EXPECT_FALSE(only.params.commands.IsSet(CMD_UPDATE));
  EXPECT_TRUE(only.params.commands.IsSet(kCommandMask));
}

TEST(GetParams, ServerChoices) {
  EXPECT_EQ(parse({}).params.server_url, DefaultServerURL(false));
  EXPECT_EQ(parse({"--https"}).params.server_url, DefaultServerURL(true));
  EXPECT_EQ(DefaultServerURL(true).rfind("https://", 0), 0u);
  EXPECT_EQ(DefaultServerURL(false).substr(DefaultServerURL(false).size() - 6), "/cgi/u");
  EXPECT_EQ(parse({"-u", "http://127.0.0.1:8080/cgi/u"}).params.server_url, "http://127.0.0.1:8080/cgi/u");
  EXPECT_EQ(parse({"--htt"}).result, 0); // ambiguous: dropped
  Parsed two = parse({"--http", "--https"});
  EXPECT_EQ(two.result, 1);
  EXPECT_EQ(errors(two),
            (std::vector<std::string>{
                "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."}));
  EXPECT_EQ(parse({"--http", "-u", "x"}).result, 1);
}

TEST(GetParams, HelpStopsScanning) {
  Parsed p = parse({"-h", "-X", "1", "-d", "0"});
  EXPECT_EQ(p.result, 0);
  EXPECT_TRUE(p.params.help_requested);
  EXPECT_FALSE(p.params.log_mask_given);
  EXPECT_TRUE(p.display.messages.empty()); // -d 0 was never read
  EXPECT_TRUE(parse({"--help"}).params.help_requested);
  EXPECT_TRUE(parse({"-H"}).params.commands.IsSet(CMD_HELP));
}

TEST(GetParams, LogMask) {
  Log::DeactivatePackage(0xFFFFFFFFu);
  Parsed hex = parse({"-X", "0x100"});
  EXPECT_EQ(hex.params.log_mask, 0x100u);
  EXPECT_TRUE(Log::IsActive(DEBUG_Network));
  Log::DeactivatePackage(0xFFFFFFFFu);
  Parsed dec = parse({"-X", "65536"});
  EXPECT_TRUE(Log::IsActive(DEBUG_APP));
  Log::DeactivatePackage(0xFFFFFFFFu);
  Parsed bad = parse({"-X", "12abc"});
  EXPECT_EQ(bad.result, 0);
  EXPECT_TRUE(bad.params.log_mask_given);
  EXPECT_FALSE(Log::IsActive(12));
  EXPECT_EQ(errors(bad),
            (std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}));
}

TEST(GetParams, StoresTextsAndProgramName) {
  Parsed p = parse({"-f", "a.bird", "-i", "/tmp/x", "-k", "log.txt", "-l", "msg", "-s", "/dev/ttyS0", "-e", "-n"});
  EXPECT_EQ(p.params.bird_file, "a.bird");
  EXPECT_EQ(p.params.storage_directory, "/tmp/x");
  EXPECT_EQ(p.params.log_file, "log.txt");
  EXPECT_EQ(p.params.log_message, "msg");
  EXPECT_EQ(p.params.serial_port, "/dev/ttyS0");
  EXPECT_TRUE(p.params.echo);
  EXPECT_TRUE(p.params.option_n);
  EXPECT_EQ(p.params.program_name, "updater");
  EXPECT_FALSE(p.params.home_directory.empty());
}
