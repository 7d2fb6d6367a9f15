#include "app/Usage.h"

#include "app/Parameters.h"
#include "updater/Updater.h"

namespace {

const char *const kShortUsage[] = {
    "",
    "Application Usage:",
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]",
    "    [-d serial_num]",
    "    [-t transport] [-r router_serial]",
    "    [-s serial_port] [-o baud_rate]",
    "",
    "  Quillwork Update and Maintenance Application",
    "    -H -h or --help for full usage information.",
    "",
};

const char *const kParameters[] = {
    "  Parameters to commands:",
    "     -i <corvatek_directory>  - The Corvatek directory used for storage of ",
    "                                firmware files. [Default: ~/.corvatek ].",
    "     -b <build number>        - Build version of the firmware to transfer.",
    "                                [Default: latest version available].",
    "     -d <device>              - Device serial number of the device to access.",
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].",
    "     -f <bird file>           - Firmware file to be transferred to device.",
    "     -r <router serial>       - indirect connection through router device",
    "     -s <serial port>         - name of serial port to use for recovery",
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,",
    "                                19200, 38400, 57600, 115200, 230400)",
    "  Commands:",
    "     -B                       - list the Builds available for given device.",
    "",
    "     -L                       - list the local Builds available for given device.",
    "",
    "     -D                       - Discover devices that are currently connected.",
    "",
    "     -G                       - Get build file from the Corvatek server and",
    "                                store on local machine for download to device.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to obtain the latest build for the",
    "                                given device, override with \"-b\" option.",
    "",
    "     -U                       - Update the firmware on device specified.",
    "                                Must specify a specific device [\"-d\" option].",
    "                                Default is to download the latest build for the",
    "                                given device, override with \"-b\" option or",
    "                                specify specific BIRD file using \"-f\" option.",
    "     -J                       - Get a JWT containing the devices software features",
    "     -H or -h                 - Display extended usage information.",
    "",
};

const char *const kExtended[] = {
    "  Extended Parameters:",
    "     -e                       - echoing of bytes enabled during recovery.",
    "",
    "     -m                       - Attemps to use UEIBytes for faster loading",
    "     -l 'log message'         - message to place in device history log",
    "     -k <filename>            - log messages written into given filename",
    "                                Default:[APP.log]",
    "     -u <host:port>           - The hostname and port of the update server",
    nullptr, // the default server line, made at run time
    "  Extended Commands:",
    "     -I                       - View stored device information.",
    "                                Must either use DISCOVER command [\"-D\"] or",
    "                                specify a specific device [\"-d\" option].",
    "",
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.",
    "                                This option should only be used when authorized by",
    "                                Corvatek development engineers.",
    "",
    "     -N                       - Get fingerprint from a device, requires -s",
    "",
    "     -X <BIT_MASK>            - Bitmask for Logging",
    "                                DEBUG_Updater       0x00000001",
    "                                DEBUG_History       0x00000002",
    "                                DEBUG_Attributes    0x00000004",
    "                                DEBUG_BirdFile      0x00000008",
    "                                DEBUG_Network       0x00000010",
    "                                DEBUG_ServerComm    0x00000020",
    "",
    "                                DEBUG_Network       0x00000100",
    "                                DEBUG_Network_SR    0x00000200",
    "                                DEBUG_Network_FIRM  0x00000400",
    "",
    "                                DEBUG_NXPSerial     0x00001000",
    "                                DEBUG_NXPSerial_E   0x00002000",
    "                                DEBUG_NXPSerial_SR  0x00004000",
    "",
    "                                DEBUG_APP           0x00010000",
    "",
    "                                DEBUG_iMXSerial     0x10000000",
    "",
    "     -C                       - Check the given BIRDFILE",
    "",
};

const char *const kSamples[] = {
    " Sample usage:",
    "",
    "-D                             Discover all devices connected by either USB or TCPIP.",
    "                               Records the device information into the settings for that device.",
    "",
    "-D -t USB                      Discover all the devices connected by USB. Records the",
    "                               device information into the settings for that device.",
    "",
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)",
    "",
    "-G -d 40F5849A                 Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific device directory.",
    "",
    "-U -d 40F5849A                 Update the firmware on the specific device.",
    "                               Without other options, this command will try to locate",
    "                               the latest firmware version to be used for updating the device.",
    "",
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.",
    "                               Downloads the firmware file into the updater's specific",
    "                               device directory with the build number as the filename.",
    "",
    "-G -U -d 40F5849A              Get the latest firmware for the given device.",
    "                               Downloads the firmware file into the updater specific",
    "                               device directory. After download, update the firmware",
    "                               using the latest release.",
    "",
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface",
    "                               in communicating with the device to install the latest firmware.",
    "",
    " Sample usage for network discovery and updates:",
    "",
    "-D -r D272031D                 Discover all devices connected to the I2C Quillwork network",
    "                               of the given routing device D272031D.",
    "",
    "-G -U -d 2181F0EE -r D272031D",
    "                               Get and Update to the latest firmware for device 2181F0EE",
    "                               indirectly through routing device D272031D.",
    "",
};

template <size_t N> void writeLines(FILE *stream, const char *const (&lines)[N]) {
  for (const char *line : lines) {
    if (line == nullptr)
      fprintf(stream, "                                Default: %s:port\n", QW_UPDATE_SERVER_HOST);
    else
      fprintf(stream, "%s\n", line);
  }
}

} // namespace

void _display_usage(bool extended, bool full, FILE *stream) {
  for (const char *line : kShortUsage) {
    fprintf(stream, line, UPDATER_APP_NAME);
    fputc('\n', stream);
  }
  if (!full)
    return;
  writeLines(stream, kParameters);
  fprintf(stream, "     --http                   - Use HTTP for the update server (%s).\n",
          DefaultServerURL(false).c_str());
  fprintf(stream, "     --https                  - Use HTTPS for the update server (%s).\n",
          DefaultServerURL(true).c_str());
  fprintf(stream,
          "                                Recommended; HTTPS will be the default in the next major version.\n");
  if (extended)
    writeLines(stream, kExtended);
  writeLines(stream, kSamples);
}

void _display_app_version(UpdaterDisplayInterface &display) {
  display.message(UpdaterDisplayInterface::Info, "%s (%s)", UPDATER_APP_NAME, UPDATER_VERSION_TEXT);
}

void _display_copyright(UpdaterDisplayInterface &display) {
  display.message(UpdaterDisplayInterface::Info, "Copyright (c) 2026 Corvatek. All rights reserved.");
}

void _display_builds(UpdaterDisplayInterface &display, const BuildList &builds, uint32_t serial) {
  if (builds.empty()) {
    display.message(UpdaterDisplayInterface::Info, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(UpdaterDisplayInterface::Info, "Build List for device [%08X]:\n", serial);
  display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", "Build", "Version");
  for (const auto &[build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
    display.message(UpdaterDisplayInterface::Info, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fp) {
  display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fp.words[0], fp.words[1], fp.words[2],
                  fp.words[3]);
}

void _display_jwt(UpdaterDisplayInterface &display, const std::string &token) {
  display.message(UpdaterDisplayInterface::Info, "%s", token.c_str());
}
