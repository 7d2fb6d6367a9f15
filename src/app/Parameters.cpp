#include "app/Parameters.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "app/Log.h"
#include "app/SimpleOpt.h"
#include "quillwork/cDirectory.h"

std::string DefaultServerURL(bool https) {
  return std::string(https ? "https://" : "http://") + QW_UPDATE_SERVER_HOST + "/cgi/u";
}

namespace {

enum OptionIds { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAM = 2, OPT_HTTPS = 3, OPT_HTTP = 4, OPT_JSON = 5 };

// --json is left out of the usage text (which stays as it is): updater(1)
// describes it.
const CSimpleOpt::SOption g_rgOptions[] = {
    {OPT_COMMAND, "-B", SO_NONE},        {OPT_COMMAND, "-L", SO_NONE},
    {OPT_COMMAND, "-D", SO_NONE},        {OPT_COMMAND, "-G", SO_NONE},
    {OPT_COMMAND, "-I", SO_NONE},        {OPT_COMMAND, "-U", SO_NONE},
    {OPT_COMMAND, "-OVERRIDE", SO_NONE}, {OPT_COMMAND, "-N", SO_NONE},
    {OPT_COMMAND, "-Y", SO_NONE},        {OPT_COMMAND, "-C", SO_NONE},
    {OPT_COMMAND, "-J", SO_NONE},        {OPT_HELP, "-h", SO_NONE},
    {OPT_HELP, "-H", SO_NONE},           {OPT_PARAM, "-n", SO_NONE},
    {OPT_PARAM, "-X", SO_REQ_SEP},       {OPT_PARAM, "-Z", SO_REQ_SEP},
    {OPT_PARAM, "-m", SO_REQ_SEP},       {OPT_PARAM, "-i", SO_REQ_SEP},
    {OPT_PARAM, "-b", SO_REQ_SEP},       {OPT_PARAM, "-d", SO_REQ_SEP},
    {OPT_PARAM, "-t", SO_REQ_SEP},       {OPT_PARAM, "-f", SO_REQ_SEP},
    {OPT_PARAM, "-r", SO_REQ_SEP},       {OPT_PARAM, "-s", SO_REQ_SEP},
    {OPT_PARAM, "-o", SO_REQ_SEP},       {OPT_PARAM, "-e", SO_NONE},
    {OPT_PARAM, "-l", SO_REQ_SEP},       {OPT_PARAM, "-k", SO_REQ_SEP},
    {OPT_PARAM, "-u", SO_REQ_SEP},       {OPT_HELP, "--help", SO_NONE},
    {OPT_HTTP, "--http", SO_NONE},       {OPT_HTTPS, "--https", SO_NONE},
    {OPT_JSON, "--json", SO_NONE},       {-1, nullptr, SO_NONE},
};

bool allDigits(const char *text, int (*isDigit)(int)) {
  for (const char *p = text; *p; ++p)
    if (!isDigit(static_cast<unsigned char>(*p)))
      return false;
  return true;
}

// Reads a serial number argument: an optional "0x" prefix is dropped.
uint32_t serialArgument(const char *arg, const char *discardLog, const char *invalidMessage,
                        UpdaterDisplayInterface &display, int &failures) {
  if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
    Log::log(DEBUG_Updater, "%s", discardLog);
    arg += 2;
  }
  char *end = nullptr;
  uint32_t value = static_cast<uint32_t>(_get_hex_arg(arg, &end));
  // More than 8 significant digits do not fit a serial number: keeping the
  // low 32 bits would select some other module.
  const char *digits = arg;
  while (*digits == '0')
    ++digits;
  if (strlen(digits) > 8)
    value = 0;
  if (value == 0) {
    display.message(UpdaterDisplayInterface::Error, invalidMessage, arg);
    ++failures;
  }
  return value;
}

} // namespace

unsigned long _get_hex_arg(const char *text, char **end) {
  if (text == nullptr || end == nullptr || !allDigits(text, isxdigit))
    return 0;
  return strtoul(text, end, 16);
}

unsigned long _get_int_arg(const char *text, char **end) {
  if (text == nullptr || end == nullptr || !allDigits(text, isdigit))
    return 0;
  return strtoul(text, end, 10);
}

int _validate_params(Parameters *) { return 0; }

int _release_params(Parameters *) { return 0; }

int _get_params(UpdaterDisplayInterface &display, int argc, char *argv[], Parameters *params) {
  *params = Parameters();
  if (argc > 0 && argv[0] != nullptr) {
    const char *name = argv[0];
    for (const char *p = argv[0]; *p; ++p)
      if (*p == '/' || *p == '\\')
        name = p + 1;
    params->program_name = name;
  }
  char home[2048] = "";
  cDirectory_GetHomeDirectory(home, sizeof home);
  params->home_directory = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

  int failures = 0;
  int serverChoices = 0;
  CSimpleOpt args(argc, argv, g_rgOptions, 0);
  while (args.Next()) {
    if (args.LastError() != SO_SUCCESS)
      continue; // erroneous options are dropped silently
    const char *text = args.OptionText();
    const char *arg = args.OptionArg();
    switch (args.OptionId()) {
    case OPT_HELP:
      params->commands.Set(CMD_HELP);
      params->help_requested = true;
      return 0;
    case OPT_HTTPS:
      params->server_url = DefaultServerURL(true);
      ++serverChoices;
      break;
    case OPT_HTTP:
      params->server_url = DefaultServerURL(false);
      ++serverChoices;
      break;
    case OPT_JSON: params->json = true; break;
    case OPT_COMMAND:
      switch (text[1]) {
      case 'B': params->commands.Set(CMD_LIST_BUILDS); break;
      case 'C': params->commands.Set(CMD_CHECK); break;
      case 'D': params->commands.Set(CMD_DISCOVER); break;
      case 'G': params->commands.Set(CMD_GET_BUILD); break;
      case 'I': params->commands.Set(CMD_INFO); break;
      case 'J': params->commands.Set(CMD_JWT); break;
      case 'L': params->commands.Set(CMD_LIST_LOCAL); break;
      case 'N': params->commands.Set(CMD_FINGERPRINT); break;
      case 'U': params->commands.Set(CMD_UPDATE); break;
      case 'O': params->override_model_check = true; break;
      default:
        display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", text);
        ++failures;
        break;
      }
      break;
    case OPT_PARAM:
      switch (text[1]) {
      case 'X': {
        params->log_mask_given = true;
        char *end = nullptr;
        bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
        params->log_mask = static_cast<uint32_t>(strtoul(arg, &end, hex ? 16 : 10));
        if (end != nullptr && *end != '\0')
          display.message(UpdaterDisplayInterface::Error,
                          "Invalid format for \"%s\" parameter, unprocessed characters [%s]", text, end);
        else
          Log::ActivatePackage(params->log_mask);
        break;
      }
      case 'Z': params->commands.Set(CMD_Z); break;
      case 'b': {
        char *end = nullptr;
        params->build = std::to_string(_get_int_arg(arg, &end));
        break;
      }
      case 'd':
        params->serial_number = serialArgument(arg, "Discarding '0x' serial number prefix\n",
                                               "Invalid serial number obtained from argument [%s]", display, failures);
        break;
      case 'r':
        params->router_serial_number =
            serialArgument(arg, "Discarding '0x' router serial number prefix\n",
                           "Invalid router serial number obtained from argument [%s]", display, failures);
        break;
      case 't':
        params->transport_given = true;
        if (strncmp(arg, "USB", 3) == 0) {
          params->transport = kTransportUSB;
        } else if (strncmp(arg, "TCP", 3) == 0) {
          params->transport = kTransportTCPIP;
        } else if (strncmp(arg, "RECOVER", 7) == 0) {
          params->transport = kTransportRecover;
        } else {
          display.message(UpdaterDisplayInterface::Error,
                          "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
          params->transport = 0;
          ++failures;
        }
        break;
      case 'o': {
        char *end = nullptr;
        params->baud_rate = static_cast<uint32_t>(_get_int_arg(arg, &end));
        break;
      }
      case 'm': params->uei_bytes_load = arg[0] == '1' || strncmp(arg, "true", 4) == 0; break;
      case 'u':
        params->server_url = arg;
        ++serverChoices;
        break;
      case 'f': params->bird_file = arg; break;
      case 'i': params->storage_directory = arg; break;
      case 'k': params->log_file = arg; break;
      case 'l': params->log_message = arg; break;
      case 's': params->serial_port = arg; break;
      case 'e': params->echo = true; break;
      case 'n': params->option_n = true; break;
      default: break;
      }
      break;
    default: break;
    }
  }

  if (serverChoices > 1) {
    display.message(UpdaterDisplayInterface::Error,
                    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    ++failures;
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->program_name.c_str());
  for (const char *word : args.Words())
    Log::log(DEBUG_APP, "\t[%s]\n", word);

  return failures == 0 ? _validate_params(params) : 1;
}
