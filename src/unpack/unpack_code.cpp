#include "unpack/unpack_code.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>

#include "base/endian.h"
#include "base/text.h"
#include "engine/database.h"
#include "engine/messages.h"
#include "modload/unrar_archive.h"
#include "platform/file.h"
#include "platform/system.h"

namespace kyv::unpack {

namespace {

constexpr std::string_view kCodeFileName = "extract.kyv";
constexpr std::string_view kRarRecordName = "UNRAR";

// The entry points of every RAR module loaded and not yet freed, oldest first. Two sets can
// live at once (a daemon reads new databases beside the ones in use); the process-wide
// variables follow the newest, and the system loader may hand both sets the same module.
struct LiveEntries {
  std::mutex lock;
  std::vector<std::array<void*, 4>> sets;
};
LiveEntries& liveEntries() {
  static LiveEntries live;
  return live;
}

} // namespace

const std::array<modload::TImportItem, 4>& RarImports() {
  static const std::array<modload::TImportItem, 4> imports{{
      {"RAROpenArchiveEx", &modload::RAROpenArchiveExProc},
      {"RARCloseArchive", &modload::RARCloseArchiveProc},
      {"RARReadHeaderEx", &modload::RARReadHeaderExProc},
      {"RARProcessFile", &modload::RARProcessFileProc},
  }};
  return imports;
}

bool ReadUnpackCodeRecords(std::span<const std::byte> image, TUnpackCodeArray& code) {
  if (image.size() < engine::kHeaderSize)
    return false;
  const engine::DatabaseHeader header = engine::ReadDatabaseHeader(image);
  if (!header.hasMagic() || !header.versionAccepted() || header.RecordCount < 0)
    return false;
  TUnpackCodeArray records;
  std::size_t pos = engine::kHeaderSize;
  for (std::int32_t i = 0; i < header.RecordCount; ++i) {
    // Each record is at least its length byte and its size field, so a count the image cannot
    // hold ends here without reserving anything for it.
    if (!inRange(image.size(), pos, 1))
      return false;
    const std::size_t nameLength = std::to_integer<std::size_t>(image[pos]);
    if (!inRange(image.size(), pos + 1, nameLength + 4))
      return false;
    const std::string_view name(reinterpret_cast<const char*>(image.data() + pos + 1), nameLength);
    const std::int32_t size =
        static_cast<std::int32_t>(loadLe32(image.data() + pos + 1 + nameLength));
    pos += 1 + nameLength + 4;
    if (size < 0 || !inRange(image.size(), pos, static_cast<std::uint32_t>(size)))
      return false;
    TUnpackCodeLib record;
    record.Name = TrimBlanks(UpperCase1251(name));
    record.Code.assign(image.begin() + static_cast<std::ptrdiff_t>(pos),
                       image.begin() +
                           static_cast<std::ptrdiff_t>(pos + static_cast<std::uint32_t>(size)));
    pos += static_cast<std::uint32_t>(size);
    records.push_back(std::move(record));
  }
  for (auto& record : records)
    code.push_back(std::move(record));
  return true;
}

bool LoadCodeFile(const std::string& path, TUnpackCodeArray& code, engine::TDatabaseFile* report) {
  engine::TDatabaseFile local;
  engine::TDatabaseFile& file = report != nullptr ? *report : local;
  file = {};
  file.FileName = std::string(engine::FileNameOf(path));
  file.Required = true;
  auto refuse = [&](std::string reason, std::string message = {}) {
    file.Reason = std::move(reason);
    file.Message = std::move(message);
    return false;
  };
  if (!platform::fileExists(path))
    return refuse("missing");
  try {
    std::string error;
    auto image = platform::readWholeFile(path, engine::kMaxStoredFile, &error);
    if (!image)
      return refuse("cannot be read: " + error);
    if (!engine::DecodeStoredFile(*image, file) || !engine::AcceptsStoredVersion(*image, file))
      return false;
    const std::size_t before = code.size();
    if (!ReadUnpackCodeRecords(*image, code))
      return refuse("damaged: its record table runs past its end");
    file.Loaded = true;
    file.Records = code.size() - before;
    return true;
  } catch (const std::bad_alloc&) {
    return refuse("not enough memory to load it");
  }
}

void FreeUnpackCode(TUnpackCodeArray& code) {
  const auto& imports = RarImports();
  for (auto& record : code) {
    record.Code.clear();
    record.Code.shrink_to_fit();
    if (record.Lib.ModuleBase == nullptr)
      continue;
    {
      LiveEntries& live = liveEntries();
      const std::lock_guard<std::mutex> hold(live.lock);
      const auto it = std::find(live.sets.begin(), live.sets.end(), record.Entries);
      if (it != live.sets.end())
        live.sets.erase(it);
      for (std::size_t i = 0; i < imports.size(); ++i)
        if (*imports[i].Target == record.Entries[i])
          *imports[i].Target = live.sets.empty() ? nullptr : live.sets.back()[i];
    }
    modload::FreeModuleImage(record.Lib);
  }
  code.clear();
}

bool LoadUnpackCode(const std::string& basePath, TUnpackCodeArray& code,
                    engine::TDatabaseFile* report, std::string* rarProblem) {
  FreeUnpackCode(code);
  const std::string path = platform::NormalizeFolder(basePath) + std::string(kCodeFileName);
  const bool read = LoadCodeFile(path, code, report);
  std::string refusal;
  bool rarUp = false;
  bool rarSeen = false;
  for (auto& record : code) {
    if (record.Name != kRarRecordName)
      continue;
    rarSeen = true;
    std::string why;
    modload::LoadModuleImage(record.Code, RarImports(), record.Lib, nullptr, &why);
    if (record.Lib.ModuleBase == nullptr && refusal.empty())
      refusal = why.empty() ? std::string("refused") : why;
    if (record.Lib.ModuleBase != nullptr) {
      rarUp = true;
      for (std::size_t i = 0; i < RarImports().size(); ++i)
        record.Entries[i] = *RarImports()[i].Target;
      LiveEntries& live = liveEntries();
      const std::lock_guard<std::mutex> hold(live.lock);
      live.sets.push_back(record.Entries);
    }
    record.Code.clear();
    record.Code.shrink_to_fit();
  }
  if (rarProblem != nullptr)
    *rarProblem = rarSeen && !rarUp ? "the RAR module in " + path + " cannot be loaded: " + refusal
                                    : std::string();
  return read;
}

} // namespace kyv::unpack
