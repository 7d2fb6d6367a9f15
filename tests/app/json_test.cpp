// --json: standard output carries one document valid against the schema and
// nothing else, while standard error and the exit status stay as they are
// without it. The runs here need no module or server (those:
// tests/updater/json_*_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Parameters.h"
#include "json_schema.h"
#include "process.h"
#include "recording_display.h"
#include "tempdir.h"

using nlohmann::json;
using qwtest::RunProcess;

namespace {

const std::string kUpdater = std::string(QW_BINARY_DIR) + "/src/updater";

qwtest::ProcessResult run(std::vector<std::string> args) {
  args.insert(args.begin(), kUpdater);
  return RunProcess(args, 20000);
}

std::vector<std::string> schemaErrors(const json &doc) { return qwtest::UpdaterResultSchema().validate(doc); }

} // namespace

// The checks the tests rely on can fail: documents with a renamed key, a bad
// serial number, a failure without its message, or a wrong type are refused.
TEST(JsonSchema, RefusesDocumentsOutsideSchemaOne) {
  json good = json::parse(R"({"schema": 1,
    "discover": {"ok": true, "transport": "USB", "devices": [{"serial": "40F5849A", "transport": "USB",
      "address": 4, "router": 0, "model": 1, "model_name": "QW-Hub4", "version": "2.15.0", "build": 1000,
      "name": "", "in_loader": false}]},
    "update": {"ok": false, "message": "Birdfile failed validation"},
    "ok": false, "status": 1})");
  EXPECT_TRUE(schemaErrors(good).empty()) << schemaErrors(good).front();

  json renamed = good;
  renamed["discover"]["devices"][0]["serial_number"] = renamed["discover"]["devices"][0]["serial"];
  renamed["discover"]["devices"][0].erase("serial");
  EXPECT_EQ(schemaErrors(renamed).size(), 2u); // serial missing, serial_number unexpected

  json badSerial = good;
  badSerial["discover"]["devices"][0]["serial"] = "40f5849a";
  EXPECT_FALSE(schemaErrors(badSerial).empty());

  json noMessage = good;
  noMessage["update"].erase("message");
  EXPECT_FALSE(schemaErrors(noMessage).empty());

  json wrongType = good;
  wrongType["status"] = "1";
  EXPECT_FALSE(schemaErrors(wrongType).empty());

  EXPECT_FALSE(schemaErrors(json::parse(R"({"schema": 2, "ok": true, "status": 0})")).empty());
}

// For runs that need neither module nor server: the same status and the same
// standard error with and without --json, and a valid document that names the
// failed command and its message.
TEST(JsonOutput, SameStatusAndStandardErrorWithADocumentOnStandardOutput) {
  qwtest::TempDir dir;
  struct Case {
    std::vector<std::string> args;
    const char *member;  // the command's member, or null
    const char *message; // its (or the run's) failure message, or null
  };
  const Case cases[] = {
      {{"-C"}, nullptr, nullptr},
      {{"-h"}, nullptr, nullptr},
      {{"-X", "1", "-h"}, nullptr, nullptr},
      {{"-d", "12G4", "-U"}, nullptr, "Invalid serial number obtained from argument [12G4]"},
      {{"--http", "--https", "-D"},
       nullptr,
       "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>."},
      {{"-N"}, "fingerprint", "Must specify the serial port used for connecting"},
      {{"-G"}, "get", "-G must specify a specific device via -d"},
      {{"-U"}, "update", "Must specify the specific device to be updated"},
      {{"-B"}, "server_builds", "Error must supply a serial number for the List Builds command"},
      {{"-J"}, "token", "Error must supply a serial number for the Get JWT command"},
      {{"-B", "-d", "40F5849A", "-u", "http://127.0.0.1:9/cgi/u"},
       "server_builds",
       "Server request failed for http://127.0.0.1:9/cgi/u"},
      {{"-L", "-d", "40F5849A"}, "local_builds", nullptr},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"-i", dir.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string what = ::testing::PrintToString(c.args);
    auto plain = run(args);
    args.insert(args.begin() + 2, "--json"); // before -h, which ends the scan
    auto r = run(args);
    EXPECT_EQ(r.status, plain.status) << what;
    EXPECT_EQ(r.err, plain.err) << what;
    ASSERT_NE(plain.out.find("Updater (Version: "), std::string::npos) << what;
    nlohmann::ordered_json doc = qwtest::ExpectJsonResult(r);
    ASSERT_TRUE(doc.is_object()) << what;
    EXPECT_EQ(doc["schema"], 1);
    EXPECT_EQ(doc["ok"], plain.status == 0) << what;
    if (c.member != nullptr) {
      ASSERT_TRUE(doc.contains(c.member)) << what << doc.dump(2);
      EXPECT_EQ(doc[c.member]["ok"], c.message == nullptr) << what;
      if (c.message != nullptr) {
        EXPECT_EQ(doc[c.member]["message"], c.message) << what;
      }
    } else if (c.message != nullptr) {
      EXPECT_EQ(doc["message"], c.message) << what;
    }
  }
}

TEST(JsonOutput, EveryCommandThatRanHasItsMemberInTheOrderTheyRan) {
  qwtest::TempDir dir;
  // -N fails first (no -s ends the run): only its member.
  nlohmann::ordered_json n = qwtest::ExpectJsonResult(run({"-i", dir.path(), "--json", "-N", "-G", "-d", "40F5849A"}));
  EXPECT_TRUE(n.contains("fingerprint"));
  EXPECT_FALSE(n.contains("get"));
  // -G, then the first of -D, -U, -B, -L, -J: here -L.
  nlohmann::ordered_json g = qwtest::ExpectJsonResult(
      run({"-i", dir.path(), "--json", "-L", "-J", "-G", "-d", "40F5849A", "-u", "http://127.0.0.1:9/cgi/u"}));
  std::vector<std::string> keys;
  for (auto it = g.begin(); it != g.end(); ++it)
    keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"schema", "get", "local_builds", "ok", "status"})) << g.dump(2);
  EXPECT_EQ(g["get"]["ok"], false);
  EXPECT_EQ(g["get"]["message"], "Server request failed for http://127.0.0.1:9/cgi/u");
  EXPECT_EQ(g["status"], 0); // the list's status, as without --json
}

// --json joins the option table without changing what the existing options'
// abbreviations select.
TEST(JsonOutput, OptionScannerRulesStillHold) {
  auto parse = [](std::vector<std::string> words) {
    std::vector<char *> argv;
    std::string name = "updater";
    argv.push_back(name.data());
    for (std::string &w : words)
      argv.push_back(w.data());
    qwtest::RecordingDisplay display;
    Parameters p;
    _get_params(display, static_cast<int>(argv.size()), argv.data(), &p);
    return p;
  };
  EXPECT_TRUE(parse({"--json"}).json);
  EXPECT_TRUE(parse({"--js", "-D"}).json); // a unique prefix, as for every option
  EXPECT_FALSE(parse({"--json=1", "-D"}).json);
  EXPECT_FALSE(parse({"-json", "-D"}).json);
  EXPECT_TRUE(parse({"--he"}).help_requested);
  EXPECT_EQ(parse({"--htt"}).server_url, DefaultServerURL(false)); // still ambiguous, dropped
  EXPECT_EQ(parse({"--https"}).server_url, DefaultServerURL(true));
  EXPECT_FALSE(parse({"--h"}).help_requested); // --help, --http, --https
}
