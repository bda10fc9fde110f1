#include "unpack/unpack_code.h"

#include <cstdint>

#include "base/endian.h"
#include "base/text.h"
#include "engine/database.h"
#include "modload/unrar_archive.h"
#include "platform/file.h"
#include "platform/system.h"

namespace kyv::unpack {

namespace {

constexpr std::string_view kCodeFileName = "extract.kyv";
constexpr std::string_view kRarRecordName = "UNRAR";

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
    const std::int32_t size = static_cast<std::int32_t>(loadLe32(image.data() + pos + 1 + nameLength));
    pos += 1 + nameLength + 4;
    if (size < 0 || !inRange(image.size(), pos, static_cast<std::uint32_t>(size)))
      return false;
    TUnpackCodeLib record;
    record.Name = TrimBlanks(UpperCase1251(name));
    record.Code.assign(image.begin() + static_cast<std::ptrdiff_t>(pos),
                       image.begin() + static_cast<std::ptrdiff_t>(pos + static_cast<std::uint32_t>(size)));
    pos += static_cast<std::uint32_t>(size);
    records.push_back(std::move(record));
  }
  for (auto& record : records)
    code.push_back(std::move(record));
  return true;
}

bool LoadCodeFile(const std::string& path, TUnpackCodeArray& code) {
  if (!platform::fileExists(path))
    return false;
  auto image = platform::readWholeFile(path, engine::kMaxStoredFile);
  if (!image || !engine::DecodeDatabaseImage(*image))
    return false;
  return ReadUnpackCodeRecords(*image, code);
}

void FreeUnpackCode(TUnpackCodeArray& code) {
  for (auto& record : code) {
    record.Code.clear();
    record.Code.shrink_to_fit();
    if (record.Lib.ModuleBase != nullptr)
      modload::FreeModuleImage(record.Lib);
  }
  code.clear();
  for (const auto& item : RarImports())
    *item.Target = nullptr;
}

bool LoadUnpackCode(const std::string& basePath, TUnpackCodeArray& code) {
  FreeUnpackCode(code);
  const std::string path = platform::NormalizeFolder(basePath) + std::string(kCodeFileName);
  const bool read = LoadCodeFile(path, code);
  for (auto& record : code) {
    if (record.Name != kRarRecordName)
      continue;
    modload::LoadModuleImage(record.Code, RarImports(), record.Lib);
    record.Code.clear();
    record.Code.shrink_to_fit();
  }
  return read;
}

} // namespace kyv::unpack
