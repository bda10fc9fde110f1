// The ZIP reader on archives built in the test: finding the end record, loading the directory,
// name lookup, and what extraction writes when a member is damaged, unsupported or encrypted.
#include "archive/zip_archive.h"

#include <gtest/gtest.h>

#include <cstring>

#include "codec/checksum.h"
#include "archive/zip_unzipper.h"
#include "base/endian.h"
#include "platform/system.h"
#include "owned_source.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::bytesOf;
using test::textOf;

// One member as the builder writes it. Sizes and CRC default to the data's own.
struct Member {
  std::string name;
  std::string data; // the bytes stored (already compressed or encrypted if so)
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint16_t versionNeeded = 20;
  std::uint16_t versionMadeBy = 0x031E; // Unix host
  std::optional<std::uint32_t> crc;
  std::optional<std::uint32_t> uncompressedSize;
};

void put16(std::vector<std::byte>& v, std::uint16_t x) {
  v.push_back(std::byte(x & 0xFF));
  v.push_back(std::byte(x >> 8));
}
void put32(std::vector<std::byte>& v, std::uint32_t x) {
  put16(v, static_cast<std::uint16_t>(x));
  put16(v, static_cast<std::uint16_t>(x >> 16));
}
void putText(std::vector<std::byte>& v, std::string_view s) {
  for (char c : s)
    v.push_back(std::byte(static_cast<unsigned char>(c)));
}

std::uint32_t crcOf(std::string_view s) { return codec::crc32Update(0, asBytes(s)); }

// Builds prefix + local records + central directory + end record (+ comment).
std::vector<std::byte> buildZip(const std::vector<Member>& members, std::string_view comment = {},
                                std::string_view prefix = {}) {
  std::vector<std::byte> out;
  putText(out, prefix);
  std::vector<std::uint32_t> offsets;
  for (const auto& m : members) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    const std::uint32_t crc = m.crc.value_or(crcOf(m.data));
    put32(out, 0x04034B50);
    put16(out, m.versionNeeded);
    put16(out, m.flags);
    put16(out, m.method);
    put16(out, 0x6000); // time
    put16(out, 0x5021); // date
    put32(out, crc);
    put32(out, static_cast<std::uint32_t>(m.data.size()));
    put32(out, m.uncompressedSize.value_or(static_cast<std::uint32_t>(m.data.size())));
    put16(out, static_cast<std::uint16_t>(m.name.size()));
    put16(out, 0);
    putText(out, m.name);
    putText(out, m.data);
  }
  const auto directoryOffset = static_cast<std::uint32_t>(out.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const auto& m = members[i];
    put32(out, 0x02014B50);
    put16(out, m.versionMadeBy);
    put16(out, m.versionNeeded);
    put16(out, m.flags);
    put16(out, m.method);
    put16(out, 0x6000);
    put16(out, 0x5021);
    put32(out, m.crc.value_or(crcOf(m.data)));
    put32(out, static_cast<std::uint32_t>(m.data.size()));
    put32(out, m.uncompressedSize.value_or(static_cast<std::uint32_t>(m.data.size())));
    put16(out, static_cast<std::uint16_t>(m.name.size()));
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, offsets[i]);
    putText(out, m.name);
  }
  const auto directorySize = static_cast<std::uint32_t>(out.size() - directoryOffset);
  put32(out, 0x06054B50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint16_t>(members.size()));
  put16(out, static_cast<std::uint16_t>(members.size()));
  put32(out, directorySize);
  put32(out, directoryOffset);
  put16(out, static_cast<std::uint16_t>(comment.size()));
  putText(out, comment);
  return out;
}

using test::OwnedSource;

std::unique_ptr<TAbZipArchive> open(std::vector<std::byte> bytes) {
  auto archive =
      std::make_unique<TAbZipArchive>(std::make_unique<OwnedSource>(std::move(bytes)), "test.zip");
  archive->LoadDirectory();
  return archive;
}

std::string extract(TAbArchive& archive, std::string_view name) {
  VectorSink sink;
  archive.ExtractMemberToStream(name, sink);
  return textOf(sink.bytes());
}

TEST(ZipReader, FindsTheEndRecordWithAndWithoutComment) {
  const std::vector<Member> members = {{"a.txt", "alpha"}, {"b.txt", "beta"}};
  // Comments of several lengths put the record at every kind of place relative to the search
  // windows (512, then 1024 more, ...), the window boundaries included.
  for (std::size_t commentLength :
       {0, 1, 100, 489, 490, 491, 500, 505, 511, 600, 1500, 2000, 65535}) {
    SCOPED_TRACE(commentLength);
    const std::string comment(commentLength, 'c');
    auto zip = buildZip(members, comment);
    const std::uint64_t expectedTail = zip.size() - 22 - commentLength;
    auto archive = open(zip);
    EXPECT_EQ(archive->FindDirectoryTail(), static_cast<std::int64_t>(expectedTail));
    ASSERT_EQ(archive->MemberCount(), 2);
    EXPECT_EQ(archive->Footer().ZipfileComment, comment);
    EXPECT_EQ(extract(*archive, "b.txt"), "beta");
  }
}

TEST(ZipReader, EndRecordStraddlingTheWindowBoundaryIsFound) {
  // The second window ends where the search needs it to: records that start up to 21 bytes
  // before the first window are looked at. Pad the member so that the end record starts at
  // each of those positions.
  for (std::size_t back = 1; back <= 21; ++back) {
    SCOPED_TRACE(back);
    const std::size_t commentLength = 512 - 22 + back; // record starts back bytes before the window
    auto archive = open(buildZip({{"x", "data"}}, std::string(commentLength, 'k')));
    EXPECT_EQ(archive->MemberCount(), 1);
  }
}

TEST(ZipReader, ACommentLongerThanTheRestOfTheFileIsNotAnEndRecord) {
  auto zip = buildZip({{"x", "data"}}, "tail");
  // Say the comment is longer than what follows: the record no longer qualifies.
  storeLe16(zip.data() + zip.size() - 4 - 2, 5);
  TAbZipArchive archive(std::make_unique<OwnedSource>(zip), "t.zip");
  EXPECT_EQ(archive.FindDirectoryTail(), -1);
  EXPECT_THROW(archive.LoadDirectory(), EAbZipInvalid);
}

TEST(ZipReader, RefusesFilesWithoutAnEndRecord) {
  for (const std::string& text :
       {std::string("PK\x03\x04 but nothing else"), std::string(5000, 'z'), std::string("short")}) {
    TAbZipArchive archive(std::make_unique<OwnedSource>(bytesOf(text)), "t.zip");
    try {
      archive.LoadDirectory();
      FAIL() << "loaded";
    } catch (const EAbZipInvalid& e) {
      EXPECT_STREQ(e.what(), "Invalid file - not a PKZip file");
    }
    EXPECT_EQ(archive.Status(), TAbArchiveStatus::asInvalid);
  }
}

TEST(ZipReader, DamagedDirectoriesRaiseZipInvalid) {
  auto base = buildZip({{"a", "1"}, {"b", "2"}});
  const std::size_t directoryOffset = loadLe32(base.data() + base.size() - 6);
  struct Case {
    const char* what;
    std::function<void(std::vector<std::byte>&)> damage;
  };
  const Case cases[] = {
      {"bad record signature", [&](auto& z) { z[directoryOffset] = std::byte{'X'}; }},
      {"directory offset past the end",
       [&](auto& z) { storeLe32(z.data() + z.size() - 6, 0x7FFFFFF0); }},
      {"name runs into the end record",
       [&](auto& z) { storeLe16(z.data() + directoryOffset + 28, 0xFFFF); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto zip = base;
    c.damage(zip);
    TAbZipArchive archive(std::make_unique<OwnedSource>(zip), "t.zip");
    EXPECT_THROW(archive.LoadDirectory(), EAbZipInvalid);
  }
}

TEST(ZipReader, SelfExtractingArchiveUsesTheStoredOffsets) {
  // A stub in front, with the directory offsets written for the whole file (as zip -A does).
  const std::string stub = "MZ" + std::string(300, '\x90');
  auto archive = open(buildZip({{"inside.txt", "payload"}}, {}, stub));
  EXPECT_TRUE(archive->IsExecutable());
  EXPECT_EQ(archive->StubSize(), stub.size());
  EXPECT_EQ(extract(*archive, "inside.txt"), "payload");
}

TEST(ZipReader, NameLookupIgnoresAsciiCaseAndPrefersTheLaterMember) {
  auto archive =
      open(buildZip({{"Readme.TXT", "first"}, {"other", "o"}, {"README.txt", "second"}}));
  ASSERT_EQ(archive->MemberCount(), 3);
  EXPECT_EQ(archive->FindMember("readme.txt"), 2);
  EXPECT_EQ(extract(*archive, archive->MemberAt(0)->FileName), "second");
  EXPECT_EQ(extract(*archive, "OTHER"), "o");
  EXPECT_EQ(extract(*archive, "absent"), "");
}

TEST(ZipReader, OemNamesFromDosHostsAreConverted) {
  // "\x8F\xE0\xA8\xA2\xA5\xE2" is a Russian word in code page 866; as ANSI (1251) it reads
  // "\xCF\xF0\xE8\xE2\xE5\xF2". Names from other hosts stay as stored.
  const std::string oem = "\x8F\xE0\xA8\xA2\xA5\xE2.txt";
  Member dos{oem, "dos"};
  dos.versionMadeBy = 0x0014;
  Member unix{oem + "2", "unix"};
  auto archive = open(buildZip({dos, unix}));
  // Windows converts with the system's own code pages; elsewhere the conversion is fixed.
  const std::string converted = platform::fileApisAreAnsi() ? platform::oemToAnsi(oem) : oem;
  if (platform::pathSeparator() == '/') {
    EXPECT_EQ(converted, "\xCF\xF0\xE8\xE2\xE5\xF2.txt");
  }
  EXPECT_EQ(archive->MemberAt(0)->FileName, converted);
  EXPECT_EQ(archive->MemberAt(1)->FileName, oem + "2");
  EXPECT_EQ(extract(*archive, converted), "dos");
}

TEST(ZipReader, ProgressHookSeesEveryRecordAndCanAbort) {
  auto zip = buildZip({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
  TAbZipArchive archive(std::make_unique<OwnedSource>(zip), "t.zip");
  std::vector<int> seen;
  archive.OnArchiveProgress = [&](TAbArchive&, int percent, bool& abort) {
    seen.push_back(percent);
    abort = percent >= 50;
  };
  EXPECT_THROW(archive.LoadDirectory(), EAbUserAbort);
  EXPECT_EQ(seen, (std::vector<int>{25, 50}));
  EXPECT_EQ(archive.Status(), TAbArchiveStatus::asInvalid);
}

// What a member's extraction writes, and which code the failure hook hears.
TEST(ZipReader, MembersThatCannotBeExtractedWriteNothing) {
  Member method12{"bzip2", "BZh91AY&SY", 12};
  Member method14{"lzma", "\x09\x14\x05\x00]\x00\x00\x80\x00", 14};
  Member strong{"strong", "data"};
  strong.versionNeeded = 51; // strong encryption: past what the reader extracts
  Member encrypted{"secret", std::string(20, '\x55'), 0, 0x0001};
  encrypted.uncompressedSize = 8;
  Member badDeflate{"bad", "\xFF\xFF\xFF\xFF", 8};
  badDeflate.uncompressedSize = 100;
  struct Case {
    Member member;
    int code;
  };
  const Case cases[] = {
      {method12, AbCode::Unknown},   // a bzip2 stream cut short: the error carries its own text
      {method14, AbCode::ReadError}, // an LZMA header cut short
      {strong, AbCode::ZipVersion},  {encrypted, AbCode::ZipInvalidPassword},
      {badDeflate, AbCode::Unknown}, // the inflate error carries its own text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member.name);
    auto archive = open(buildZip({c.member, {"next", "fine"}}));
    EXPECT_EQ(extract(*archive, c.member.name), "");
    int code = -1;
    archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType,
                                        TAbErrorClass cls, int e) {
      EXPECT_EQ(cls, TAbErrorClass::ecLibrary);
      code = e;
    };
    extract(*archive, c.member.name);
    EXPECT_EQ(code, c.code);
    // The archive stays usable for the next member.
    EXPECT_EQ(extract(*archive, "next"), "fine");
  }
}

TEST(ZipReader, CrcMismatchStillWritesTheWholeMember) {
  Member damaged{"damaged", "intact data"};
  damaged.crc = 0x12345678;
  auto archive = open(buildZip({damaged}));
  EXPECT_EQ(extract(*archive, "damaged"), "intact data");
  int code = 0;
  archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                      int e) { code = e; };
  EXPECT_EQ(extract(*archive, "damaged"), "intact data");
  EXPECT_EQ(code, AbCode::ZipBadCRC);
}

TEST(ZipReader, ShortDataGivesAShortMember) {
  // The directory claims more stored bytes than the file holds.
  Member truncated{"t", "only this"};
  truncated.uncompressedSize = 5000;
  auto archive = open(buildZip({truncated}));
  int code = 0;
  archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                      int e) { code = e; };
  EXPECT_EQ(extract(*archive, "t"), "only this");
  EXPECT_EQ(code, AbCode::ReadError);
}

TEST(ZipReader, ARefusingSinkStopsTheMember) {
  const std::string big(100000, 'q');
  auto archive = open(buildZip({{"big", big}}));
  VectorSink limited(4000);
  TAbErrorClass cls = TAbErrorClass::ecOther;
  archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass c,
                                      int) { cls = c; };
  archive->ExtractMemberToStream("big", limited);
  EXPECT_LE(limited.bytes().size(), 4000u);
  EXPECT_EQ(cls, TAbErrorClass::ecFilerError);
}

TEST(ZipReader, PasswordHookAndRetries) {
  // A stored member encrypted with "pw" (made by the builder below from the published cipher).
  const std::string plain = "classified";
  auto encrypt = [](const std::string& password, std::string data, std::uint8_t check) {
    std::string header(12, '\0');
    header[11] = static_cast<char>(check);
    std::string all = header + data;
    std::uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
    auto update = [&](std::uint8_t c) {
      k0 = codec::crc32Byte(k0, c);
      k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
      k2 = codec::crc32Byte(k2, static_cast<std::uint8_t>(k1 >> 24));
    };
    for (char c : password)
      update(static_cast<std::uint8_t>(c));
    for (char& c : all) {
      const std::uint32_t t = (k2 | 2) & 0xFFFF;
      const auto p = static_cast<std::uint8_t>(c);
      c = static_cast<char>(p ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
      update(p);
    }
    return all;
  };
  Member m{"s", encrypt("pw", plain, static_cast<std::uint8_t>(crcOf(plain) >> 24)), 0, 0x0001};
  m.crc = crcOf(plain);
  m.uncompressedSize = static_cast<std::uint32_t>(plain.size());
  const auto zip = buildZip({m});

  {
    auto archive = open(zip);
    archive->Password = "pw";
    EXPECT_EQ(extract(*archive, "s"), plain);
  }
  {
    // The hook is asked when no password is set, and again after a wrong one.
    auto archive = open(zip);
    std::vector<std::string> answers = {"wrong", "also wrong", "pw"};
    std::size_t asked = 0;
    archive->OnNeedPassword = [&](TAbArchive&, std::string& pw) { pw = answers[asked++]; };
    EXPECT_EQ(extract(*archive, "s"), plain);
    EXPECT_EQ(asked, 3u);
  }
  {
    // Retries run out.
    auto archive = open(zip);
    archive->PasswordRetries = 1;
    archive->OnNeedPassword = [](TAbArchive&, std::string& pw) { pw = "wrong"; };
    int code = 0;
    archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                        int e) { code = e; };
    EXPECT_EQ(extract(*archive, "s"), "");
    EXPECT_EQ(code, AbCode::ZipInvalidPassword);
  }
  {
    // A hook that gives up (empty answer) after a wrong password aborts.
    auto archive = open(zip);
    archive->Password = "wrong";
    archive->OnNeedPassword = [](TAbArchive&, std::string& pw) { pw.clear(); };
    int code = 0;
    archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                        int e) { code = e; };
    EXPECT_EQ(extract(*archive, "s"), "");
    EXPECT_EQ(code, AbCode::UserAbort);
  }
}

// The front end as the unpacking kernel drives it, on files.
TEST(TAbUnZipper, OpeningFiles) {
  test::ScratchDir dir;
  const auto zipPath = dir / "a.dat";
  test::writeFile(zipPath, buildZip({{"m.txt", "member"}, {"folder/", ""}}));
  const auto emptyPath = dir / "empty.zip";
  test::writeFile(emptyPath, std::string_view{});

  TAbUnZipper unzipper;
  EXPECT_EQ(unzipper.ExtractOptions, unsigned{eoCreateDirs});
  EXPECT_EQ(unzipper.PasswordRetries, 3);
  EXPECT_EQ(unzipper.MemberCount(), 0);
  // Not forced, the extension decides: ".dat" is no known type.
  EXPECT_THROW(unzipper.OpenArchive(zipPath.string()), EAbUnhandledType);
  EXPECT_THROW(unzipper.OpenArchive((dir / "missing.zip").string()), EAbFileNotFound);
  try {
    unzipper.OpenArchive(emptyPath.string());
    FAIL();
  } catch (const EAbBadStream& e) {
    EXPECT_STREQ(e.what(), "Invalid Stream");
  }

  unzipper.ForceType = true;
  unzipper.ArchiveType = TAbArchiveType::atZip;
  unzipper.OpenArchive(zipPath.string());
  ASSERT_EQ(unzipper.MemberCount(), 2);
  EXPECT_EQ(unzipper.MemberAt(0)->UncompressedSize, 6u);
  EXPECT_TRUE(unzipper.MemberAt(1)->IsDirectory());
  VectorSink sink;
  unzipper.ExtractMemberToStream("m.txt", sink);
  EXPECT_EQ(textOf(sink.bytes()), "member");
  unzipper.ExtractMemberAt(0, (dir / "out.txt").string());
  EXPECT_EQ(textOf(test::readFile(dir / "out.txt")), "member");

  // With the extension, detection finds the same archive.
  const auto named = dir / "b.ZIP";
  std::filesystem::copy_file(zipPath, named);
  EXPECT_EQ(TAbBaseBrowser::DetectArchiveType(named.string()), TAbArchiveType::atZip);
  TAbUnZipper detecting;
  detecting.OpenArchive(named.string());
  EXPECT_EQ(detecting.ArchiveType, TAbArchiveType::atZip);
  EXPECT_EQ(detecting.MemberCount(), 2);
}

} // namespace
} // namespace kyv::archive
