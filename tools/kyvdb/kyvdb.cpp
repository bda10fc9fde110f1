// kyvdb: the database tool. Makes descriptor lines from sample files, builds signature,
// neural and unpack-code database files from text sources, and lists and verifies them.
#include <cstdio>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/file_scanner.h"
#include "engine/messages.h"
#include "platform/file.h"
#include "platform/system.h"
#include "source_format.h"

namespace {

using namespace kyv;
using kyv::kyvdb::Source;

constexpr const char* kUsage =
    "usage:\n"
    "  kyvdb sig [--name NAME] FILE...\n"
    "      print a descriptor line for each sample file\n"
    "  kyvdb build [--daily] [--stamp S] [--min-version V] -o OUT.kyv SOURCE\n"
    "      build a database file from a text source of sig/script (or neuro) lines\n"
    "  kyvdb list FILE.kyv\n"
    "      print a database file in the source format\n"
    "  kyvdb verify FILE.kyv...\n"
    "      report damaged, foreign and too-new files\n"
    "  kyvdb pack-code [--stamp S] [--min-version V] -o extract.kyv NAME=FILE...\n"
    "      build the unpack-code file from named files\n";

class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

void printLine(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
}
// The engine's messages are Windows-1251; terminals get UTF-8.
void printMessage(const std::string& cp1251) { printLine(platform::cp1251ToUtf8(cp1251)); }

void warn(const std::string& text) { std::fprintf(stderr, "kyvdb: warning: %s\n", text.c_str()); }

std::vector<std::byte> readInput(const std::string& path) {
  std::string why;
  auto bytes = platform::readWholeFile(path, engine::kMaxStoredFile, &why);
  if (!bytes)
    throw std::runtime_error("cannot read " + path + ": " + why);
  return std::move(*bytes);
}

// Database files are for every user of the machine (a BASE built by root is read by the mail
// client of each user), so they are created as any tool's output is, by the umask.
void writeOutput(const std::string& path, const std::vector<std::byte>& bytes) {
  auto file = platform::File::createShared(path);
  if (!file || !file->write(bytes)) {
    const std::string why = platform::lastErrorText();
    file.reset();
    platform::deleteFile(path);
    throw std::runtime_error("cannot write " + path + ": " + why);
  }
}

// Days since 1899-12-30, the customary date serial: later builds get larger stamps.
double nowStamp() { return static_cast<double>(std::time(nullptr)) / 86400.0 + 25569.0; }

struct BuildOptions {
  bool daily = false;
  std::optional<std::string> stamp;
  std::optional<std::string> minVersion;
  std::string output;
  std::vector<std::string> inputs;
};

BuildOptions parseBuildOptions(const std::vector<std::string>& args, bool allowDaily) {
  BuildOptions o;
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    auto value = [&]() -> std::string {
      if (k + 1 >= args.size())
        throw UsageError(a + " needs a value");
      return args[++k];
    };
    if (a == "--daily" && allowDaily)
      o.daily = true;
    else if (a == "--stamp")
      o.stamp = value();
    else if (a == "--min-version")
      o.minVersion = value();
    else if (a == "-o")
      o.output = value();
    else if (a.starts_with("-") && a.size() > 1)
      throw UsageError("unknown option " + a);
    else
      o.inputs.push_back(a);
  }
  if (o.output.empty())
    throw UsageError("no output file (-o)");
  return o;
}

// Command-line values override the source's header lines.
engine::DatabaseFields headerFields(const BuildOptions& o, const Source& source) {
  Source overrides;
  std::string lines;
  if (o.stamp)
    lines += "stamp " + *o.stamp + "\n";
  if (o.minVersion)
    lines += "min-version " + *o.minVersion + "\n";
  try {
    overrides = kyvdb::ParseSource(lines);
  } catch (const kyvdb::SourceError& e) {
    throw UsageError(std::string("bad --stamp or --min-version: ") + e.what());
  }
  engine::DatabaseFields f;
  f.Stamp = overrides.Stamp.value_or(source.Stamp.value_or(nowStamp()));
  f.MinVersion = overrides.MinVersion.value_or(source.MinVersion.value_or(engine::ProgramVersion));
  return f;
}

void writeDatabase(const std::string& path, engine::DatabaseFields fields,
                   const kyvdb::Body& body) {
  fields.RecordCount = body.RecordCount;
  // Any seed descrambles; one taken from the body keeps builds reproducible.
  fields.Seed = static_cast<std::uint8_t>(engine::WeightedSum(body.Bytes) ^ body.Bytes.size());
  writeOutput(path, engine::EncodeDatabaseImage(fields, body.Bytes));
}

int cmdSig(const std::vector<std::string>& args) {
  std::optional<std::string> name;
  std::vector<std::string> files;
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (args[k] == "--name") {
      if (k + 1 >= args.size())
        throw UsageError("--name needs a value");
      name = args[++k];
    } else {
      files.push_back(args[k]);
    }
  }
  if (files.empty())
    throw UsageError("no sample files");
  int status = 0;
  for (const std::string& file : files) {
    engine::TFileScanner scanner;
    if (!scanner.OpenFile(file)) {
      std::fprintf(stderr, "kyvdb: cannot sample %s: %s\n", file.c_str(),
                   scanner.LastError.c_str());
      status = 1;
      continue;
    }
    engine::TVirusDescr d;
    bool lossy = false;
    d.Name = kyvdb::NameToCodePage(name.value_or(std::string(engine::FileNameOf(file))), &lossy);
    d.MinSize = d.MaxSize = scanner.FileInfo.FileSize;
    d.Sums = scanner.FileInfo.Sums;
    if (lossy)
      warn(file + ": the name has characters Windows-1251 lacks; they are stored as '?'");
    if (kyvdb::CanNeverMatch(d))
      warn(file + ": all four sums are 0 (an empty file, or zeros where it is sampled), so its "
                  "descriptor can never match");
    printLine(kyvdb::FormatDescriptor(d));
  }
  return status;
}

int cmdBuild(const std::vector<std::string>& args) {
  const BuildOptions o = parseBuildOptions(args, true);
  if (o.inputs.size() != 1)
    throw UsageError("build takes exactly one source file");
  const std::vector<std::byte> text = readInput(o.inputs[0]);
  Source source;
  try {
    source = kyvdb::ParseSource({reinterpret_cast<const char*>(text.data()), text.size()});
  } catch (const kyvdb::SourceError& e) {
    throw std::runtime_error(o.inputs[0] + ": " + e.what());
  }
  for (const std::string& warning : source.Warnings)
    warn(o.inputs[0] + ": " + warning);
  const std::string outName(engine::FileNameOf(o.output));
  const bool neural = !source.NeuroItems.empty();
  if (o.daily && outName != "daily.kyv")
    warn("the engine reads an update only as daily.kyv");
  if (!o.daily && !neural && !(outName.starts_with("main") && outName.ends_with(".kyv")))
    warn("the engine reads main files only as main*.kyv");
  const kyvdb::Body body =
      neural ? kyvdb::BuildNeuralBody(source) : kyvdb::BuildSignatureBody(source);
  writeDatabase(o.output, headerFields(o, source), body);
  return 0;
}

enum class Kind { Signatures, Neural, Code };
Kind kindOf(const std::string& path) {
  const std::string name(engine::FileNameOf(path));
  if (name.starts_with("extract"))
    return Kind::Code;
  if (name.starts_with("neural"))
    return Kind::Neural;
  return Kind::Signatures;
}

// Decodes and runs the header tests; prints the engine's message and returns false on failure.
bool decodeChecked(const std::string& path, std::vector<std::byte>& image) {
  const std::string name(engine::FileNameOf(path));
  if (!engine::DecodeDatabaseImage(image)) {
    printMessage(engine::DamagedFileMessage(name));
    return false;
  }
  const engine::DatabaseHeader h = engine::ReadDatabaseHeader(image);
  if (!h.hasMagic()) {
    printLine(path + ": not a database file (wrong magic)");
    return false;
  }
  if (!h.versionAccepted()) {
    printMessage(engine::NewerVersionMessage(name));
    return false;
  }
  return true;
}

int cmdList(const std::vector<std::string>& args) {
  if (args.size() != 1)
    throw UsageError("list takes one database file");
  const std::string& path = args[0];
  std::vector<std::byte> image = readInput(path);
  if (!engine::DecodeDatabaseImage(image)) {
    printMessage(engine::DamagedFileMessage(std::string(engine::FileNameOf(path))));
    return 1;
  }
  const engine::DatabaseHeader h = engine::ReadDatabaseHeader(image);
  printLine("# " + path + ": " + std::to_string(h.RecordCount) + " records" +
            (h.hasMagic() ? "" : ", wrong magic"));
  printLine(kyvdb::FormatStamp(h.Stamp));
  printLine(kyvdb::FormatMinVersion(h.MinVersion));
  try {
    switch (kindOf(path)) {
    case Kind::Code:
      for (const kyvdb::CodeRecord& r : kyvdb::ReadCodeBody(image))
        printLine("# code " + kyvdb::Escape(r.Name) + " " + std::to_string(r.Code.size()) +
                  " bytes");
      break;
    case Kind::Neural:
      for (const engine::TKYVNeuro& n : kyvdb::ReadNeuralBody(image).NeuroItems)
        printLine(kyvdb::FormatNeuro(n));
      break;
    case Kind::Signatures: {
      const Source s = kyvdb::ReadSignatureBody(image);
      for (const engine::TVirusDescr& d : s.Descriptors)
        printLine(kyvdb::FormatDescriptor(d));
      for (const engine::TKYVScript& sc : s.Scripts)
        printLine(kyvdb::FormatScript(sc));
      break;
    }
    }
  } catch (const engine::ETruncatedBody&) {
    printMessage(engine::DamagedFileMessage(std::string(engine::FileNameOf(path))));
    return 1;
  }
  return 0;
}

int cmdVerify(const std::vector<std::string>& args) {
  if (args.empty())
    throw UsageError("verify takes one or more database files");
  int status = 0;
  for (const std::string& path : args) {
    std::vector<std::byte> image;
    try {
      image = readInput(path);
    } catch (const std::exception& e) {
      printLine(std::string(e.what()));
      status = 1;
      continue;
    }
    if (!decodeChecked(path, image)) {
      status = 1;
      continue;
    }
    try {
      std::size_t records = 0;
      std::string extra;
      switch (kindOf(path)) {
      case Kind::Code:
        records = kyvdb::ReadCodeBody(image).size();
        break;
      case Kind::Neural:
        records = kyvdb::ReadNeuralBody(image).NeuroItems.size();
        break;
      case Kind::Signatures: {
        const Source s = kyvdb::ReadSignatureBody(image);
        records = s.Descriptors.size();
        extra = ", " + std::to_string(s.Scripts.size()) + " scripts";
        break;
      }
      }
      printLine(path + ": OK, " + std::to_string(records) + " records" + extra);
    } catch (const engine::ETruncatedBody&) {
      printMessage(engine::DamagedFileMessage(std::string(engine::FileNameOf(path))));
      status = 1;
    } catch (const kyv::Error& e) {
      printLine(path + ": " + e.what());
      status = 1;
    }
  }
  return status;
}

int cmdPackCode(const std::vector<std::string>& args) {
  const BuildOptions o = parseBuildOptions(args, false);
  if (o.inputs.empty())
    throw UsageError("pack-code needs NAME=FILE arguments");
  std::vector<kyvdb::CodeRecord> records;
  for (const std::string& spec : o.inputs) {
    const std::size_t eq = spec.find('=');
    if (eq == std::string::npos)
      throw UsageError("expected NAME=FILE, got " + spec);
    records.push_back({spec.substr(0, eq), readInput(spec.substr(eq + 1))});
  }
  Source none;
  none.Stamp = 0.0;
  writeDatabase(o.output, headerFields(o, none), kyvdb::BuildCodeBody(records));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "sig")
      return cmdSig(args);
    if (command == "build")
      return cmdBuild(args);
    if (command == "list")
      return cmdList(args);
    if (command == "verify")
      return cmdVerify(args);
    if (command == "pack-code")
      return cmdPackCode(args);
    if (command == "--help" || command == "-h" || command == "help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    throw UsageError("unknown command " + command);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "kyvdb: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::bad_alloc&) {
    std::fputs("kyvdb: out of memory\n", stderr);
    return 1;
  } catch (const std::exception& e) {
    // Paths and source text come as the terminal gave them; the engine's own texts are ASCII.
    std::fprintf(stderr, "kyvdb: %s\n", e.what());
    return 1;
  } catch (...) {
    std::fputs("kyvdb: unexpected failure\n", stderr);
    return 1;
  }
}
