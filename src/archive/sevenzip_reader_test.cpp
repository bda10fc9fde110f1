// The 7z reader on archives made at test time by 7-Zip's 7zz (every coder and filter it writes
// that this reader decodes, solid and not, plain and packed headers, empty files and folders,
// many files), compared byte for byte with the files that went in; and on small archives
// spelled out in the test whose headers lie.
#include "archive/sevenzip_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "sevenzip_builder.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

namespace b = test::sevenzip;
using test::ScratchDir;

struct Extracted {
  std::map<std::string, std::vector<std::byte>> members;
  std::map<std::string, T7zOutcome::Kind> outcomes;
  std::vector<std::string> order;
};

Extracted extractAll(TAb7zArchive& arc) {
  Extracted out;
  std::map<int, VectorSink> sinks;
  arc.ExtractMembers([&](int i) -> ByteSink* { return &sinks[i]; },
                     [&](int i, const T7zOutcome& o) {
                       const std::string& name = arc.MemberAt(i)->FileName;
                       out.outcomes[name] = o.kind;
                       out.order.push_back(name);
                       if (o.started)
                         out.members[name] = sinks[i].bytes();
                       return true;
                     });
  return out;
}

Extracted extractBytes(const b::Bytes& bytes, bool* encryptedHeader = nullptr) {
  auto copy = std::make_shared<std::vector<std::byte>>(
      reinterpret_cast<const std::byte*>(bytes.data()),
      reinterpret_cast<const std::byte*>(bytes.data()) + bytes.size());
  struct Owning : ByteSource {
    std::shared_ptr<std::vector<std::byte>> data;
    MemorySource mem;
    explicit Owning(std::shared_ptr<std::vector<std::byte>> d) : data(std::move(d)), mem(*data) {}
    std::size_t read(std::span<std::byte> o) override { return mem.read(o); }
    bool seek(std::uint64_t off) override { return mem.seek(off); }
    std::uint64_t size() const override { return mem.size(); }
    std::uint64_t position() const override { return mem.position(); }
  };
  TAb7zArchive arc(std::make_unique<Owning>(copy), "test.7z");
  arc.LoadDirectory();
  if (encryptedHeader)
    *encryptedHeader = arc.HeaderEncrypted();
  return extractAll(arc);
}

// Bytes that give every branch converter something to convert: opcode and prefix bytes of each
// architecture among zeros, 0xFF and noise, at every alignment.
std::string branchyBytes(std::size_t n, std::uint32_t seed) {
  static constexpr std::uint8_t kPick[] = {0x00, 0xFF, 0xE8, 0xE9, 0x0F, 0x80, 0x85, 0xEB,
                                           0xF0, 0xF8, 0x48, 0x4B, 0x01, 0x40, 0x7F, 0xC0,
                                           0x94, 0x90, 0x10, 0x05, 0x12, 0x16};
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    const std::uint32_t r = seed >> 16;
    s += static_cast<char>(r % 4 == 0 ? (r >> 4) & 0xFF : kPick[(r >> 3) % sizeof kPick]);
  }
  return s;
}

std::string sampleText() {
  std::string t;
  std::uint32_t x = 7;
  for (int i = 0; i < 60000; ++i) {
    x = x * 1103515245u + 12345u;
    t += static_cast<char>('a' + (x >> 16) % 7);
    if (i % 50 == 49)
      t += '\n';
  }
  return t + t.substr(0, 40000);
}

std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

class SevenZipInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::haveProgram("7zz"))
      GTEST_SKIP() << "7zz not installed";
    std::filesystem::create_directories(src_ / "in" / "sub" / "empty dir");
    files_["in/text.txt"] = sampleText();
    files_["in/code.bin"] = branchyBytes(200001, 1);
    files_["in/sub/small.txt"] = "a small member\n";
    files_["in/sub/empty.txt"] = "";
    // 7-Zip's own x86 code, for the x86 converters on real calls and jumps.
    const auto self = test::readFile("/usr/bin/7zz");
    files_["in/x86.bin"] = std::string(reinterpret_cast<const char*>(self.data()),
                                       std::min<std::size_t>(self.size(), 300000));
    for (const auto& [name, bytes] : files_)
      test::writeFile(src_ / name, bytes);
  }

  // Makes an archive of in/ with the options and checks every member, and the listing, against
  // what went in and what 7zz lists.
  void roundTrip(const std::string& options) {
    SCOPED_TRACE(options);
    const auto arc = out_ / "t.7z";
    std::filesystem::remove(arc);
    ASSERT_EQ(
        test::run("cd " + q(src_.path()) + " && 7zz a -bd -bso0 " + options + " " + q(arc) + " in"),
        0);
    TAb7zArchive reader(arc.string());
    reader.LoadDirectory();
    const Extracted got = extractAll(reader);
    for (const auto& [name, bytes] : files_) {
      if (bytes.empty())
        continue;
      ASSERT_TRUE(got.members.count(name)) << name;
      EXPECT_EQ(test::textOf(got.members.at(name)), bytes) << name;
      EXPECT_EQ(got.outcomes.at(name), T7zOutcome::Kind::Ok) << name;
    }
    EXPECT_EQ(got.members.size(), 4u);
    // Every name 7zz lists, folders and empty files included, and no other.
    std::vector<std::string> ours;
    for (int i = 0; i < reader.MemberCount(); ++i) {
      std::string n = reader.MemberAt(i)->FileName;
      if (!n.empty() && n.back() == '/')
        n.pop_back();
      ours.push_back(n);
    }
    std::sort(ours.begin(), ours.end());
    ASSERT_EQ(test::run("7zz l -slt -ba " + q(arc) + " | sed -n 's/^Path = //p' | sort > " +
                        q(out_ / "list.txt")),
              0);
    std::istringstream listed(test::textOf(test::readFile(out_ / "list.txt")));
    std::vector<std::string> theirs;
    for (std::string line; std::getline(listed, line);)
      theirs.push_back(line);
    EXPECT_EQ(ours, theirs);
  }

  ScratchDir src_, out_;
  std::map<std::string, std::string> files_;
};

TEST_F(SevenZipInterop, CodersSolidAndNot) {
  for (const char* m :
       {"-m0=Copy", "-m0=Deflate", "-m0=Deflate64", "-m0=LZMA", "-m0=LZMA2", "-m0=BZip2"})
    for (const char* solid : {"-ms=on", "-ms=off"})
      roundTrip(std::string(m) + " " + solid + " -mhc=off");
}

TEST_F(SevenZipInterop, PpmdOrdersAndModelSizes) {
  // 64 KiB of model runs out many times over these members, so the model restarts mid-stream.
  for (const char* m : {"o=2:mem=64k", "o=6:mem=16m", "o=16:mem=1m", "o=32:mem=4m", "o=32:mem=64m"})
    for (const char* solid : {"-ms=on", "-ms=off"})
      roundTrip(std::string("-m0=PPMd:") + m + " " + solid + " -mhc=off");
  roundTrip("-m0=PPMd -mhc=on"); // the header packed with LZMA beside a PPMd folder
}

TEST_F(SevenZipInterop, PackedHeadersAndDefaults) {
  roundTrip("-mhc=on");                  // LZMA2 with BCJ on the x86 file, the header packed
  roundTrip("-m0=LZMA -mhc=on -ms=off"); // one folder per file
  roundTrip("-mf=BCJ2 -mhc=on");         // BCJ2 with its CALL and jump streams in LZMA
}

TEST_F(SevenZipInterop, Filters) {
  for (const char* f : {"BCJ", "ARM", "ARMT", "ARM64", "PPC", "SPARC", "IA64", "Delta:4"})
    roundTrip(std::string("-m0=Deflate -mf=") + f + " -mhc=off");
}

TEST_F(SevenZipInterop, Bcj2WithItsFourStreams) {
  // Side streams stored, then deflated (a coder whose output BCJ2 pulls), solid and not.
  roundTrip("-m0=BCJ2 -m1=Copy -m2=Copy -m3=Copy -mb0s0:1 -mb0s1:2 -mb0s2:3 -mhc=off");
  roundTrip(
      "-m0=BCJ2 -m1=Deflate -m2=Deflate -m3=Deflate -mb0s0:1 -mb0s1:2 -mb0s2:3 -mhc=off -ms=off");
}

TEST_F(SevenZipInterop, EncryptedMembersAreToldNotDecoded) {
  roundTrip("-m0=Copy -mhc=off"); // the listing part, as a control
  const auto arc = out_ / "e.7z";
  ASSERT_EQ(test::run("cd " + q(src_.path()) + " && 7zz a -bd -bso0 -m0=Copy -mhc=off -psecret " +
                      q(arc) + " in"),
            0);
  TAb7zArchive reader(arc.string());
  reader.LoadDirectory();
  ASSERT_FALSE(reader.HeaderEncrypted());
  const Extracted got = extractAll(reader);
  EXPECT_TRUE(got.members.empty());
  EXPECT_EQ(got.outcomes.size(), 4u);
  for (const auto& [name, kind] : got.outcomes)
    EXPECT_EQ(kind, T7zOutcome::Kind::Encrypted) << name;

  const auto hidden = out_ / "h.7z";
  ASSERT_EQ(test::run("cd " + q(src_.path()) + " && 7zz a -bd -bso0 -mhe=on -psecret " + q(hidden) +
                      " in"),
            0);
  TAb7zArchive h(hidden.string());
  h.LoadDirectory();
  EXPECT_TRUE(h.HeaderEncrypted());
  EXPECT_EQ(h.MemberCount(), 0);
}

TEST_F(SevenZipInterop, ManyFilesInOneSolidFolder) {
  std::filesystem::create_directories(src_ / "many");
  for (int i = 0; i < 600; ++i)
    test::writeFile(src_ / "many" / ("f" + std::to_string(i)),
                    std::string(static_cast<std::size_t>(i % 7), 'x') + std::to_string(i));
  const auto arc = out_ / "m.7z";
  ASSERT_EQ(test::run("cd " + q(src_.path()) + " && 7zz a -bd -bso0 -m0=Deflate -mhc=off " +
                      q(arc) + " many"),
            0);
  TAb7zArchive reader(arc.string());
  reader.LoadDirectory();
  const Extracted got = extractAll(reader);
  EXPECT_EQ(got.members.size(), 600u);
  for (int i = 0; i < 600; i += 37)
    EXPECT_EQ(test::textOf(got.members.at("many/f" + std::to_string(i))),
              std::string(static_cast<std::size_t>(i % 7), 'x') + std::to_string(i));
}

// ----- Archives spelled out in the test -----

TEST(SevenZipReader, StoredFilesInOrderWithTheirChecks) {
  const b::CopyArchive a{{{"one", "first"}, {"empty", ""}, {"two", "second member"}}};
  const Extracted got = extractBytes(a.bytes());
  EXPECT_EQ(got.order, (std::vector<std::string>{"one", "empty", "two"}));
  EXPECT_EQ(test::textOf(got.members.at("one")), "first");
  EXPECT_EQ(test::textOf(got.members.at("two")), "second member");
  EXPECT_EQ(got.outcomes.at("two"), T7zOutcome::Kind::Ok);
}

TEST(SevenZipReader, CrcMismatchIsDeliveredAndSaid) {
  b::CopyArchive a{{{"one", "first"}, {"two", "second"}}};
  b::Bytes bytes = a.bytes();
  bytes[32] ^= 1; // the first packed byte
  const Extracted got = extractBytes(bytes);
  EXPECT_EQ(got.outcomes.at("one"), T7zOutcome::Kind::CrcError);
  EXPECT_EQ(got.members.at("one").size(), 5u);
  EXPECT_EQ(got.outcomes.at("two"), T7zOutcome::Kind::Ok);
}

// One folder of the given coders over packed bytes, with one file; everything else plain.
b::Bytes oneFolder(const b::Bytes& packed, const b::Bytes& folder, const b::Bytes& unpackSizes,
                   std::uint64_t packSize) {
  const b::Bytes header = b::cat({{0x01, 0x04, 0x06},
                                  b::num(0),
                                  b::num(1),
                                  {0x09},
                                  b::num(packSize),
                                  {0x00},
                                  {0x07, 0x0B},
                                  b::num(1),
                                  {0x00},
                                  folder,
                                  {0x0C},
                                  unpackSizes,
                                  {0x00},
                                  {0x00, 0x05},
                                  b::num(1),
                                  b::names({"f"}),
                                  {0x00, 0x00}});
  return b::archive(packed, header);
}

TEST(SevenZipReader, LyingHeadersEndCleanly) {
  const b::Bytes data{'a', 'b', 'c', 'd'};
  const b::Bytes copy = b::cat({b::num(1), {0x01, 0x00}});
  struct Case {
    const char* what;
    b::Bytes archive;
    bool loads;               // LoadDirectory succeeds
    T7zOutcome::Kind outcome; // of "f", when it loads
  };
  const std::vector<Case> cases{
      {"control", oneFolder(data, copy, b::num(4), 4), true, T7zOutcome::Kind::Ok},
      {"unpack size beyond the packed bytes", oneFolder(data, copy, b::num(1000), 4), true,
       T7zOutcome::Kind::Damaged},
      {"pack size beyond the file", oneFolder(data, copy, b::num(4), 1u << 30), true,
       T7zOutcome::Kind::Damaged},
      {"absurd unpack size", oneFolder(data, copy, b::num(~0ull >> 1), 4), true,
       T7zOutcome::Kind::Damaged},
      {"folder of no coders", oneFolder(data, b::num(0), b::num(4), 4), false, {}},
      {"absurd coder count", oneFolder(data, b::num(1u << 30), b::num(4), 4), false, {}},
      {"absurd stream count",
       oneFolder(data, b::cat({b::num(1), {0x11, 0x00}, b::num(1000), b::num(1)}), b::num(4), 4),
       false,
       {}},
      {"Copy of Copy",
       oneFolder(data, b::cat({b::num(2), {0x01, 0x00, 0x01, 0x00}, b::num(0), b::num(1)}),
                 b::cat({b::num(4), b::num(4)}), 4),
       true, T7zOutcome::Kind::Ok},
      // Coders 0 and 1 feed each other (inputs 0<-1 and 1<-0); coder 2 alone reaches the output.
      {"bind-pair cycle",
       oneFolder(data,
                 b::cat({b::num(3),
                         {0x01, 0x00, 0x01, 0x00, 0x01, 0x00},
                         b::num(0),
                         b::num(1),
                         b::num(1),
                         b::num(0)}),
                 b::cat({b::num(4), b::num(4), b::num(4)}), 4),
       false,
       {}},
      // Input 0 fed by coder 0's own output.
      {"coder feeding itself",
       oneFolder(data, b::cat({b::num(2), {0x01, 0x00, 0x01, 0x00}, b::num(0), b::num(0)}),
                 b::cat({b::num(4), b::num(4)}), 4),
       false,
       {}},
      {"unknown method",
       oneFolder(data, b::cat({b::num(1), {0x03, 0x7F, 0x7F, 0x7F}}), b::num(4), 4), true,
       T7zOutcome::Kind::Unsupported},
      {"AES", oneFolder(data, b::cat({b::num(1), {0x04, 0x06, 0xF1, 0x07, 0x01}}), b::num(4), 4),
       true, T7zOutcome::Kind::Encrypted},
      {"PPMd of order 1",
       oneFolder(data,
                 b::cat({b::num(1), {0x23, 0x03, 0x04, 0x01, 0x05, 0x01, 0x00, 0x00, 0x01, 0x00}}),
                 b::num(4), 4),
       true, T7zOutcome::Kind::Damaged},
      {"PPMd model over the memory cap",
       oneFolder(data,
                 b::cat({b::num(1), {0x23, 0x03, 0x04, 0x01, 0x05, 0x06, 0xF0, 0xFF, 0xFF, 0xFF}}),
                 b::num(4), 4),
       true, T7zOutcome::Kind::Damaged},
      {"PPMd over bad data",
       oneFolder(data,
                 b::cat({b::num(1), {0x23, 0x03, 0x04, 0x01, 0x05, 0x06, 0x00, 0x00, 0x01, 0x00}}),
                 b::num(4), 4),
       true, T7zOutcome::Kind::Damaged},
      {"Deflate over bad data",
       oneFolder(data, b::cat({b::num(1), {0x03, 0x04, 0x01, 0x08}}), b::num(4), 4), true,
       T7zOutcome::Kind::Damaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.loads) {
      EXPECT_THROW(extractBytes(c.archive), EAbException);
      continue;
    }
    const Extracted got = extractBytes(c.archive);
    ASSERT_EQ(got.outcomes.count("f"), 1u);
    EXPECT_EQ(got.outcomes.at("f"), c.outcome);
  }
}

TEST(SevenZipReader, CountsBeyondTheHeaderAreRefusedBeforeAnythingIsSized) {
  // Each count claims far more entries than the bytes after it could hold.
  const std::vector<b::Bytes> headers{
      b::cat({{0x01, 0x05}, b::num(1ull << 40), {0x00, 0x00}}),                  // files
      b::cat({{0x01, 0x04, 0x06}, b::num(0), b::num(1ull << 35), {0x00, 0x00}}), // packed streams
      b::cat({{0x01, 0x04, 0x07, 0x0B}, b::num(1ull << 33), {0x00}}),            // folders
  };
  for (const auto& h : headers)
    EXPECT_THROW(extractBytes(b::archive({}, h)), EAbException);
}

TEST(SevenZipReader, DamagedSignatureHeaders) {
  const b::Bytes good = b::CopyArchive{{{"a", "x"}}}.bytes();
  auto flip = [&](std::size_t at) {
    b::Bytes d = good;
    d[at] ^= 0x40;
    return d;
  };
  EXPECT_NO_THROW(extractBytes(good));
  EXPECT_THROW(extractBytes(flip(8)), EAbException);               // start header CRC
  EXPECT_THROW(extractBytes(flip(good.size() - 3)), EAbException); // header CRC
  EXPECT_THROW(extractBytes(b::Bytes(good.begin(), good.end() - 1)), EAbException); // cut short
  EXPECT_THROW(extractBytes(flip(6)), EAbException);                                // major version
}

} // namespace
} // namespace kyv::archive
