// Office compound files as the kernel unpacks them: the items listed for a Word file with an
// old-style package, an object pool and a VBA project, for PowerPoint's embedded objects, and
// for damaged packages, projects and records; every item's bytes compared with what was put in.
#include "document/office_items.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/endian.h"
#include "cfb_writer.h"
#include "document/vba_project.h"
#include "ole1_writer.h"
#include "reference_checksums.h"
#include "test_support.h"
#include "vba_writer.h"

namespace kyv::document {
namespace {

using test::CfbWriter;
using test::VbaModuleSpec;

using Items = std::vector<std::pair<std::string, std::string>>;

// Every item's name and bytes; items that do not come out whole are marked.
Items unpack(const std::string& bytes, TOfficeListing* listingOut = nullptr) {
  MemorySource source(asBytes(bytes));
  TCompoundFile file(source);
  TOfficeListing listing = ListOfficeItems(file);
  TOfficeItemWriter writer(file);
  Items items;
  for (const TOfficeItem& item : listing.Items) {
    VectorSink sink;
    const TOfficeWrite result = writer.Write(item, sink);
    items.emplace_back(item.Name, test::textOf(sink.bytes()) +
                                      (result == TOfficeWrite::Complete ? "" : "<damaged>"));
  }
  if (listingOut)
    *listingOut = std::move(listing);
  return items;
}

const std::string kPayload = "MZ\x90\x00 the packaged program " + std::string(5000, 'p');
const std::string kMacro =
    "Attribute VB_Name = \"Module1\"\r\nSub AutoOpen()\r\n  Shell \"calc\"\r\nEnd Sub\r\n";

TEST(OfficeItems, AWordFileGivesStreamsItsPackageAndItsMacros) {
  CfbWriter cfb;
  cfb.AddStream(CfbWriter::kRoot, "WordDocument", std::string(6000, 'w'));
  cfb.AddStream(CfbWriter::kRoot, "1Table", "table");
  cfb.AddStream(CfbWriter::kRoot, "\x05SummaryInformation", "summary");
  cfb.AddStream(CfbWriter::kRoot, "Empty", "");
  const std::uint32_t pool = cfb.AddStorage(CfbWriter::kRoot, "ObjectPool");
  const std::uint32_t object = cfb.AddStorage(pool, "_1234567890");
  cfb.AddStream(object,
                "\x01"
                "CompObj",
                "compobj");
  cfb.AddStream(object, "\x01Ole10Native",
                test::Ole10Native(
                    test::PackageNative("invoice.pdf", "C:\\Users\\a\\invoice.pdf.exe", kPayload)));
  // A stream of that name that holds no package (a link) stays as it is.
  const std::uint32_t other = cfb.AddStorage(pool, "_2");
  std::string link = test::Ole10Native(test::PackageNative("l", "f.txt", "linked"));
  link[4 + 2 + 2 + 6 + 2] = '\x01';
  cfb.AddStream(other, "\x01Ole10Native", link);
  const std::uint32_t macros = cfb.AddStorage(CfbWriter::kRoot, "Macros");
  cfb.AddStream(macros, "PROJECT", "ID=\"{00000000}\"\r\nModule=Module1\r\n");
  test::AddVbaProject(
      cfb, macros,
      {{"Module1", kMacro},
       {"ThisDocument", std::string(9000, 'x') + "End Sub", "", std::string(500, 'c')}});
  const std::string bytes = cfb.Build();

  TOfficeListing listing;
  const Items items = unpack(bytes, &listing);
  EXPECT_TRUE(listing.DamagedProjects.empty());
  auto find = [&](const std::string& name) {
    for (const auto& [n, data] : items)
      if (n == name)
        return data;
    return std::string("<missing>");
  };
  // Storages in tree order, each one's streams first; the package in place of its stream.
  std::vector<std::string> names;
  for (const auto& item : items)
    names.push_back(item.first);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "1Table", "WordDocument", "[5]SummaryInformation", "Macros/PROJECT",
                       "Macros/VBA/dir", "Macros/VBA/Module1", "Macros/VBA/ThisDocument",
                       "Macros/VBA/_VBA_PROJECT", "Macros/VBA/Module1.vba",
                       "Macros/VBA/ThisDocument.vba", "ObjectPool/_2/[1]Ole10Native",
                       "ObjectPool/_1234567890/[1]CompObj", "invoice.pdf.exe"}))
      << "the writer orders names by length, then letters";
  EXPECT_EQ(find("invoice.pdf.exe"), kPayload);
  EXPECT_EQ(find("ObjectPool/_2/[1]Ole10Native"), link);
  EXPECT_EQ(find("Macros/VBA/Module1.vba"), kMacro);
  EXPECT_EQ(find("Macros/VBA/ThisDocument.vba"), std::string(9000, 'x') + "End Sub");
  EXPECT_EQ(find("WordDocument"), std::string(6000, 'w'));
}

TEST(OfficeItems, VbaProjectsAnywhereAndDamagedOnes) {
  // An Excel-style project, a project at the root (vbaProject.bin), module names in the
  // project's code page only, a stream name that differs in case, an offset past the stream.
  CfbWriter cfb;
  const std::uint32_t cur = cfb.AddStorage(CfbWriter::kRoot, "_VBA_PROJECT_CUR");
  VbaModuleSpec plain{"Sheet1", "sheet code"};
  plain.unicodeRecords = false;
  VbaModuleSpec cased{"Modul", "cased code"};
  const std::uint32_t vba = test::AddVbaProject(cfb, cur, {plain, cased});
  (void)vba;
  const std::string bytes = cfb.Build();
  const Items items = unpack(bytes);
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items[items.size() - 2],
            (std::pair<std::string, std::string>{"_VBA_PROJECT_CUR/VBA/Sheet1.vba", "sheet code"}));
  EXPECT_EQ(items.back(),
            (std::pair<std::string, std::string>{"_VBA_PROJECT_CUR/VBA/Modul.vba", "cased code"}));

  // The dir stream's records damaged: the project is reported, the modules before the damage kept.
  CfbWriter root;
  // Literals only, so the cut falls in the last module's records: its terminator is lost.
  const std::string dir = test::OvbaCompress(test::VbaDir({{"A", "a code"}, {"B", "b code"}}),
                                             test::OvbaMode::LiteralsOnly);
  root.AddStream(CfbWriter::kRoot, "dir", dir.substr(0, dir.size() - 14));
  root.AddStream(CfbWriter::kRoot, "A", test::VbaModuleStream({"A", "a code"}));
  root.AddStream(CfbWriter::kRoot, "B", test::VbaModuleStream({"B", "b code"}));
  TOfficeListing listing;
  const Items damaged = unpack(root.Build(), &listing);
  EXPECT_EQ(listing.DamagedProjects, std::vector<std::string>{"/"});
  std::vector<std::string> modules;
  for (const auto& [name, data] : damaged)
    if (name.ends_with(".vba"))
      modules.push_back(name + "=" + data);
  EXPECT_EQ(modules, std::vector<std::string>{"A.vba=a code"});

  // A module whose offset lies past its stream, or whose source is not compressed data.
  CfbWriter bad;
  VbaModuleSpec far{"Far", "far code"};
  bad.AddStream(CfbWriter::kRoot, "dir", test::OvbaCompress(test::VbaDir({far, {"Junk", "junk"}})));
  bad.AddStream(CfbWriter::kRoot, "Far", "short");
  bad.AddStream(CfbWriter::kRoot, "Junk", std::string(37, '\xCC') + "\x07garbage");
  const Items badItems = unpack(bad.Build());
  EXPECT_EQ(badItems[badItems.size() - 2],
            (std::pair<std::string, std::string>{"Far.vba", "<damaged>"}));
  EXPECT_EQ(badItems.back(), (std::pair<std::string, std::string>{"Junk.vba", "<damaged>"}));
}

TEST(VbaDir, FollowsRecordsAsFarAsTheyGo) {
  const std::string dir = test::VbaDir({{"One", "", "Stream1"}, {"Two", ""}});
  const auto modules = ParseVbaDir(asBytes(dir));
  ASSERT_EQ(modules.Modules.size(), 2u);
  EXPECT_EQ(modules.Modules[0].Name, "One");
  EXPECT_EQ(modules.Modules[0].StreamName, "Stream1");
  EXPECT_EQ(modules.Modules[0].UnicodeStreamName, u"Stream1");
  EXPECT_EQ(modules.Modules[0].TextOffset, 37u);
  // A record whose size runs past the end stops the walk: no module is made up from it.
  EXPECT_FALSE(modules.Damaged);
  // A record whose size runs past the end stops the walk: no module is made up from it.
  std::string cut = dir;
  const std::size_t two = cut.find(std::string("\x19\x00", 2) + test::VbaLe(3, 4) + "Two");
  cut.replace(two + 2, 4, test::VbaLe(0x7FFFFFFF, 4));
  const auto damaged = ParseVbaDir(asBytes(cut));
  EXPECT_EQ(damaged.Modules.size(), 1u);
  EXPECT_TRUE(damaged.Damaged);
  EXPECT_TRUE(ParseVbaDir({}).Modules.empty());
}

// A zlib stream of stored blocks: header 78 01, blocks, Adler-32 big-endian.
std::string zlibStored(const std::string& data) {
  std::string z = "\x78\x01";
  z.push_back('\x01');
  const auto n = static_cast<std::uint16_t>(data.size());
  z += std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8),
                   static_cast<char>(~n & 0xFF), static_cast<char>((~n >> 8) & 0xFF)};
  z += data;
  const std::uint32_t adler = test::stepwiseAdler32(asBytes(data));
  for (int i = 3; i >= 0; --i)
    z.push_back(static_cast<char>(adler >> (8 * i)));
  return z;
}

std::string pptRecord(unsigned version, unsigned instance, unsigned type, const std::string& body,
                      std::uint32_t length = 0xFFFFFFFF) {
  std::string r =
      test::VbaLe(version | (instance << 4), 2) + test::VbaLe(type, 2) +
      test::VbaLe(length == 0xFFFFFFFF ? static_cast<std::uint32_t>(body.size()) : length, 4);
  return r + body;
}

TEST(OfficeItems, PowerPointGivesItsEmbeddedObjects) {
  CfbWriter inner;
  inner.AddStream(CfbWriter::kRoot, "\x01Ole10Native",
                  test::Ole10Native(test::PackageNative("x", "x.exe", kPayload)));
  const std::string object = inner.Build();
  const std::string atoms =
      pptRecord(0, 0, 0x0FF5, "userEdit") + pptRecord(0, 0, 0x0FBA, "cstring");
  const std::string stream =
      pptRecord(0xF, 0, 0x03E8,
                atoms + pptRecord(0xF, 0, 0x03EE, pptRecord(0, 0, 0x0FF0, "slide"))) +
      pptRecord(0, 0, 0x1011, object) + // stored
      pptRecord(0, 1, 0x1011,
                test::VbaLe(static_cast<std::uint32_t>(object.size()), 4) + zlibStored(object)) +
      pptRecord(0, 1, 0x1011, test::VbaLe(10, 4) + "\x78\x02junk") + // a bad zlib header
      pptRecord(0, 0, 0x1011, "cut object", 1000);                   // longer than the stream
  CfbWriter cfb;
  cfb.AddStream(CfbWriter::kRoot, "PowerPoint Document", stream);
  cfb.AddStream(CfbWriter::kRoot, "Current User", "user");
  const Items items = unpack(cfb.Build());
  const Items expected{{"Current User", "user"},
                       {"PowerPoint Document", stream},
                       {"PowerPoint Document/Object1", object},
                       {"PowerPoint Document/Object2", object},
                       {"PowerPoint Document/Object3", "<damaged>"},
                       {"PowerPoint Document/Object4", "cut object"}};
  EXPECT_EQ(items, expected);

  // What the kernel does next with an object: the package inside it comes out.
  const Items nested = unpack(items[2].second);
  ASSERT_EQ(nested.size(), 1u);
  EXPECT_EQ(nested[0], (std::pair<std::string, std::string>{"x.exe", kPayload}));
}

} // namespace
} // namespace kyv::document
