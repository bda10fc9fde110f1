// Documents as the scanner reads them: hand-built files for each rule of the tolerant reading
// (objects found without the cross-reference table, stream ends, filter chains, names), files
// made by qpdf and pdftk carrying a file that must come back byte for byte, and hostile files
// that must end quickly with what they hold.
#include "document/pdf_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "archive/deflate_encoder.h"
#include "padded_archive.h"
#include "test_support.h"

namespace kyv::document {
namespace {

using test::bytesOf;
using test::textOf;

struct Out {
  std::string content;
  std::string notDecoded;
  bool damaged = false;
  std::string decryptDamage;
};

// Every member by name (a name seen twice gets "#2").
std::map<std::string, Out> membersOf(std::span<const std::byte> file,
                                     std::string* locked = nullptr) {
  const PdfReader reader(file);
  if (locked != nullptr)
    *locked = reader.lockedReason();
  std::map<std::string, Out> all;
  for (const PdfMember& m : reader.members()) {
    VectorSink sink;
    const PdfExtract r = reader.extract(m, sink);
    EXPECT_FALSE(r.sinkRefused);
    std::string name = m.name;
    while (all.count(name) != 0)
      name += "#2";
    all[name] = {textOf(sink.bytes()), r.notDecoded, r.damaged, r.decryptDamage};
  }
  return all;
}

std::map<std::string, Out> membersOf(const std::string& text) { return membersOf(bytesOf(text)); }

std::string zlib(std::string_view data) {
  const auto raw = archive::DeflateRaw(bytesOf(data));
  return std::string("\x78\x9C", 2) + textOf(raw) + "\0\0\0\0";
}

// A zlib stream of that many zeros, cheap to make at any size (the checksum is not read).
std::string zlibZeros(std::uint64_t count) {
  const auto gzip = test::gzipOfHeadAndZeros({}, count);
  return std::string("\x78\x9C", 2) + textOf(std::span(gzip).subspan(10));
}

std::string stream(int number, const std::string& dict, const std::string& data) {
  return std::to_string(number) + " 0 obj\n<<" + dict + " /Length " + std::to_string(data.size()) +
         ">>\nstream\n" + data + "\nendstream\nendobj\n";
}

TEST(PdfReader, StreamsDecodeThroughTheirFilterChains) {
  const std::string hexOfZlib = [] {
    std::string hex;
    for (const unsigned char c : zlib("chained text"))
      hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex + ">";
  }();
  // A PNG-predicted stream of two rows of three bytes ("up" filter on the second).
  const std::string predicted = zlib(std::string("\x00"
                                                 "abc"
                                                 "\x02\x01\x01\x01",
                                                 8));
  const std::string file =
      "%PDF-1.4\n" + stream(1, "/Filter /FlateDecode", zlib("plain flate")) +
      stream(2, "/Filter [/AHx /Fl]", hexOfZlib) +
      stream(3, "/Filter /FlateDecode /DecodeParms <</Predictor 12 /Columns 3>>", predicted) +
      stream(4, "/Filter /DCTDecode", "\xFF\xD8 jpeg") +
      stream(5, "/Filter [/A85 /FooDecode]", "87cURD]j7BEbo80~>") +
      stream(6, "", "no filter at all") + "%%EOF\n";
  const auto m = membersOf(file);
  ASSERT_EQ(m.size(), 6u);
  EXPECT_EQ(m.at("obj 1 0").content, "plain flate");
  EXPECT_EQ(m.at("obj 2 0").content, "chained text");
  EXPECT_EQ(m.at("obj 3 0").content, "abcbcd");
  EXPECT_EQ(m.at("obj 4 0").content, "\xFF\xD8 jpeg"); // an image stays encoded, and that is no gap
  EXPECT_EQ(m.at("obj 4 0").notDecoded, "");
  EXPECT_EQ(m.at("obj 5 0").content, "Hello world!"); // decoded up to the unknown filter, and said
  EXPECT_EQ(m.at("obj 5 0").notDecoded, "filter FooDecode");
  EXPECT_EQ(m.at("obj 6 0").content, "no filter at all");
}

TEST(PdfReader, StreamEndsFollowTheLengthOnlyWhenItLandsOnEndstream) {
  const std::string file = "%PDF-1.7\n"
                           // Too short a length: the data runs to "endstream".
                           "1 0 obj <</Length 3>> stream\r\nshort lie\r\nendstream endobj\n"
                           // A length that is a reference to an object written later.
                           "2 0 obj <</Length 9 0 R>> stream\nendstream inside\nendstream endobj\n"
                           "9 0 obj 16 endobj\n"
                           // A huge length.
                           "3 0 obj <</Length 99999999999>> stream\nhuge\nendstream endobj\n"
                           // No endstream at all: the data runs to the file's end.
                           "4 0 obj <</Length -5>> stream\ncut off";
  const auto m = membersOf(file);
  EXPECT_EQ(m.at("obj 1 0").content, "short lie");
  EXPECT_EQ(m.at("obj 2 0").content, "endstream inside");
  EXPECT_EQ(m.at("obj 3 0").content, "huge");
  EXPECT_EQ(m.at("obj 4 0").content, "cut off");
}

TEST(PdfReader, EmbeddedFilesAndScriptsAreNamedAndOldRevisionsKept) {
  const std::string file =
      "%PDF-1.7\n" + stream(5, "/Type /EmbeddedFile", "old payload") +
      "6 0 obj <</Type /Filespec /F (plain.txt) /UF <FEFF0070 00E4 002E 0065 0078 0065> /EF <</F 5 "
      "0 R>>>> endobj\n"
      "7 0 obj <</S /JavaScript /JS (app.alert\\(1\\)) /Next <</S /JavaScript /JS (second)>>>> "
      "endobj\n"
      "8 0 obj <</S /JavaScript /JS 11 0 R>> endobj\n11 0 obj (script in its own object) endobj\n"
      "xref\n0 1\n0000000000 65535 f \ntrailer <</Size 12>>\nstartxref 0\n%%EOF\n"
      // An incremental update replaces object 5; the old one is still delivered.
      + stream(5, "/Type /EmbeddedFile", "new payload") +
      "12 0 obj <</Type /Filespec /F (\\223docenc\\200) /EF <</F 13 0 R>>>> endobj\n" +
      stream(13, "/Type /EmbeddedFile", "second file") +
      "trailer <</Size 14 /Prev 0>>\nstartxref 0\n%%EOF\n";
  const auto m = membersOf(file);
  EXPECT_EQ(m.at("obj 5 0").content, "old payload");
  EXPECT_EQ(m.at("p\xC3\xA4.exe").content, "new payload"); // /UF over /F, UTF-16 to UTF-8
  EXPECT_EQ(m.at("\xEF\xAC\x81"
                 "docenc\xE2\x80\xA2")
                .content,
            "second file"); // PDFDocEncoding
  EXPECT_EQ(m.at("obj 7 0 JS").content, "app.alert(1)");
  EXPECT_EQ(m.at("obj 7 0 JS 2").content, "second");
  EXPECT_EQ(m.at("obj 11 0 JS").content, "script in its own object");
  EXPECT_EQ(m.size(), 6u);
}

TEST(PdfReader, ObjectStreamsGiveTheirObjects) {
  const std::string objects = "20 0 21 60 "
                              "<</Type /Filespec /UF (packed.bin) /EF <</F 30 0 R>>>>          "
                              "<</JS (packed script)>>";
  const std::string file =
      "%PDF-1.5\n" + stream(2, "/Type /ObjStm /N 2 /First 11 /Filter /FlateDecode", zlib(objects)) +
      stream(30, "/Type /EmbeddedFile", "packed file") +
      // Claims a billion objects in a few bytes.
      stream(3, "/Type /ObjStm /N 1000000000 /First 4", "1 0 <</JS (x)>>");
  const auto m = membersOf(file);
  EXPECT_EQ(m.at("packed.bin").content, "packed file");
  EXPECT_EQ(m.at("obj 21 0 JS").content, "packed script");
  EXPECT_EQ(m.at("obj 2 0").content, objects); // the object stream itself is scanned too
  EXPECT_EQ(m.at("obj 1 0 JS").content, "x");
}

TEST(PdfReader, HostileFilesEndWithWhatTheyHold) {
  // Nesting far past any document's, dictionaries that never close, a trailer chain that loops.
  const std::string deep = "%PDF-1.4\n1 0 obj " + std::string(200000, '[') + " endobj\n" +
                           "2 0 obj <</A <</B " + std::string(100000, '<') + "\n" +
                           stream(3, "", "after the mess") + "trailer <</Prev 100>>\n" +
                           std::string(20000, 't') + "trailer <<trailer <<\n";
  const auto m = membersOf(deep);
  EXPECT_EQ(m.at("obj 3 0").content, "after the mess");
  // A Flate bomb: a sink that takes 1 MiB ends the decoding there.
  const std::string bomb =
      "%PDF-1.4\n" + stream(1, "/Filter /FlateDecode", zlibZeros(256ull << 20));
  const auto bytes = bytesOf(bomb);
  const PdfReader reader(bytes);
  ASSERT_EQ(reader.members().size(), 1u);
  VectorSink capped(1 << 20);
  EXPECT_TRUE(reader.extract(reader.members()[0], capped).sinkRefused);
  // A double Flate bomb stops at the in-memory stage's cap and says so.
  const std::string twice =
      "%PDF-1.4\n" + stream(1, "/Filter [/FlateDecode /FlateDecode]", zlibZeros(80 << 20));
  const auto m2 = membersOf(twice);
  EXPECT_NE(m2.at("obj 1 0").notDecoded, "");
}

TEST(PdfReader, ProducersAttachmentsComeBackByteForByte) {
  for (const char* tool : {"qpdf", "pdftk"})
    if (!test::haveProgram(tool))
      GTEST_SKIP() << tool << " not installed";
  test::ScratchDir dir;
  std::string payload;
  for (int i = 0; i < 5000; ++i)
    payload += static_cast<char>(i * 7 % 256);
  test::writeFile(dir / "payload.bin", payload);
  const std::string d = dir.path().string();
  ASSERT_EQ(test::run("cd " + d + " && qpdf --empty --add-attachment payload.bin -- att.pdf"), 0);
  ASSERT_EQ(test::run("cd " + d +
                      " && qpdf --object-streams=generate --compress-streams=y att.pdf os.pdf"),
            0);
  ASSERT_EQ(
      test::run(
          "cd " + d +
          " && qpdf --empty empty.pdf && pdftk empty.pdf attach_files payload.bin output tk.pdf"),
      0);
  // An update appended by hand: a second attachment replaces the name tree's file.
  std::string updated = textOf(test::readFile(dir / "att.pdf"));
  updated += stream(90, "/Type /EmbeddedFile", "appended") +
             "91 0 obj <</Type /Filespec /F (added.txt) /EF <</F 90 0 R>>>> endobj\n"
             "trailer <</Size 92 /Prev 0>>\nstartxref 0\n%%EOF\n";
  for (const auto& [name, bytes] : std::vector<std::pair<const char*, std::vector<std::byte>>>{
           {"att.pdf", test::readFile(dir / "att.pdf")},
           {"os.pdf", test::readFile(dir / "os.pdf")},
           {"tk.pdf", test::readFile(dir / "tk.pdf")},
           {"updated", bytesOf(updated)}}) {
    const auto m = membersOf(bytes);
    ASSERT_EQ(m.count("payload.bin"), 1u) << name;
    EXPECT_TRUE(m.at("payload.bin").content == payload) << name;
    if (std::string_view(name) == "updated") {
      EXPECT_EQ(m.at("added.txt").content, "appended");
    }
  }
}

TEST(PdfReader, EncryptedDocumentsOpenWithTheEmptyPassword) {
  if (!test::haveProgram("qpdf"))
    GTEST_SKIP() << "qpdf not installed";
  test::ScratchDir dir;
  std::string payload;
  for (int i = 0; i < 3000; ++i)
    payload += static_cast<char>(i * 13 % 251);
  test::writeFile(dir / "payload.bin", payload);
  const std::string d = "cd " + dir.path().string() + " && ";
  // Metadata gives a stream to leave plain; object streams put the file's name inside one.
  ASSERT_EQ(test::run(d + "qpdf --empty --add-attachment payload.bin -- att.pdf"), 0);
  struct Case {
    const char* what;
    const char* args; // after --encrypt USER owner, up to the file names
    const char* user;
  } cases[] = {
      {"RC4 40 bits", "40", ""},
      {"RC4 128 bits", "128 --use-aes=n", ""},
      {"RC4 128 bits, crypt filters", "128 --use-aes=n --force-V4", ""},
      {"AES-128", "128 --use-aes=y", ""},
      {"AES-128, plain metadata", "128 --use-aes=y --cleartext-metadata", ""},
      {"AES-256", "256", ""},
      {"AES-256, revision 5", "256 --force-R5", ""},
      {"AES-256, object streams", "256 -- --object-streams=generate", ""},
      {"a user password, RC4", "128 --use-aes=n", "secret"},
      {"a user password, AES-256", "256", "secret"},
  };
  for (const Case& c : cases) {
    std::string args = c.args;
    if (args.find(" -- ") == std::string::npos)
      args += " --";
    ASSERT_EQ(test::run(d + "qpdf --allow-weak-crypto --encrypt '" + c.user + "' owner " + args +
                        " att.pdf enc.pdf"),
              0)
        << c.what;
    std::string locked;
    const auto m = membersOf(test::readFile(dir / "enc.pdf"), &locked);
    if (*c.user != '\0') {
      EXPECT_NE(locked, "") << c.what;
      EXPECT_TRUE(m.empty()) << c.what;
      continue;
    }
    EXPECT_EQ(locked, "") << c.what;
    ASSERT_EQ(m.count("payload.bin"), 1u) << c.what;
    EXPECT_TRUE(m.at("payload.bin").content == payload) << c.what;
    for (const auto& [name, out] : m)
      EXPECT_EQ(out.decryptDamage, "") << c.what << ": " << name;
  }
}

TEST(PdfReader, BrokenEncryptionEndsCleanly) {
  // Dictionaries that cannot be opened leave the document locked, with no members.
  const std::string plainStream = stream(1, "", "text");
  const std::string u48 = "<" + std::string(96, 'a') + ">";
  const std::string standard = "/Encrypt <</Filter /Standard ";
  const std::string keys = "/O " + u48 + " /U " + u48;
  const std::vector<std::string> dictionaries{
      "/Encrypt 99 0 R",                                            // dangling
      "/Encrypt <</Filter /PubSec /V 1 /R 2>>",                     // another handler
      standard + "/V 2 /R 99999999999999999 /O (x) /U (x) /P -4>>", // huge revision
      standard + "/V 2 /R 3 /P -4>>",                               // no /O, /U
      standard + "/V 2 /R 3 /O (short) /U (short) /P -4 /Length 9999999>>",
      standard + "/V 4 /R 4 " + keys + " /P -4 /StmF /Nowhere>>",
      standard + "/V 5 /R 6 " + keys + " /UE (short) /P -4>>",
      standard + "/V 5 /R 6 " + keys + " /UE " + u48 + " /P -4>>",
  };
  for (const std::string& encrypt : dictionaries) {
    std::string locked;
    const auto m =
        membersOf(bytesOf("%PDF-1.7\n" + plainStream + "trailer <<" + encrypt + ">>\n"), &locked);
    EXPECT_NE(locked.find("encrypted document"), std::string::npos) << encrypt;
    EXPECT_TRUE(m.empty()) << encrypt;
  }

  // Streams of an opened AES document whose data is cut or whose padding is broken are
  // delivered as far as they decrypt, and said to be damaged.
  if (!test::haveProgram("qpdf"))
    GTEST_SKIP() << "qpdf not installed";
  test::ScratchDir dir;
  test::writeFile(dir / "payload.bin", std::string(100, 'p'));
  const std::string d = "cd " + dir.path().string() + " && ";
  ASSERT_EQ(test::run(d + "qpdf --empty --add-attachment payload.bin -- att.pdf && "
                          "qpdf --encrypt '' owner 128 --use-aes=y -- att.pdf enc.pdf"),
            0);
  std::vector<std::byte> file = test::readFile(dir / "enc.pdf");
  {
    // Flipping the high bit of the byte that the padding's last byte is decrypted against.
    const PdfFile parsed(file);
    for (const PdfObjectEntry& e : parsed.objects())
      if (e.isStream && e.dict.get("Type") != nullptr && e.dict.get("Type")->isName("EmbeddedFile"))
        file[e.dataEnd - 17] ^= std::byte{0x80};
  }
  const std::string appended =
      stream(77, "", std::string(20, 'c')) + stream(78, "", "abc") + stream(79, "", "");
  const auto more = bytesOf(appended);
  file.insert(file.end(), more.begin(), more.end()); // read whatever the tables say
  std::string locked;
  const auto m = membersOf(file, &locked);
  EXPECT_EQ(locked, "");
  EXPECT_EQ(m.at("payload.bin").decryptDamage, "encrypted data with broken padding");
  // The compressed payload fits one block, so the flip touched the padding alone: all of it is
  // still there, delivered.
  EXPECT_EQ(m.at("payload.bin").content, std::string(100, 'p'));
  EXPECT_EQ(m.at("obj 77 0").decryptDamage, "encrypted data cut short of a whole block");
  EXPECT_EQ(m.at("obj 77 0").content.size(), 0u);
  EXPECT_EQ(m.at("obj 78 0").decryptDamage,
            "encrypted data shorter than its initialization vector");
  EXPECT_EQ(m.at("obj 79 0").decryptDamage, "");
}

} // namespace
} // namespace kyv::document
