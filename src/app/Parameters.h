// The parsed command line: one record per run, owned by main.
#pragma once

#include <cstdint>
#include <string>

#include "app/UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET_BUILD = 0x00000008,
  CMD_INFO = 0x00000010,
  CMD_CHECK = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_JWT = 0x00000100,
  CMD_LIST_LOCAL = 0x00000200,
  CMD_HELP = 0x80000000,
};

// Bits that count as "a command was given".
constexpr uint32_t kCommandMask = 0x000307FF;

class CommandsClass {
public:
  void Set(uint32_t command) { bits |= command; }
  bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
  uint32_t bits = 0;
};

// linkType values of the -t option, and the recovery transport.
constexpr int kTransportUSB = 1;
constexpr int kTransportTCPIP = 2;
constexpr int kTransportRecover = 0xFF;

std::string DefaultServerURL(bool https);

struct Parameters {
  CommandsClass commands;
  uint32_t serial_number = 0;
  uint32_t router_serial_number = 0;
  int transport = kTransportUSB;
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_address = 0;
  std::string bird_file;
  std::string log_message;
  std::string build;
  bool echo = false;
  std::string server_url = DefaultServerURL(false);
  bool option_n = false;
  std::string storage_directory;
  std::string program_name;
  std::string home_directory;
  std::string log_mode = "a+";
  std::string log_file = "Updater.log";
  bool override_model_check = false;
  bool uei_bytes_load = true;
  uint32_t log_mask = 0;
  bool log_mask_given = false;
  bool help_requested = false;
  bool json = false; // --json: one JSON document on standard output
};

// Fills the record; 0 when the command line is acceptable, 1 when a parameter
// failure was reported on the display.
int _get_params(UpdaterDisplayInterface &display, int argc, char *argv[], Parameters *params);
int _validate_params(Parameters *params);
int _release_params(Parameters *params);

// strtoul of the text in base 16 (respectively 10) when every character is a
// hexadecimal (decimal) digit; else 0 and the end pointer untouched.
unsigned long _get_hex_arg(const char *text, char **end);
unsigned long _get_int_arg(const char *text, char **end);
