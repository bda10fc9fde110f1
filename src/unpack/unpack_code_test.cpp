#include "unpack/unpack_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/endian.h"
#include "engine/database.h"
#include "test_modules.h"
#include "modload/unrar_archive.h"
#include "platform/module.h"
#include "test_support.h"

namespace kyv::unpack {
namespace {

using test::bytesOf;

struct Record {
  std::string name;
  std::vector<std::byte> code;
};

// The record table of an unpack-code body: length byte, name, 32-bit size, bytes.
std::vector<std::byte> recordTable(const std::vector<Record>& records) {
  std::vector<std::byte> body;
  for (const auto& r : records) {
    body.push_back(static_cast<std::byte>(r.name.size()));
    const auto name = bytesOf(r.name);
    body.insert(body.end(), name.begin(), name.end());
    std::byte size[4];
    storeLe32(size, static_cast<std::uint32_t>(r.code.size()));
    body.insert(body.end(), size, size + 4);
    body.insert(body.end(), r.code.begin(), r.code.end());
  }
  return body;
}

// A decoded image: the 30-byte header (only magic, version and count matter here) and a body.
std::vector<std::byte> decodedImage(std::int32_t count, const std::vector<std::byte>& body,
                                    std::string_view magic = "KYV",
                                    engine::Real6 minVersion = engine::ProgramVersion) {
  std::vector<std::byte> image(engine::kHeaderSize + body.size());
  std::copy(body.begin(), body.end(), image.begin() + engine::kHeaderSize);
  std::memcpy(image.data(), magic.data(), 3);
  for (std::size_t k = 0; k < 6; ++k)
    image[engine::hdr::MinVersion + k] = static_cast<std::byte>(minVersion.Bytes[k]);
  storeLe32(image.data() + engine::hdr::RecordCount, static_cast<std::uint32_t>(count));
  return image;
}

TEST(UnpackCodeRecords, NamesAreUpperCasedAndTrimmed) {
  const auto image = decodedImage(
      3, recordTable({{"unrar ", bytesOf("MZcode")}, {"Other", bytesOf("xy")}, {"", {}}}));
  TUnpackCodeArray code;
  ASSERT_TRUE(ReadUnpackCodeRecords(image, code));
  ASSERT_EQ(code.size(), 3u);
  EXPECT_EQ(code[0].Name, "UNRAR");
  EXPECT_EQ(code[0].Code, bytesOf("MZcode"));
  EXPECT_EQ(code[1].Name, "OTHER");
  EXPECT_EQ(code[1].Code, bytesOf("xy"));
  EXPECT_EQ(code[2].Name, "");
  EXPECT_TRUE(code[2].Code.empty());
  // A second file's records go after the first's.
  ASSERT_TRUE(ReadUnpackCodeRecords(decodedImage(1, recordTable({{"more", bytesOf("z")}})), code));
  ASSERT_EQ(code.size(), 4u);
  EXPECT_EQ(code[3].Name, "MORE");
}

TEST(UnpackCodeRecords, RefusedFilesAddNothing) {
  const auto one = recordTable({{"UNRAR", bytesOf("abc")}});
  auto negativeSize = one;
  storeLe32(negativeSize.data() + 6, 0xFFFFFFFFu);
  auto sizePastEnd = one;
  storeLe32(sizePastEnd.data() + 6, 4);
  const engine::Real6 tooNew{{0x83, 0x34, 0x33, 0x33, 0x33, 0x03}};
  struct Case {
    const char* what;
    std::vector<std::byte> image;
  };
  const Case cases[] = {
      {"count past the table", decodedImage(2, one)},
      {"huge count", decodedImage(0x7FFFFFFF, one)},
      {"negative count", decodedImage(-1, one)},
      {"negative code size", decodedImage(1, negativeSize)},
      {"code size past the end", decodedImage(1, sizePastEnd)},
      {"name past the end", decodedImage(1, {std::byte{200}, std::byte{'A'}})},
      {"wrong magic", decodedImage(1, one, "KYW")},
      {"version above the program's", decodedImage(1, one, "KYV", tooNew)},
      {"shorter than a header", std::vector<std::byte>(29)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TUnpackCodeArray code(1);
    code[0].Name = "KEPT";
    EXPECT_FALSE(ReadUnpackCodeRecords(c.image, code));
    ASSERT_EQ(code.size(), 1u);
    EXPECT_EQ(code[0].Name, "KEPT");
  }
  TUnpackCodeArray code;
  EXPECT_TRUE(ReadUnpackCodeRecords(decodedImage(0, {}), code));
  EXPECT_TRUE(code.empty());
}

// The scripted RAR module of this system: a PE image where those run, a shared object elsewhere.
std::filesystem::path rarModule() {
  return test::testModule(platform::canRunPeImages() ? "kyvrarscript.dll" : "libkyvrarscript.so");
}

void writeCodeFile(const std::filesystem::path& path, const std::vector<Record>& records) {
  engine::DatabaseFields fields;
  fields.RecordCount = static_cast<std::int32_t>(records.size());
  fields.Seed = 0x5C;
  test::writeFile(path, engine::EncodeDatabaseImage(fields, recordTable(records)));
}

bool rarEntryPointsSet() {
  return modload::RAROpenArchiveExProc && modload::RARCloseArchiveProc &&
         modload::RARReadHeaderExProc && modload::RARProcessFileProc;
}
bool rarEntryPointsClear() {
  return !modload::RAROpenArchiveExProc && !modload::RARCloseArchiveProc &&
         !modload::RARReadHeaderExProc && !modload::RARProcessFileProc;
}

TEST(UnpackCode, LoadsTheUnrarModuleOnceAndFreesEverything) {
  const auto module = rarModule();
  if (module.empty())
    GTEST_SKIP() << "scripted RAR module not built";
  test::ScratchDir dir;
  writeCodeFile(dir / "extract.kyv",
                {{"unrar ", test::readFile(module)}, {"OTHER", bytesOf("kept")}});
  TUnpackCodeArray code;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string problem = "stale";
    ASSERT_TRUE(LoadUnpackCode(dir.path().string(), code, nullptr, &problem));
    EXPECT_EQ(problem, "");
    ASSERT_EQ(code.size(), 2u);
    EXPECT_EQ(code[0].Name, "UNRAR");
    EXPECT_NE(code[0].Lib.ModuleBase, nullptr);
    EXPECT_TRUE(code[0].Code.empty());
    EXPECT_EQ(code[1].Lib.ModuleBase, nullptr);
    EXPECT_EQ(code[1].Code, bytesOf("kept"));
    EXPECT_TRUE(rarEntryPointsSet());
  }
  FreeUnpackCode(code);
  EXPECT_TRUE(code.empty());
  EXPECT_TRUE(rarEntryPointsClear());
}

TEST(UnpackCode, FreeingAnOldSetLeavesTheEntryPointsOfANewerOne) {
  const auto module = rarModule();
  if (module.empty())
    GTEST_SKIP() << "scripted RAR module not built";
  test::ScratchDir dir;
  writeCodeFile(dir / "extract.kyv", {{"UNRAR", test::readFile(module)}});
  TUnpackCodeArray old, fresh;
  ASSERT_TRUE(LoadUnpackCode(dir.path().string(), old));
  ASSERT_TRUE(LoadUnpackCode(dir.path().string(), fresh)); // read beside the old set
  void* const open = modload::RAROpenArchiveExProc;
  FreeUnpackCode(old);
  EXPECT_TRUE(rarEntryPointsSet());
  EXPECT_EQ(modload::RAROpenArchiveExProc, open);
  FreeUnpackCode(fresh);
  EXPECT_TRUE(rarEntryPointsClear());
}

TEST(UnpackCode, FilesWithoutAModuleOrDamaged) {
  test::ScratchDir dir;
  TUnpackCodeArray code;
  engine::TDatabaseFile report;
  // Missing file.
  EXPECT_FALSE(LoadUnpackCode(dir.path().string(), code, &report));
  EXPECT_TRUE(code.empty());
  EXPECT_EQ(report.FileName, "extract.kyv");
  EXPECT_EQ(report.Reason, "missing");
  EXPECT_TRUE(report.Required);
  // No UNRAR record: the file loads, RAR stays unavailable.
  writeCodeFile(dir / "extract.kyv", {{"OTHER", bytesOf("x")}});
  std::string problem = "stale";
  EXPECT_TRUE(LoadUnpackCode(dir.path().string(), code, &report, &problem));
  EXPECT_EQ(problem, "");
  EXPECT_EQ(code.size(), 1u);
  EXPECT_TRUE(report.Loaded);
  EXPECT_EQ(report.Records, 1u);
  EXPECT_TRUE(report.Reason.empty());
  EXPECT_TRUE(rarEntryPointsClear());
  // One stored byte changed: damaged, and what was loaded before is gone.
  auto stored = test::readFile(dir / "extract.kyv");
  stored.back() ^= std::byte{1};
  test::writeFile(dir / "extract.kyv", stored);
  EXPECT_FALSE(LoadUnpackCode(dir.path().string(), code, &report));
  EXPECT_TRUE(code.empty());
  EXPECT_FALSE(report.Loaded);
  EXPECT_TRUE(report.Reason.starts_with("damaged")) << report.Reason;
  EXPECT_TRUE(report.Message.starts_with("KYV-001")) << report.Message;
  // An UNRAR record that is no module: the file is read, the module does not come up, and why
  // is told.
  writeCodeFile(dir / "extract.kyv", {{"UNRAR", bytesOf("not a module")}});
  EXPECT_TRUE(LoadUnpackCode(dir.path().string(), code, nullptr, &problem));
  EXPECT_EQ(problem.rfind("the RAR module in ", 0), 0u) << problem;
  EXPECT_NE(problem.find("extract.kyv cannot be loaded: "), std::string::npos) << problem;
  EXPECT_GT(problem.size(), problem.find(": ") + 2) << "the loader's reason follows";
  ASSERT_EQ(code.size(), 1u);
  EXPECT_EQ(code[0].Lib.ModuleBase, nullptr);
  EXPECT_TRUE(rarEntryPointsClear());
  FreeUnpackCode(code);
}

} // namespace
} // namespace kyv::unpack
