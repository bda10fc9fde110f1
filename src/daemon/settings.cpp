#include "daemon/settings.h"

#include <charconv>
#include <fstream>
#include <limits>

namespace kyv::daemon {

namespace {

// The options that take no value.
bool isFlag(std::string_view key) { return key == "foreground"; }

unsigned parseCount(std::string_view text, unsigned min, std::string_view what) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min)
    throw SettingsError(std::string(what) + ": \"" + std::string(text) +
                        "\" is not a whole number of at least " + std::to_string(min));
  return value;
}

bool parseBool(std::string_view text, std::string_view what) {
  if (text.empty() || text == "yes" || text == "true" || text == "1")
    return true;
  if (text == "no" || text == "false" || text == "0")
    return false;
  throw SettingsError(std::string(what) + ": \"" + std::string(text) + "\" is not yes or no");
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

} // namespace

std::uint64_t ParseSize(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
  if (ec != std::errc() || end == text.data() || suffix.size() > 1)
    throw SettingsError("\"" + std::string(text) + "\" is not a size (bytes, or with K, M or G)");
  int shift = 0;
  if (!suffix.empty()) {
    switch (suffix[0]) {
    case 'K':
    case 'k':
      shift = 10;
      break;
    case 'M':
    case 'm':
      shift = 20;
      break;
    case 'G':
    case 'g':
      shift = 30;
      break;
    default:
      throw SettingsError("\"" + std::string(text) + "\" is not a size (bytes, or with K, M or G)");
    }
  }
  if (value > (std::numeric_limits<std::uint64_t>::max() >> shift))
    throw SettingsError("\"" + std::string(text) + "\" is too large");
  return value << shift;
}

void SplitHostPort(std::string_view text, std::string& host, std::string& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size())
    throw SettingsError("\"" + std::string(text) + "\" is not HOST:PORT");
  std::string_view h = text.substr(0, colon);
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
    h = h.substr(1, h.size() - 2);
  host = std::string(h);
  port = std::string(text.substr(colon + 1));
  parseCount(port, 1, "port");
}

void ApplySetting(Settings& s, std::string_view key, std::string_view value,
                  std::string_view where) {
  const std::string name = std::string(where) + std::string(key);
  if (key == "base") {
    s.base = value;
  } else if (key == "socket") {
    s.sockets.emplace_back(value);
  } else if (key == "socket-mode") {
    unsigned mode = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mode, 8);
    if (ec != std::errc() || end != value.data() + value.size() || mode > 07777)
      throw SettingsError(name + ": \"" + std::string(value) + "\" is not an octal mode");
    s.socketMode = static_cast<mode_t>(mode);
  } else if (key == "socket-group") {
    s.socketGroup = value;
  } else if (key == "tcp") {
    std::string host, port;
    SplitHostPort(value, host, port);
    s.tcp.emplace_back(value);
  } else if (key == "foreground") {
    s.foreground = parseBool(value, name);
  } else if (key == "workers") {
    s.workers = parseCount(value, 1, name);
  } else if (key == "max-stream") {
    s.maxStream = ParseSize(value);
    if (s.maxStream == 0)
      throw SettingsError(name + ": must be more than 0");
  } else if (key == "max-queue") {
    s.maxQueue = parseCount(value, 1, name);
  } else if (key == "max-scantime") {
    s.maxScanTime = parseCount(value, 1, name);
  } else if (key == "read-timeout") {
    s.readTimeout = parseCount(value, 1, name);
  } else if (key == "tempdir") {
    s.tempDir = value;
  } else if (key == "log") {
    s.logFile = value;
  } else if (key == "pid-file") {
    s.pidFile = value;
  } else {
    throw SettingsError(name + ": unknown setting");
  }
}

void LoadConfigFile(const std::string& path, Settings& settings) {
  std::ifstream in(path);
  if (!in)
    throw SettingsError("cannot read the configuration file " + path);
  std::string line;
  for (unsigned number = 1; std::getline(in, line); ++number) {
    const std::string_view text = trim(line);
    if (text.empty() || text.front() == '#')
      continue;
    const std::size_t blank = text.find_first_of(" \t");
    const std::string_view key = text.substr(0, blank);
    const std::string_view value =
        blank == std::string_view::npos ? std::string_view() : trim(text.substr(blank));
    if (value.empty() && !isFlag(key))
      throw SettingsError(path + ":" + std::to_string(number) + ": " + std::string(key) +
                          " needs a value");
    ApplySetting(settings, key, value, path + ":" + std::to_string(number) + ": ");
  }
}

CommandLineAction ParseCommandLine(int argc, char** argv, Settings& settings) {
  // The configuration file first, wherever --config stands, so the command line overrides it.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--config") {
      if (i + 1 >= argc)
        throw SettingsError("--config needs a file");
      LoadConfigFile(argv[++i], settings);
    } else if (arg.rfind("--config=", 0) == 0) {
      LoadConfigFile(std::string(arg.substr(9)), settings);
    }
  }
  // Listeners given on the command line replace the file's rather than add to them.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--socket" || arg.rfind("--socket=", 0) == 0)
      settings.sockets.clear();
    if (arg == "--tcp" || arg.rfind("--tcp=", 0) == 0)
      settings.tcp.clear();
  }
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help")
      return CommandLineAction::Help;
    if (arg == "-V" || arg == "--version")
      return CommandLineAction::Version;
    if (arg.rfind("--", 0) != 0)
      throw SettingsError("unexpected argument \"" + std::string(arg) + "\" (see kyvd --help)");
    arg.remove_prefix(2);
    std::string_view key = arg;
    std::string_view value;
    bool inlineValue = false;
    if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      key = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    if (key == "config") {
      if (!inlineValue)
        ++i;
      continue;
    }
    if (!inlineValue && !isFlag(key)) {
      if (i + 1 >= argc)
        throw SettingsError("--" + std::string(key) + " needs a value");
      value = argv[++i];
    }
    ApplySetting(settings, key, value, "--");
  }
  return CommandLineAction::Run;
}

std::string_view UsageText() {
  return "Usage: kyvd [OPTIONS]\n"
         "Scan mail for mail servers: answers the clamd protocol on a Unix socket and/or TCP.\n"
         "\n"
         "  --base DIR            signature databases folder (default: BASE beside kyvd)\n"
         "  --socket PATH         listen on a Unix socket (a stale socket file is replaced)\n"
         "  --socket-mode MODE    permissions of the socket file, octal (default 0660)\n"
         "  --socket-group NAME   group of the socket file\n"
         "  --tcp HOST:PORT       listen on TCP (give 127.0.0.1 for loopback only)\n"
         "  --foreground          stay in the foreground, log to stderr unless --log\n"
         "  --workers N           scanning processes (default: one per processor)\n"
         "  --max-stream BYTES    largest INSTREAM accepted, K/M/G allowed (default 100M)\n"
         "  --max-queue N         clients served at once; more wait to be accepted (default 128)\n"
         "  --max-scantime SECS   a file taking longer is abandoned with an error (default 120)\n"
         "  --read-timeout SECS   a client silent this long is dropped (default 120)\n"
         "  --tempdir DIR         where streamed data and unpacked members go (default $TMPDIR)\n"
         "  --log FILE            log to FILE (default: syslog, or stderr in the foreground)\n"
         "  --pid-file FILE       write the daemon's process id to FILE\n"
         "  --config FILE         read these settings as \"key value\" lines\n"
         "  -h, --help            show this help\n"
         "  -V, --version         show the version\n"
         "\n"
         "Signals: TERM or INT stop the daemon, USR2 reloads the databases, HUP reopens the log.\n";
}

} // namespace kyv::daemon
