#include <gtest/gtest.h>

#include "engine/database.h"
#include "test_modules.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/system.h"
#include "test_support.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/unpack_code.h"

namespace kyv::unpack {
namespace {

// The RAR extractor driven over the scripted test module (see its source for the script format):
// each member line is unpacked|packed|extraction result|name|content, and the module logs every
// call it gets to "<archive>.log".
class RarExtraction : public ::testing::Test {
protected:
  void SetUp() override {
    const auto module =
        test::testModule(platform::canRunPeImages() ? "kyvrarscript.dll" : "libkyvrarscript.so");
    if (module.empty())
      GTEST_SKIP() << "scripted RAR module not built";
    engine::DatabaseFields fields;
    fields.RecordCount = 1;
    std::vector<std::byte> body{std::byte{5}};
    const auto name = test::bytesOf("UNRAR");
    body.insert(body.end(), name.begin(), name.end());
    const auto image = test::readFile(module);
    body.resize(body.size() + 4);
    storeSize(body.data() + 6, image.size());
    body.insert(body.end(), image.begin(), image.end());
    test::writeFile(dir_ / "extract.kyv", engine::EncodeDatabaseImage(fields, body));
    ASSERT_TRUE(LoadUnpackCode(dir_.path().string(), code_));
    owner_.TempFolder = dir_.path().string() + platform::pathSeparator();
    owner_.OnItem = [this](const TKYVArcInfoArray& chain) {
      const auto& link = chain.back();
      delivered_.push_back(
          {link.ArcType, link.ItemName, test::textOf(test::readFile(link.ItemFile))});
      EXPECT_EQ(link.ItemFile, owner_.TempFileName());
      if (abortAfterFirst_)
        owner_.Abort = true;
      return true;
    };
    owner_.OnMessage = [this](const std::string& text) { messages_.push_back(text); };
    owner_.OnGap = [this](const TScanGap& gap) { gaps_.push_back(gap); };
  }

  void TearDown() override { FreeUnpackCode(code_); }

  static void storeSize(std::byte* p, std::size_t size) {
    for (int i = 0; i < 4; ++i)
      p[i] = static_cast<std::byte>(size >> (8 * i));
  }

  std::string archive(const std::string& script) {
    const auto path = dir_ / "archive.rar";
    test::writeFile(path, script);
    return path.string();
  }
  std::string log() {
    const auto path = dir_ / "archive.rar.log";
    return std::filesystem::exists(path) ? test::textOf(test::readFile(path)) : std::string();
  }

  struct Item {
    std::string type, name, content;
    bool operator==(const Item&) const = default;
  };
  // The dispatcher's budget state starts with a top-level call; the tests call the extractor
  // directly, so they start one the same way.
  void extract(const std::string& path) {
    owner_.Unpack(dir_.path().string() + "/none", FileHead{false, false, {}}, {});
    ExtractRar(owner_, path, {});
  }

  test::ScratchDir dir_;
  TUnpackCodeArray code_;
  TKYVDecompress owner_{dir_.path().string()};
  std::vector<Item> delivered_;
  std::vector<std::string> messages_;
  std::vector<TScanGap> gaps_;
  bool abortAfterFirst_ = false;
};

TEST_F(RarExtraction, WalksMembersWithOneProcessCallPerHeader) {
  owner_.BombCheck = true;
  owner_.OnFilter = [](const std::string& name) { return name != "refused.txt"; };
  // Sizes over 2^31 make the bomb rule wrong if read as signed; 4345000000 is seen by its low
  // half, 50032704.
  const auto path = archive("KYVRARSCRIPT\n"
                            "0|0|0|folder|\n"
                            "5|5|0|refused.txt|xxxxx\n"
                            "3000000000|100|0|bomb.bin|b\n"
                            "4345000000|1|0|low.bin|b\n"
                            "7|7|12|broken.txt|partial\n"
                            "9|9|0|  plain.txt |payload-1\n"
                            "9|9|0|\\u4E2Dab.txt|payload-2\n");
  extract(path);
  ASSERT_EQ(delivered_.size(), 2u);
  EXPECT_EQ(delivered_[0], (Item{"RAR", "plain.txt", "payload-1"}));
  EXPECT_EQ(delivered_[1].content, "payload-2");
  // A character outside the narrow code page is converted, not dropped.
  EXPECT_EQ(delivered_[1].name, "?ab.txt");
  EXPECT_EQ(messages_, (std::vector<std::string>{"bomb.bin MailBomb detected !",
                                                 "low.bin MailBomb detected !"}));
  EXPECT_EQ(log(), "open-extract\n"
                   "header\nskip\n"    // folder
                   "header\nskip\n"    // refused by the filter
                   "header\nskip\n"    // bomb
                   "header\nskip\n"    // bomb by the low half
                   "header\nextract\n" // fails: written but not delivered
                   "header\nextract\n"
                   "header\nextract\n"
                   "header\nclose\n");
  EXPECT_FALSE(platform::fileExists(owner_.TempFolder + owner_.TempPrefix + "_1.tmp"));
  EXPECT_EQ(owner_.Depth, 0);
}

TEST_F(RarExtraction, WideNamesUseTheNarrowCodePage) {
  if (platform::canRunPeImages())
    GTEST_SKIP() << "the narrow code page is the system's own here";
  extract(archive("KYVRARSCRIPT\n3|3|0|\\u0416\\u00E9.txt|abc\n"));
  ASSERT_EQ(delivered_.size(), 1u);
  // Windows-1251: Zhe is 0xC6; e-acute has no place in it.
  EXPECT_EQ(delivered_[0].name, "\xC6?.txt");
}

TEST_F(RarExtraction, AbortStopsAfterTheCurrentMember) {
  abortAfterFirst_ = true;
  extract(archive("KYVRARSCRIPT\n1|1|0|a|A\n1|1|0|b|B\n"));
  EXPECT_EQ(delivered_, (std::vector<Item>{{"RAR", "a", "A"}}));
  EXPECT_EQ(log(), "open-extract\nheader\nextract\nclose\n");
}

// The scan's byte budget goes by the full 64-bit size: a member of 4 GiB and more ends the
// extraction before anything is written.
TEST_F(RarExtraction, MemberOverTheBudgetEndsExtraction) {
  extract(archive("KYVRARSCRIPT\n4294967303|7|0|huge.bin|h\n1|1|0|after|A\n"));
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(owner_.Abort);
  EXPECT_EQ(log(), "open-extract\nheader\nskip\nclose\n");
}

TEST_F(RarExtraction, ArchivesTheModuleCannotOpen) {
  // A handle that comes with a failed open is closed; no handle, nothing to close.
  extract(archive("KYVRARSCRIPT-BADOPEN\n1|1|0|a|A\n"));
  EXPECT_EQ(log(), "open-extract\nclose\n");
  std::filesystem::remove(dir_ / "archive.rar.log");
  extract(archive("Rar!\x1A\x07\x00 not a script"));
  EXPECT_EQ(log(), "open-extract\n");
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(messages_.empty());
}

TEST_F(RarExtraction, NothingWithoutTheModuleButTheGapIsKnown) {
  FreeUnpackCode(code_);
  extract(archive("KYVRARSCRIPT\n1|1|0|a|A\n"));
  EXPECT_EQ(log(), "");
  EXPECT_TRUE(delivered_.empty());
  EXPECT_TRUE(messages_.empty());
  ASSERT_EQ(gaps_.size(), 1u);
  EXPECT_EQ(gaps_[0].Kind, TGapKind::UnsupportedMethod);
}

TEST_F(RarExtraction, AMemberTheModuleCannotCreateEndsExtractionAsAGap) {
  // 16 and 19: the module could not create or write the target file.
  for (const char* code : {"16", "19"}) {
    SCOPED_TRACE(code);
    gaps_.clear();
    extract(archive(std::string("KYVRARSCRIPT\n1|1|0|a|A\n1|1|") + code + "|b|B\n1|1|0|c|C\n"));
    EXPECT_EQ(delivered_.size(), 1u);
    delivered_.clear();
    ASSERT_EQ(gaps_.size(), 1u);
    EXPECT_EQ(gaps_[0].Kind, TGapKind::MemberNotWritten);
    EXPECT_EQ(gaps_[0].ItemName, "b");
    EXPECT_NE(gaps_[0].Reason.find(owner_.TempFolder), std::string::npos) << gaps_[0].Reason;
  }
}

} // namespace
} // namespace kyv::unpack
