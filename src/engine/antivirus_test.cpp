// Loading the signature databases and matching file facts against them. Database files come
// from the independent test producer, their bodies spelled out record by record.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/antivirus.h"
#include "engine/database.h"
#include "engine/messages.h"
#include "testing_producer.h"
#include "platform/system.h"
#include "test_support.h"

namespace kyv::engine {
namespace {

using testing::Bytes;
using testing::ProducerHeader;
using testing::Rec;

void writeDb(const std::filesystem::path& path, const ProducerHeader& h, const Bytes& body) {
  const Bytes file = testing::produce(h, body);
  kyv::test::writeFile(path, std::as_bytes(std::span(file)));
}

// A full-form record: F = 0x80 with E = 0x01 (2-byte min), given name, sizes and sums.
Bytes plainRecord(std::string_view name, std::uint16_t minSize, std::uint32_t maxSize,
                  std::array<std::uint32_t, 4> sums) {
  Rec r;
  r.u8(0x80)
      .u8(0x01)
      .u8(static_cast<std::uint32_t>(name.size()))
      .text(name)
      .u16(minSize)
      .u32(maxSize);
  for (const std::uint32_t s : sums)
    r.u32(s);
  return r.bytes;
}

Bytes scriptSection(std::initializer_list<std::pair<std::int32_t, std::string_view>> scripts) {
  Rec r;
  r.u32(0x11111111)
      .u32(0x22222222)
      .u16(0x3333)
      .u32(static_cast<std::uint32_t>(scripts.size()))
      .u32(0x44444444);
  for (const auto& [id, text] : scripts)
    r.u32(static_cast<std::uint32_t>(id)).u16(static_cast<std::uint32_t>(text.size())).text(text);
  return r.bytes;
}

std::string folderOf(const kyv::test::ScratchDir& dir) { return dir.path().string(); }

TEST(SignatureBody, EveryStoredForm) {
  // Name compression, one-size and 2-byte sizes, absent sums, Extra, and the carried flag bits.
  const Bytes body = testing::concat({
      Rec()
          .u8(0x00)
          .u8(12)
          .text("Trojan.Alpha")
          .u32(100)
          .u32(200)
          .u32(1)
          .u32(2)
          .u32(3)
          .u32(4)
          .bytes,
      Rec()
          .u8(0x01)
          .u8(5)
          .u8(7)
          .text("Beta")
          .u32(0x7FFFFFFF)
          .u32(0x7FFFFFFF)
          .u32(5)
          .u32(6)
          .u32(7)
          .u32(8)
          .bytes,
      Rec().u8(0x02 | 0x04 | 0x80).u8(0x01 | 0x3C).u16(65535).bytes,
      Rec()
          .u8(0x01 | 0x20 | 0x48 | 0x80)
          .u8(0x02 | 0x04 | 0x10)
          .u8(1)
          .u8(200)
          .u32(10)
          .u16(20)
          .u32(9)
          .u32(11)
          .u32(0xCAFEBABE)
          .bytes,
      Rec().u8(0x01).u8(0).u8(0).u32(1).u32(1).u32(1).u32(1).u32(1).u32(1).bytes,
  });
  kyv::test::ScratchDir dir;
  ProducerHeader h;
  h.recordCount = 5;
  writeDb(dir / "main.kyv", h, body);
  TAntivirus av(folderOf(dir));
  ASSERT_TRUE(av.LoadDatabases());
  ASSERT_EQ(av.Descriptors.size(), 5u);
  const auto& d = av.Descriptors;
  EXPECT_EQ(d[0].Name, "Trojan.Alpha");
  EXPECT_EQ(d[1].Name, "Trojan.Beta");
  EXPECT_EQ(d[1].MaxSize, 0x7FFFFFFF);
  EXPECT_EQ(d[2].Name, "Trojan.Beta");
  EXPECT_EQ(d[2].MinSize, 65535);
  EXPECT_EQ(d[2].MaxSize, 65535);
  EXPECT_EQ(d[2].Sums, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(d[3].Name, "Trojan.Beta"); // prefix longer than the previous name takes all of it
  EXPECT_EQ(d[3].MinSize, 10);
  EXPECT_EQ(d[3].MaxSize, 20);
  EXPECT_EQ(d[3].Sums, (std::array<std::uint32_t, 4>{0, 9, 0, 11}));
  EXPECT_EQ(d[3].Extra, 0xCAFEBABEu);
  EXPECT_EQ(d[3].Flags, 0x01 | 0x20 | 0x48 | 0x80);
  EXPECT_EQ(d[4].Name, "");        // prefix 0, no suffix
  EXPECT_TRUE(av.Scripts.empty()); // the body ends right after the descriptors
}

// What a load of a folder leaves behind, for the table of folder cases below.
struct LoadCase {
  const char* what;
  std::function<void(const kyv::test::ScratchDir&)> make;
  bool result;
  std::vector<std::string> names; // descriptor names in table order
  std::string errors;             // LoadErrors, in UTF-8 for readability
  // Files refused, in load order, each with the start of its reason; "!" after a name marks a
  // file the start-up needs.
  std::vector<std::string> refused = {};
};

Bytes oneRecord(std::string_view name) { return plainRecord(name, 1, 100, {1, 0, 0, 0}); }

ProducerHeader headerWith(double stamp, std::int32_t count = 1) {
  ProducerHeader h;
  h.stamp = stamp;
  h.recordCount = count;
  return h;
}

Bytes damaged(const ProducerHeader& h, const Bytes& body) {
  Bytes file = testing::produce(h, body);
  file.back() ^= 0x40;
  return file;
}

void writeRaw(const std::filesystem::path& path, const Bytes& file) {
  kyv::test::writeFile(path, std::as_bytes(std::span(file)));
}

const std::string kDamagedMain = "KYV-001 Файл main1.kyv поврежден";
const std::string kNewerMain =
    "KYV-002 Файл main1.kyv не может использоваться текущей версией KYV. "
    "Пожалуйста обновите версию KYV с " +
    std::string(kMakerAddress);

TEST(LoadDatabases, FolderCases) {
  const LoadCase cases[] = {
      {"empty folder", [](const auto&) {}, true, {}, ""},
      {"main then daily, daily stamp equal",
       [](const auto& d) {
         writeDb(d / "main1.kyv", headerWith(10), oneRecord("M"));
         writeDb(d / "daily.kyv", headerWith(10), oneRecord("D"));
       },
       true,
       {"M", "D"},
       ""},
      {"daily older than main is skipped silently",
       [](const auto& d) {
         writeDb(d / "main1.kyv", headerWith(10), oneRecord("M"));
         writeDb(d / "daily.kyv", headerWith(9.5), oneRecord("D"));
       },
       true,
       {"M"},
       "",
       {"daily.kyv: older than the main database (stamp 9.5 below 10)"}},
      {"damaged daily: message, still true",
       [](const auto& d) {
         writeDb(d / "main1.kyv", headerWith(10), oneRecord("M"));
         writeRaw(d / "daily.kyv", damaged(headerWith(10), oneRecord("D")));
       },
       true,
       {"M"},
       "KYV-001 Файл daily.kyv поврежден",
       {"daily.kyv: damaged or truncated"}},
      {"damaged main: false, daily and neural still read",
       [](const auto& d) {
         writeRaw(d / "main1.kyv", damaged(headerWith(10), oneRecord("M")));
         writeDb(d / "daily.kyv", headerWith(0), oneRecord("D"));
         writeRaw(d / "neural.kyv", Bytes(10, 0));
       },
       false,
       {"D"},
       kDamagedMain + ";KYV-001 Файл neural.kyv поврежден",
       {"main1.kyv!: damaged or truncated", "neural.kyv: damaged or truncated"}},
      {"wrong magic: false without a message",
       [](const auto& d) {
         ProducerHeader h = headerWith(10);
         h.magic = "kyv";
         writeDb(d / "main1.kyv", h, oneRecord("M"));
       },
       false,
       {},
       "",
       {"main1.kyv!: not a database file (wrong magic)"}},
      {"too new a main sets the stamp before failing",
       [](const auto& d) {
         ProducerHeader h = headerWith(50);
         h.minVersion = {0x83, 0x34, 0x33, 0x33, 0x33, 0x03};
         writeDb(d / "main1.kyv", h, oneRecord("M"));
         writeDb(d / "daily.kyv", headerWith(40), oneRecord("D"));
       },
       false,
       {},
       kNewerMain,
       {"main1.kyv!: made for a newer program version", "daily.kyv: older than the main"}},
      {"version 0 always passes",
       [](const auto& d) {
         ProducerHeader h = headerWith(1);
         h.minVersion = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
         writeDb(d / "main1.kyv", h, oneRecord("M"));
       },
       true,
       {"M"},
       ""},
      {"body ends inside a record: damaged, adds nothing",
       [](const auto& d) {
         writeDb(d / "main1.kyv", headerWith(1, 2), oneRecord("M"));
         Bytes cut = oneRecord("D");
         cut.pop_back();
         writeDb(d / "daily.kyv", headerWith(1, 1), cut);
       },
       false,
       {},
       kDamagedMain + ";KYV-001 Файл daily.kyv поврежден",
       {"main1.kyv!: damaged: its body ends inside a record",
        "daily.kyv: damaged: its body ends inside a record"}},
      {"script record cut short: damaged",
       [](const auto& d) {
         Bytes body = testing::concat({oneRecord("M"), scriptSection({{1, "abc"}})});
         body.pop_back();
         writeDb(d / "main1.kyv", headerWith(1, 1), body);
       },
       false,
       {},
       kDamagedMain,
       {"main1.kyv!: damaged: its body ends"}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    kyv::test::ScratchDir dir;
    c.make(dir);
    TAntivirus av(folderOf(dir));
    EXPECT_EQ(av.LoadDatabases(), c.result);
    std::vector<std::string> names;
    for (const TVirusDescr& d : av.Descriptors)
      names.push_back(d.Name);
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(platform::cp1251ToUtf8(av.LoadErrors), c.errors);
    std::size_t next = 0;
    for (const TDatabaseFile& f : av.Files) {
      if (f.Loaded) {
        EXPECT_TRUE(f.Reason.empty()) << f.FileName;
        continue;
      }
      const std::string seen = f.FileName + (f.Required ? "!" : "") + ": " + f.Reason;
      ASSERT_LT(next, c.refused.size()) << "refused too: " << seen;
      EXPECT_TRUE(seen.starts_with(c.refused[next])) << seen;
      ++next;
    }
    EXPECT_EQ(next, c.refused.size());
  }
}

TEST(LoadDatabases, MessagesAreWindows1251) {
  // "Файл" in Windows-1251 is D4 E0 E9 EB.
  EXPECT_EQ(DamagedFileMessage("a.kyv"),
            "KYV-001 \xD4\xE0\xE9\xEB a.kyv \xEF\xEE\xE2\xF0\xE5\xE6\xE4\xE5\xED");
  EXPECT_EQ(FileNameOf("C:\\x\\BASE\\main.kyv"), "main.kyv");
  EXPECT_EQ(FileNameOf("/x/BASE/main.kyv"), "main.kyv");
  TAntivirus av("x");
  av.AddLoadError("  first \r\n");
  av.AddLoadError("second");
  EXPECT_EQ(av.LoadErrors, "first;second");
}

TEST(LoadDatabases, TwoMainFilesFollowEnumerationOrderThenDaily) {
  kyv::test::ScratchDir dir;
  writeDb(dir / "main-a.kyv", headerWith(3), oneRecord("A"));
  writeDb(dir / "main-b.kyv", headerWith(5), oneRecord("B"));
  writeDb(dir / "daily.kyv", headerWith(4), oneRecord("D"));
  TAntivirus av(folderOf(dir));
  ASSERT_TRUE(av.LoadDatabases());
  std::vector<std::string> expected;
  for (const std::string& e : platform::findEntries(av.BasePath + "main*.kyv"))
    expected.push_back(e == "main-a.kyv" ? "A" : "B");
  // The last main file's stamp decides whether daily.kyv counts.
  if (expected.back() == "A")
    expected.push_back("D");
  std::vector<std::string> names;
  for (const TVirusDescr& d : av.Descriptors)
    names.push_back(d.Name);
  EXPECT_EQ(names, expected);
}

TEST(LoadDatabases, ScriptsReplaceByIdAndNeuralItems) {
  kyv::test::ScratchDir dir;
  writeDb(dir / "main.kyv", headerWith(1),
          testing::concat({oneRecord("M"), scriptSection({{7, "main seven"}, {8, "main eight"}})}));
  writeDb(
      dir / "daily.kyv", headerWith(1),
      testing::concat({oneRecord("D"), scriptSection({{9, "daily nine"}, {7, "daily seven"}})}));
  ProducerHeader neural = headerWith(0, 2);
  writeDb(dir / "neural.kyv", neural,
          testing::concat({Rec().u8(2).text("n1").u16(3).text("abc").bytes,
                           Rec().u8(1).text("x").u16(1).text("z").bytes}));
  TAntivirus av(folderOf(dir));
  ASSERT_TRUE(av.LoadDatabases());
  ASSERT_EQ(av.Scripts.size(), 3u);
  EXPECT_EQ(av.Scripts[0].Id, 7);
  EXPECT_EQ(av.Scripts[0].Text, "daily seven");
  EXPECT_EQ(av.Scripts[1].Text, "main eight");
  EXPECT_EQ(av.Scripts[2].Text, "daily nine");
  ASSERT_EQ(av.NeuroItems.size(), 2u);
  EXPECT_EQ(av.NeuroItems[0].Name, "n1");
  EXPECT_EQ(av.NeuroItems[0].Data, "abc");
  EXPECT_EQ(av.NeuroItems[1].Data, "z");
  // A second load empties and refills.
  ASSERT_TRUE(av.LoadDatabases());
  EXPECT_EQ(av.Descriptors.size(), 2u);
  EXPECT_EQ(av.Scripts.size(), 3u);
}

TEST(LoadDatabases, OutOfRangeFieldsAndUnreadableFilesRaise) {
  const Bytes bodies[] = {
      Rec().u8(0x00).u8(0).bytes, // full name of length 0
      Rec().u8(0x04).u8(1).text("x").u32(0x80000000).u32(1).u32(1).u32(1).u32(1).bytes, // size top
                                                                                        // bit
  };
  for (std::size_t k = 0; k < 2; ++k) {
    kyv::test::ScratchDir dir;
    writeDb(dir / "main.kyv", headerWith(1), bodies[k]);
    TAntivirus av(folderOf(dir));
    try {
      av.LoadDatabases();
      ADD_FAILURE() << "no error for body " << k;
    } catch (const kyv::Error& e) {
      EXPECT_STREQ(e.what(), "Range check error");
    }
    EXPECT_TRUE(av.Descriptors.empty());
  }
  // A script text of length 0.
  {
    kyv::test::ScratchDir dir;
    Bytes body = testing::concat({oneRecord("M"), scriptSection({})});
    body[body.size() - 8] = 1; // script count 1
    body.insert(body.end(), {7, 0, 0, 0, 0, 0});
    writeDb(dir / "main.kyv", headerWith(1), body);
    TAntivirus av(folderOf(dir));
    EXPECT_THROW(av.LoadDatabases(), kyv::Error);
  }
  // A folder named like a main file cannot be read; the error names it and why.
  kyv::test::ScratchDir dir;
  std::filesystem::create_directory(dir / "main-folder.kyv");
  TAntivirus av(folderOf(dir));
  EXPECT_THROW(av.LoadDatabases(), kyv::Error);
  ASSERT_EQ(av.Files.size(), 1u);
  EXPECT_EQ(av.Files[0].FileName, "main-folder.kyv");
  EXPECT_TRUE(av.Files[0].Required);
  EXPECT_NE(av.Files[0].Reason.find("main-folder.kyv\". "), std::string::npos)
      << av.Files[0].Reason;
  EXPECT_GT(av.Files[0].Reason.size(), av.Files[0].Reason.find(". ") + 2); // the system's reason
}

TEST(LoadDatabases, ErrorInAnUpdateNamesIt) {
  kyv::test::ScratchDir dir;
  writeDb(dir / "main.kyv", headerWith(1), oneRecord("M"));
  writeDb(dir / "daily.kyv", headerWith(1), Rec().u8(0x00).u8(0).bytes); // a name of length 0
  TAntivirus av(folderOf(dir));
  EXPECT_THROW(av.LoadDatabases(), kyv::Error);
  ASSERT_EQ(av.Files.size(), 2u);
  EXPECT_TRUE(av.Files[0].Loaded);
  EXPECT_EQ(av.Files[0].Records, 1u);
  EXPECT_EQ(av.Files[0].Stamp, 1.0);
  EXPECT_EQ(av.Files[1].FileName, "daily.kyv");
  EXPECT_EQ(av.Files[1].Reason, "Range check error");
  EXPECT_TRUE(av.Files[1].Required); // it ended the load
  EXPECT_EQ(DescribeRefusal(av.Files[1]), "daily.kyv: Range check error");
}

// ---- matching ----

TVirusDescr descr(std::string name, std::int32_t minSize, std::int32_t maxSize,
                  std::array<std::uint32_t, 4> sums, std::uint8_t flags = 0) {
  TVirusDescr d;
  d.Name = std::move(name);
  d.MinSize = minSize;
  d.MaxSize = maxSize;
  d.Sums = sums;
  d.Flags = flags;
  return d;
}

TEST(CheckFileInfo, TableOfCases) {
  const TKYVFileInfo file{4096, false, false, {0x00012345, 0x00067890, 0x00000000, 0x11112222}};
  const std::string details = " ( 00012345 00067890 00000000 11112222 4096)";
  struct Case {
    const char* what;
    std::vector<TVirusDescr> table;
    int result;
    std::string found;
  } cases[] = {
      {"the documented partial match",
       {descr("Worm.Demo", 1000, 90000, {0x00012345, 0x00067890, 0x00055555, 0x11112222})},
       2,
       "Worm.Demo" + details},
      {"empty table", {}, 0, ""},
      {"partial earlier, exact later: exact wins without details",
       {descr("P", 0, 5000, {0x00012345, 0x00067890, 1, 0x11112222}),
        descr("E", 0, 5000, {0x00012345, 0, 0, 0})},
       1,
       "E"},
      {"first exact wins",
       {descr("E1", 4096, 4096, {0, 0x00067890, 0, 0}),
        descr("E2", 0, 9999, {0x00012345, 0, 0, 0})},
       1,
       "E1"},
      {"two partials: the later one",
       {descr("P1", 0, 5000, {0x00012345, 0x00067890, 1, 0x11112222}),
        descr("P2", 0, 5000, {0x00012345, 0x00067890, 5, 0x11112222})},
       2,
       "P2" + details},
      {"two of four equal: nothing", {descr("X", 0, 5000, {0x00012345, 0x00067890, 1, 2})}, 0, ""},
      {"exact-only flag blocks the partial",
       {descr("X", 0, 5000, {0x00012345, 0x00067890, 1, 0x11112222}, 0x10)},
       0,
       ""},
      {"exact-only flag still matches exactly",
       {descr("X", 0, 5000, {0x00012345, 0x00067890, 0, 0x11112222}, 0x10)},
       1,
       "X"},
      {"size equal to MinSize", {descr("Lo", 4096, 5000, {0x00012345, 0, 0, 0})}, 1, "Lo"},
      {"size equal to MaxSize", {descr("Hi", 0, 4096, {0x00012345, 0, 0, 0})}, 1, "Hi"},
      {"size just outside",
       {descr("Out", 4097, 5000, {0x00012345, 0, 0, 0}),
        descr("Out2", 0, 4095, {0x00012345, 0, 0, 0})},
       0,
       ""},
      {"no non-zero sum never matches", {descr("Z", 0, 5000, {0, 0, 0, 0})}, 0, ""},
      {"zero file sum against zero descriptor sum counts for nothing",
       {descr("Z2", 0, 5000, {0, 0, 0, 0x11112222})},
       1,
       "Z2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TAntivirus av("base");
    av.Descriptors = c.table;
    av.FoundName = "stale";
    TVirusDescr out;
    EXPECT_EQ(av.CheckFileInfo(file, out), c.result);
    EXPECT_EQ(av.FoundName, c.found);
    if (c.result != 0) {
      EXPECT_EQ(out.Name + (c.result == 2 ? details : ""), c.found);
    }
  }
}

TEST(CheckFileInfo, DetailsShowEveryFileSumInFullWithUpperCaseHex) {
  const TKYVFileInfo file{7, false, false, {0xABCDEF01, 0x0000000A, 0x00FF00FF, 0xFFFFFFFF}};
  TAntivirus av("base");
  av.Descriptors = {descr("W", 7, 7, {0xABCDEF01, 0x0000000A, 0x00FF00FF, 1})};
  TVirusDescr out;
  ASSERT_EQ(av.CheckFileInfo(file, out), 2);
  EXPECT_EQ(av.FoundName, "W ( ABCDEF01 0000000A 00FF00FF FFFFFFFF 7)");
  // A file that opened nothing matches nothing.
  EXPECT_EQ(av.CheckFileInfo(TKYVFileInfo{}, out), 0);
  EXPECT_EQ(av.FoundName, "");
}

TEST(CheckFileInfo, FollowsTableEdits) {
  const TKYVFileInfo file{500, false, false, {7, 0, 0, 0}};
  TAntivirus av("base");
  av.Descriptors = {descr("A", 0, 10, {7, 0, 0, 0})};
  TVirusDescr out;
  EXPECT_EQ(av.CheckFileInfo(file, out), 0);
  av.Descriptors.push_back(descr("B", 400, 600, {7, 0, 0, 0})); // a longer table is noticed
  EXPECT_EQ(av.CheckFileInfo(file, out), 1);
  EXPECT_EQ(av.FoundName, "B");
  av.Descriptors[1].MaxSize = 450; // narrowed in place: never a stale match
  EXPECT_EQ(av.CheckFileInfo(file, out), 0);
  av.Descriptors[0].MaxSize = 1000; // widened in place: seen after a reindex
  av.ReindexDescriptors();
  EXPECT_EQ(av.CheckFileInfo(file, out), 1);
  EXPECT_EQ(av.FoundName, "A");
}

} // namespace
} // namespace kyv::engine

namespace kyv::engine {
namespace {

// Random damage, both to the stored file (the checksum catches it) and to the plain body behind
// a valid container (the record parser meets it): loading ends in a verdict or a kyv::Error,
// never in a crash. Runs in every build, Windows included.
TEST(LoadSignatureImage, SurvivesRandomDamage) {
  const Bytes body = testing::concat(
      {plainRecord("Trojan.Alpha", 1, 500, {1, 2, 3, 4}),
       Rec().u8(0x01 | 0x20 | 0x80).u8(0x3D).u8(3).u8(7).text("Be").u16(9).u32(5).bytes,
       scriptSection({{1, "abc"}, {2, "de"}})});
  std::uint32_t rng = 12345;
  auto next = [&] { return rng = rng * 1103515245u + 12345u; };
  for (int round = 0; round < 300; ++round) {
    Bytes plain = body;
    for (int k = 0, n = 1 + static_cast<int>(next() % 4); k < n; ++k)
      plain[next() % plain.size()] = static_cast<std::uint8_t>(next() >> 16);
    if (round % 3 == 0)
      plain.resize(next() % plain.size());
    ProducerHeader h;
    h.recordCount = static_cast<std::int32_t>(next() % 6) - 1;
    Bytes stored = testing::produce(h, plain);
    if (round % 2 == 1)
      stored[30 + next() % (stored.size() - 30)] ^= static_cast<std::uint8_t>(1 + next() % 255);
    std::vector<std::byte> image(stored.size());
    std::memcpy(image.data(), stored.data(), stored.size());
    // A file loads whole or adds nothing.
    TAntivirus av("base");
    bool loaded = false;
    try {
      loaded = av.LoadSignatureImage(image, "main.kyv", true);
    } catch (const kyv::Error&) {
    }
    EXPECT_EQ(av.Descriptors.size(),
              loaded ? static_cast<std::size_t>(std::max(h.recordCount, 0)) : 0u);
    try {
      loaded = av.LoadNeuralImage(image, "neural.kyv");
    } catch (const kyv::Error&) {
      loaded = false;
    }
    if (!loaded) {
      EXPECT_TRUE(av.NeuroItems.empty());
    }
    TVirusDescr out;
    EXPECT_LE(av.CheckFileInfo(TKYVFileInfo{4, false, false, {1, 2, 3, 4}}, out), 2);
  }
}

} // namespace
} // namespace kyv::engine
