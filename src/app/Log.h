// The process-wide debug log: lines are written only for the packages whose
// bits are active (-X), and a line for package 0 is always written.
#pragma once

#include <cstdio>

constexpr unsigned DEBUG_Updater = 0x00000001;
constexpr unsigned DEBUG_History = 0x00000002;
constexpr unsigned DEBUG_Attributes = 0x00000004;
constexpr unsigned DEBUG_BirdFile = 0x00000008;
// The usage text lists this bit as a second "DEBUG_Network"; nothing logs under it.
constexpr unsigned DEBUG_Network_Low = 0x00000010;
constexpr unsigned DEBUG_ServerComm = 0x00000020;
constexpr unsigned DEBUG_Network = 0x00000100;
constexpr unsigned DEBUG_Network_SR = 0x00000200;
constexpr unsigned DEBUG_Network_FIRM = 0x00000400;
constexpr unsigned DEBUG_NXPSerial = 0x00001000;
constexpr unsigned DEBUG_NXPSerial_E = 0x00002000;
constexpr unsigned DEBUG_NXPSerial_SR = 0x00004000;
constexpr unsigned DEBUG_APP = 0x00010000;
constexpr unsigned DEBUG_iMXSerial = 0x10000000;

class Log {
public:
  Log() {}
  ~Log() {}

  // Formats and writes one text (its format carries its own "\n").
  static void log(unsigned package, const char *format, ...) __attribute__((format(printf, 2, 3)));
  static void SetOutput(FILE *stream) { fh = stream; }
  static void ActivatePackage(unsigned bits) { package_bitmask |= bits; }
  static void DeactivatePackage(unsigned bits) { package_bitmask &= ~bits; }
  static bool IsActive(unsigned package) { return package == 0 || (package & package_bitmask) != 0; }

  static unsigned package_bitmask;
  static FILE *fh;
  static bool timestamped;
  static const char *const TIMESTAMP_FORMAT;
  static const char *const SEPARATOR;
};
