// Documents saved by LibreOffice (tests/fixtures/office, made by the recipe beside them), unpacked
// the way the scan kernel walks them: every member unpacked again in turn, so a package object in
// a Word file, in the compound file a .docx or .odt holds, comes out as the file it carries, with
// the exact bytes of the payload that went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/system.h"
#include "test_support.h"
#include "unpack/decompress.h"

namespace kyv::unpack {
namespace {

struct Found {
  std::string chain; // "TYPE:member" links, outermost first, joined by " > "
  std::string content;
};

class OfficeProducers : public ::testing::Test {
protected:
  OfficeProducers() : unpacker("unused") {
    unpacker.SetTempFolder(platform::NormalizeFolder(dir.path().string()));
    // As the kernel does: each member is looked at, then unpacked itself before it goes away.
    unpacker.SetOnItem([this](const TKYVArcInfoArray& chain) {
      std::string text;
      for (const TKYVArcInfo& link : chain)
        text += (text.empty() ? "" : " > ") + link.ArcType + ":" + link.ItemName;
      found.push_back({text, test::textOf(test::readFile(chain.back().ItemFile))});
      unpack(chain.back().ItemFile, chain);
      return true;
    });
    unpacker.SetOnGap([this](const TScanGap& gap) { gaps.push_back(gap.Reason); });
  }
  void unpack(const std::filesystem::path& path, const TKYVArcInfoArray& chain = {}) {
    const auto bytes = test::readFile(path);
    std::vector<std::byte> head(4097);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), 4096), head.begin());
    FileHead fh;
    fh.HeadBuf = head;
    fh.FileSize = bytes.size();
    unpacker.Unpack(path.string(), fh, chain);
  }
  std::vector<std::string> chainsHolding(const std::string& content) const {
    std::vector<std::string> chains;
    for (const Found& f : found)
      if (f.content == content)
        chains.push_back(f.chain);
    return chains;
  }
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      names.push_back(e.path().filename().string());
    return names;
  }

  test::ScratchDir dir;
  TKYVDecompress unpacker;
  std::vector<Found> found;
  std::vector<std::string> gaps;
};

TEST_F(OfficeProducers, APackagedFileComesOutWholeFromEachFormat) {
  const std::string payload = test::textOf(test::readFile(test::fixture("office/payload.bin")));
  ASSERT_EQ(payload.size(), 526u);
  struct Case {
    const char* file;
    std::vector<std::string> chains; // every member that holds exactly the payload
  };
  const std::vector<Case> cases = {
      {"writer-package.doc", {"OLE2:payload.bin"}},
      {"writer-package.docx", {"ZIP:word/embeddings/oleObject1.bin > OLE2:payload.bin"}},
      {"writer-package.odt", {"ZIP:Obj100 > OLE2:payload.bin"}},
      {"calc-package.xls", {"OLE2:payload.bin"}},
      {"impress-package.ppt", {"OLE2:PowerPoint Document/Object1 > OLE2:payload.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    found.clear();
    gaps.clear();
    unpack(test::fixture(std::string("office/") + c.file));
    EXPECT_EQ(chainsHolding(payload), c.chains);
    // Nothing in these files is compressed that way: a small stream of every embedded object
    // ("\1Ole") once read as one.
    for (const Found& f : found)
      EXPECT_EQ(f.chain.find("LZMA"), std::string::npos) << f.chain;
    EXPECT_TRUE(gaps.empty()) << gaps.front();
    EXPECT_TRUE(leftovers().empty());
  }
}

// LibreOffice writes the VBA storage of a sheet whose Basic module is in VBA mode, but leaves it
// empty: the storage, and the empty compound file a .xlsm holds, give no module and are not
// reported as a damaged project.
TEST_F(OfficeProducers, AnEmptyMacroStorageIsNoDamagedProject) {
  for (const char* file : {"calc-macro.xls", "calc-macro.xlsm"}) {
    SCOPED_TRACE(file);
    found.clear();
    gaps.clear();
    unpack(test::fixture(std::string("office/") + file));
    EXPECT_FALSE(found.empty());
    for (const Found& f : found)
      EXPECT_EQ(f.chain.find(".vba"), std::string::npos) << f.chain;
    EXPECT_TRUE(gaps.empty()) << gaps.front();
    EXPECT_TRUE(leftovers().empty());
  }
}

} // namespace
} // namespace kyv::unpack
