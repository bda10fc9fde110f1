#include "engine/antivirus.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "base/text.h"
#include "engine/database.h"
#include "engine/messages.h"
#include "platform/system.h"

namespace kyv::engine {

TAntivirus::TAntivirus(const std::string& folder) : BasePath(platform::NormalizeFolder(folder)) {}

void TAntivirus::ReindexDescriptors() { index_.build(Descriptors); }

void TAntivirus::ClearTables() {
  Descriptors.clear();
  index_.clear();
  NeuroItems.clear();
  Scripts.clear();
}

void TAntivirus::AddLoadError(const std::string& message) {
  if (!LoadErrors.empty())
    LoadErrors += ';';
  LoadErrors += TrimBlanks(message);
}

namespace {

std::vector<std::byte> readDatabaseFile(const std::string& path) {
  std::string reason;
  std::optional<std::vector<std::byte>> bytes =
      platform::readWholeFile(path, kMaxStoredFile, &reason);
  if (!bytes)
    throw kyv::Error(ErrorKind::Io, "Cannot open file \"" + path + "\". " + reason);
  return std::move(*bytes);
}

std::string stampText(double stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", stamp);
  return text;
}

} // namespace

bool TAntivirus::refuse(TDatabaseFile file) {
  file.Loaded = false;
  if (!file.Message.empty())
    AddLoadError(file.Message);
  Files.push_back(std::move(file));
  return false;
}

bool TAntivirus::refuse(TDatabaseFile file, std::string reason, std::string message) {
  file.Reason = std::move(reason);
  file.Message = std::move(message);
  return refuse(std::move(file));
}

bool TAntivirus::decodeAndTest(std::vector<std::byte>& image, TDatabaseFile& file, bool isMain,
                               bool checkStamp) {
  file.Required = isMain;
  if (!DecodeStoredFile(image, file))
    return refuse(file);
  if (checkStamp && !isMain && file.Stamp < MainStamp)
    return refuse(file, "older than the main database (stamp " + stampText(file.Stamp) + " below " +
                            stampText(MainStamp) + ")");
  if (checkStamp && isMain)
    MainStamp = file.Stamp; // set even when the version test below rejects the file
  if (!AcceptsStoredVersion(image, file))
    return refuse(file);
  return true;
}

bool TAntivirus::LoadSignatureFile(const std::string& path, bool isMain) {
  return LoadSignatureImage(readDatabaseFile(path), std::string(FileNameOf(path)), isMain);
}

bool TAntivirus::LoadNeuralFile(const std::string& path) {
  return LoadNeuralImage(readDatabaseFile(path), std::string(FileNameOf(path)));
}

bool TAntivirus::LoadSignatureImage(std::vector<std::byte> image, const std::string& name,
                                    bool isMain) {
  TDatabaseFile file;
  file.FileName = name;
  if (!decodeAndTest(image, file, isMain, true))
    return false;
  const DatabaseHeader header = ReadDatabaseHeader(image);
  BodyReader in{std::span<const std::byte>(image).subspan(kHeaderSize)};
  const std::size_t oldCount = Descriptors.size();
  std::vector<TKYVScript> scripts;
  try {
    if (header.RecordCount > 0) {
      // The table grows once per file; the count is bounded by what the body could hold.
      const std::size_t count = static_cast<std::size_t>(header.RecordCount);
      Descriptors.reserve(oldCount + std::min(count, in.remaining() / kMinDescriptorBytes + 1));
      std::string previousName;
      for (std::size_t k = 0; k < count; ++k) {
        TVirusDescr d;
        ReadDescriptor(in, previousName, d);
        Descriptors.push_back(std::move(d));
      }
    }
    scripts = ReadScriptSection(in);
  } catch (const ETruncatedBody&) {
    // A body shorter than its records announce is damaged; the file adds nothing.
    Descriptors.resize(oldCount);
    return refuse(file, "damaged: its body ends inside a record", DamagedFileMessage(name));
  } catch (...) {
    Descriptors.resize(oldCount);
    throw;
  }
  file.Loaded = true;
  file.Records = Descriptors.size() - oldCount;
  Files.push_back(std::move(file));
  if (!loadingSet_)
    ReindexDescriptors();
  for (TKYVScript& s : scripts) {
    const auto same = std::find_if(Scripts.begin(), Scripts.end(),
                                   [&](const TKYVScript& old) { return old.Id == s.Id; });
    if (same != Scripts.end())
      *same = std::move(s);
    else
      Scripts.push_back(std::move(s));
  }
  return true;
}

bool TAntivirus::LoadNeuralImage(std::vector<std::byte> image, const std::string& name) {
  TDatabaseFile file;
  file.FileName = name;
  if (!decodeAndTest(image, file, false, false))
    return false;
  const DatabaseHeader header = ReadDatabaseHeader(image);
  BodyReader in{std::span<const std::byte>(image).subspan(kHeaderSize)};
  std::vector<TKYVNeuro> items;
  try {
    if (header.RecordCount > 0) {
      const std::size_t count = static_cast<std::size_t>(header.RecordCount);
      items.reserve(std::min(count, in.remaining() / kMinNeuroBytes + 1));
      for (std::size_t k = 0; k < count; ++k)
        items.push_back(ReadNeuro(in));
    }
  } catch (const ETruncatedBody&) {
    return refuse(file, "damaged: its body ends inside a record", DamagedFileMessage(name));
  }
  file.Loaded = true;
  file.Records = items.size();
  Files.push_back(std::move(file));
  NeuroItems.insert(NeuroItems.end(), std::make_move_iterator(items.begin()),
                    std::make_move_iterator(items.end()));
  return true;
}

bool TAntivirus::LoadDatabases() {
  ClearTables();
  LoadErrors.clear();
  Files.clear();
  loadingSet_ = true;
  bool result = true;
  std::string current; // the file being read, to name it when an error ends the load
  try {
    for (const std::string& entry : platform::findEntries(BasePath + "main*.kyv")) {
      if (!result)
        break;
      current = entry;
      result = LoadSignatureFile(BasePath + entry, true);
    }
    current = "daily.kyv";
    if (platform::fileExists(BasePath + current))
      LoadSignatureFile(BasePath + current, false);
    current = "neural.kyv";
    if (platform::fileExists(BasePath + current))
      LoadNeuralFile(BasePath + current);
  } catch (const std::exception& error) {
    // The tables keep what loaded before the failure, and stay matchable.
    TDatabaseFile file;
    file.FileName = current;
    file.Required = true;
    file.Reason = dynamic_cast<const std::bad_alloc*>(&error) != nullptr
                      ? "not enough memory to load it"
                      : error.what();
    Files.push_back(std::move(file));
    loadingSet_ = false;
    ReindexDescriptors();
    throw;
  }
  loadingSet_ = false;
  ReindexDescriptors();
  return result;
}

std::string MatchDetails(const TKYVFileInfo& info) {
  char text[4 * 9 + 13];
  std::snprintf(text, sizeof text, " %08X %08X %08X %08X %d", static_cast<unsigned>(info.Sums[0]),
                static_cast<unsigned>(info.Sums[1]), static_cast<unsigned>(info.Sums[2]),
                static_cast<unsigned>(info.Sums[3]), static_cast<int>(info.FileSize));
  return text;
}

std::int32_t TAntivirus::CheckFileInfo(TKYVFileInfo info, TVirusDescr& found) {
  FoundName.clear();
  if (index_.tableSize() != Descriptors.size())
    ReindexDescriptors();
  // The index answers as a pass over the whole table in order would: the first exact match,
  // else the last partial one. Only a match builds any text.
  const SignatureIndex::Match m = index_.match(Descriptors, info);
  if (m.Kind == MatchKind::None)
    return 0;
  const TVirusDescr& d = Descriptors[m.Number];
  found = d;
  if (m.Kind == MatchKind::Exact) {
    FoundName = d.Name;
    return 1;
  }
  FoundName = d.Name + " (" + MatchDetails(info) + ")";
  return 2;
}

} // namespace kyv::engine
