#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "cfb_writer.h"
#include "dos_archive_builder.h"
#include "msg_writer.h"
#include "platform/file.h"
#include "platform/system.h"
#include "ole1_writer.h"
#include "test_support.h"
#include "unpack/decompress.h"
#include "unpack/recognition.h"
#include "unpack_fixture.h"

namespace kyv::unpack {
namespace {

std::vector<std::byte> headOf(std::string_view start, std::size_t at257 = 0,
                              std::string_view tail = {}) {
  std::vector<std::byte> head(4097);
  std::memcpy(head.data(), start.data(), start.size());
  if (!tail.empty())
    std::memcpy(head.data() + at257, tail.data(), tail.size());
  return head;
}

TEST(Recognition, EveryMatchingTestCountsInOrder) {
  struct Case {
    std::vector<std::byte> head;
    std::vector<std::string_view> types;
  };
  const Case cases[] = {
      {headOf(std::string_view("PK\x03\x04", 4)), {"ZIP"}},
      {headOf(std::string_view("PK\x03\x04", 4), 257, "ustar"), {"ZIP", "TAR"}},
      {headOf("", 257, "GNUtar"), {"TAR"}},
      {headOf("\x60\xEA"), {"EA"}},
      {headOf("MSCF"), {"CAB"}},
      {headOf("\x1F\x8B"), {"GZIP"}},
      {headOf("ITSF"), {"CHM"}},
      {headOf("Rar!"), {"RAR"}},
      {headOf("Received: from a"), {"E-MAIL"}},
      // Keywords are case-sensitive, but a head of header fields that holds a usual message
      // field is mail whatever its first field and letter case.
      {headOf("received: from a"), {"E-MAIL"}},
      {headOf("Content-Type: text/plain\r\nSubject: x\r\n\r\nbody"), {"E-MAIL"}},
      {headOf("MIME-Version: 1.0\n"), {"E-MAIL"}},
      {headOf("X-Tag: 1\r\n folded\r\n\tagain\r\nmessage-id: <a@b>\r\n"), {"E-MAIL"}},
      {headOf("Word: a plain text file\r\nthat merely starts like a field\r\nSubject: x"), {}},
      {headOf("X-A: 1\rX-B: 2\nSubject: x"), {"E-MAIL"}}, // any line end, the last line unended
      {headOf("Key: v\r\n\r\nSubject: x\r\n"), {}},       // the head ended before a usual field
      {headOf("Hello world\r\nSubject: x\r\n"), {}},
      {headOf("Sub ject: x\r\n"), {}},
      {headOf(std::string_view("X-A: 1\r\n\0Subject: x\r\n", 22)), {}},
      {headOf("Fromage"), {"E-MAIL"}}, // any letters after the keyword
      {headOf(">From x"), {"E-MAIL"}},
      {headOf("X-Apparently-To: a"), {"E-MAIL"}}, // needs all sixteen characters
      {headOf("X-Apparently-T"), {}},
      {headOf(std::string_view("\0From", 5)), {}}, // a leading NUL never reads as mail
      {headOf("Date:"), {"E-MAIL"}},
      {headOf("Dat"), {}},
      // Compound files come last; whether one is a message shows only in its directory.
      {headOf(std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)), {"CFB"}},
      {headOf(std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A", 7)), {}},
      // Web pages; a stored message with markup in its head is mail only.
      {headOf("<!DOCTYPE html>\n<html>"), {"HTML"}},
      {headOf("Subject: x\r\nContent-Type: text/html\r\n\r\n<html>"), {"E-MAIL"}},
      {headOf("From a@b Mon Jan  1 00:00:00 2024\n<html>"), {"E-MAIL"}},
      // RTF on the four characters Word looks for.
      {headOf("{\\rtf1\\ansi"), {"RTF"}},
      {headOf("{\\rtxyz"), {"RTF"}},
      {headOf("{\\r"), {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(recognise(c.head), c.types) << test::textOf(std::span(c.head).first(16));
}

// The old DOS formats come after every earlier entry. A real ARJ main header is both the packed
// two-byte entry and ARJ; LZH needs a sane header, not just its method text.
TEST(Recognition, OldDosArchivesNeedTheirRealHeaders) {
  const auto padded = [](test::Bytes b) {
    b.resize(std::max<std::size_t>(b.size(), 4097));
    return b;
  };
  const test::Bytes arj = padded(test::buildArj({{"a.txt", "data"}}));
  EXPECT_EQ(recognise(arj), (std::vector<std::string_view>{"EA", "ARJ"}));
  test::Bytes badArj = arj;
  badArj[10] ^= std::byte{1}; // header CRC
  EXPECT_EQ(recognise(badArj), std::vector<std::string_view>{"EA"});
  for (int level = 0; level <= 2; ++level)
    EXPECT_EQ(recognise(padded(test::buildLzh({{"a.txt", "data", "-lh5-", level}}))),
              std::vector<std::string_view>{"LZH"})
        << level;
  test::Bytes badLzh = padded(test::buildLzh({{"a.txt", "data"}}));
  badLzh[1] ^= std::byte{1}; // header sum
  EXPECT_EQ(recognise(badLzh), std::vector<std::string_view>{});
  EXPECT_EQ(recognise(headOf("xx-lh5-")), std::vector<std::string_view>{});
  EXPECT_EQ(recognise(headOf(std::string_view("SZDD\x88\xF0\x27\x33"
                                              "A",
                                              9))),
            std::vector<std::string_view>{"SZDD"});
  EXPECT_EQ(recognise(headOf(std::string_view("KWAJ\x88\xF0\x27\xD1", 8))),
            std::vector<std::string_view>{"KWAJ"});
  EXPECT_EQ(recognise(headOf("SZDD")), std::vector<std::string_view>{});
}

TEST(Chain, TextNamesEveryLevel) {
  const TKYVArcInfoArray chain{{"C:\\in\\a.eml", "E-MAIL:base64", "b.zip", "t1"},
                               {"t1", "ZIP", "c.exe", "t2"}};
  EXPECT_EQ(ChainText(chain), "C:\\in\\a.eml/{E-MAIL:base64}/b.zip/{ZIP}/c.exe");
  EXPECT_EQ(ChainText({}), "");
}

class Dispatcher : public test::UnpackFixture {
protected:
  std::string write(const std::string& name, std::string_view text) {
    test::writeFile(dir / name, text);
    return (dir / name).string();
  }
};

constexpr std::string_view kThreeParts = "From: a@example.org\r\n"
                                         "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
                                         "\r\n"
                                         "--XX\r\n"
                                         "Content-Type: text/plain\r\n"
                                         "Content-Disposition: attachment; filename=\"one.txt\"\r\n"
                                         "\r\n"
                                         "first\r\n"
                                         "--XX\r\n"
                                         "Content-Transfer-Encoding: base64\r\n"
                                         "\r\n"
                                         "c2Vjb25k\r\n"
                                         "--XX\r\n"
                                         "Content-Transfer-Encoding: quoted-printable\r\n"
                                         "Content-Disposition: attachment; filename=three.txt\r\n"
                                         "\r\n"
                                         "th=69rd\r\n"
                                         "--XX--\r\n";

TEST_F(Dispatcher, MailPartsAreDeliveredInOrderWithTheirNamesAndTypes) {
  struct Seen {
    TKYVArcInfoArray chain;
    std::string content;
  };
  std::vector<Seen> seen;
  unpacker.SetOnItem([&](const TKYVArcInfoArray& chain) {
    seen.push_back({chain, test::textOf(test::readFile(chain.back().ItemFile))});
    return true;
  });
  const std::string path = write("m.eml", kThreeParts);
  unpack(path);
  ASSERT_EQ(seen.size(), 3u);
  const std::string temp =
      unpacker.TempFolder + "kyv_" + std::to_string(platform::processId()) + "_1.tmp";
  const char* names[] = {"one.txt", "Part2", "three.txt"};
  const char* types[] = {"E-MAIL:", "E-MAIL:base64", "E-MAIL:quoted-printable"};
  const char* contents[] = {"first", "second", "third"};
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(seen[i].chain.size(), 1u);
    EXPECT_EQ(seen[i].chain[0].ArcFile, path);
    EXPECT_EQ(seen[i].chain[0].ArcType, types[i]);
    EXPECT_EQ(seen[i].chain[0].ItemName, names[i]);
    EXPECT_EQ(seen[i].chain[0].ItemFile, temp);
    EXPECT_EQ(seen[i].content, contents[i]);
  }
  EXPECT_EQ(unpacker.Depth, 0);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Dispatcher, OutlookMessagesGiveBodyAndAttachmentsOtherCompoundFilesTheirStreams) {
  std::vector<std::pair<std::string, std::string>> seen; // name, content
  std::vector<std::string> types;
  unpacker.SetOnItem([&](const TKYVArcInfoArray& chain) {
    types.push_back(chain.back().ArcType);
    seen.emplace_back(chain.back().ItemName, test::textOf(test::readFile(chain.back().ItemFile)));
    return true;
  });
  test::CfbWriter cfb;
  test::MsgWriter msg(cfb);
  msg.Message(test::CfbWriter::kRoot, "caf\xE9"); // written as UTF-16, delivered as UTF-8
  msg.AddAttachment(test::CfbWriter::kRoot, 0, {"payload bytes", "payload.exe", "PAYLOAD.EXE"});
  const std::uint32_t fwd = msg.AddEmbedded(test::CfbWriter::kRoot, 1, "");
  msg.AddAttachment(fwd, 0, {std::string(6000, 'z'), "", "INNER.ZIP"});
  const std::string file = cfb.Build();
  unpack(write("m.msg", file));
  const std::vector<std::pair<std::string, std::string>> want{
      {"Body", "caf\xC3\xA9"},
      {"payload.exe", "payload bytes"},
      {"INNER.ZIP", std::string(6000, 'z')}};
  EXPECT_EQ(seen, want);
  EXPECT_EQ(types, std::vector<std::string>(3, "MSG"));

  // A document gives its streams.
  seen.clear();
  types.clear();
  test::CfbWriter doc;
  doc.AddStream(test::CfbWriter::kRoot, "WordDocument", "text of a document");
  unpack(write("d.doc", doc.Build()));
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                      {"WordDocument", "text of a document"}}));
  EXPECT_EQ(types, std::vector<std::string>{"OLE2"});

  // Messages cut short or with a damaged header: nothing, or what can be read, and nothing left
  // behind.
  seen.clear();
  unpack(write("cut.msg", file.substr(0, file.size() / 2)));
  std::string bad = file;
  bad[30] = 10; // a sector shift that does not exist
  unpack(write("bad.msg", bad));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(unpacker.Depth, 0);
  EXPECT_TRUE(leftovers().empty());

  // The budget running out inside an attachment: that one is handed on as far as it was written,
  // the ones after it are not made.
  seen.clear();
  unpacker.Limits.MaxScanSize = 4000;
  test::CfbWriter padded;
  test::MsgWriter paddedMsg(padded);
  paddedMsg.Message(test::CfbWriter::kRoot, "");
  paddedMsg.AddAttachment(test::CfbWriter::kRoot, 0,
                          {"payload" + std::string(9000, '\0'), "padded.exe", ""});
  paddedMsg.AddAttachment(test::CfbWriter::kRoot, 1, {"after", "after.txt", ""});
  unpack(write("p.msg", padded.Build()));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, "padded.exe");
  EXPECT_EQ(seen[0].second.substr(0, 7), "payload");
  EXPECT_LT(seen[0].second.size(), 9007u);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Dispatcher, RtfObjectsAreDeliveredUnwrapped) {
  std::vector<std::pair<std::string, std::string>> seen;
  unpacker.SetOnItem([&](const TKYVArcInfoArray& chain) {
    EXPECT_EQ(chain.back().ArcType, "RTF");
    seen.emplace_back(chain.back().ItemName, test::textOf(test::readFile(chain.back().ItemFile)));
    return true;
  });
  auto hex = [](const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
      static const char* digits = "0123456789ABCDEF";
      out += {digits[static_cast<unsigned char>(c) >> 4], digits[c & 0xF], '\n'};
    }
    return out;
  };
  const std::string package = test::PackageNative("label", "C:\\Temp\\run me.exe", "MZ packaged");
  const std::string rtf = "{\\rtf1\\ansi Text.\\par"
                          "{\\object\\objemb{\\*\\objclass Package}{\\*\\objdata " +
                          hex(test::Ole1Object("Package", package)) +
                          "}}"
                          "{\\object\\objemb{\\*\\objdata " +
                          hex(test::Ole1Object("Word.Document.8", "native doc")) +
                          "}"
                          "{\\result{\\pict\\wmetafile8 " +
                          hex("picture") +
                          "}}}"
                          "{\\object{\\*\\objdata " +
                          hex("garbled, no header") +
                          "}}"
                          "{\\object{\\*\\objdata }}}";
  unpack(write("doc.rtf", rtf));
  EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, std::string>>{{"run me.exe", "MZ packaged"},
                                                              {"Object2", "native doc"},
                                                              {"Picture1", "picture"},
                                                              {"Object3", "garbled, no header"}}));
  EXPECT_EQ(unpacker.Depth, 0);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Dispatcher, ExecutablesAreNeverUnpacked) {
  int calls = 0;
  unpacker.SetOnItem([&](const TKYVArcInfoArray&) { return ++calls, true; });
  unpack(write("m.eml", kThreeParts), {}, /*mz=*/true);
  EXPECT_EQ(calls, 0);
}

// The outer message's one part is itself a stored message with one attachment.
std::string nestedMessage() {
  const std::string inner =
      "From: b@example.org\r\nContent-Type: multipart/mixed; boundary=YY\r\n\r\n"
      "--YY\r\nContent-Disposition: attachment; filename=deep.txt\r\n\r\n"
      "deep\r\n--YY--\r\n";
  return "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
         "--XX\r\nContent-Disposition: attachment; filename=inner.eml\r\n\r\n" +
         inner + "--XX--\r\n";
}

TEST_F(Dispatcher, NestedMembersUseTheNextDepthAndALongerChain) {
  const std::string outer = nestedMessage();
  std::vector<TKYVArcInfoArray> chains;
  unpacker.SetOnItem([&](const TKYVArcInfoArray& chain) {
    chains.push_back(chain);
    unpack(chain.back().ItemFile, chain);
    return true;
  });
  const std::string path = write("outer.eml", outer);
  unpack(path);
  ASSERT_GE(chains.size(), 2u);
  const TKYVArcInfoArray& deep = chains[1];
  ASSERT_EQ(deep.size(), 2u);
  EXPECT_EQ(deep[0].ItemName, "inner.eml");
  EXPECT_EQ(deep[1].ArcFile, deep[0].ItemFile);
  EXPECT_EQ(deep[1].ItemName, "deep.txt");
  EXPECT_NE(deep[1].ItemFile.find("_2.tmp"), std::string::npos);
  EXPECT_EQ(unpacker.Depth, 0);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Dispatcher, DepthLimitStopsUnpackingButNotScanning) {
  int calls = 0;
  unpacker.SetOnItem([&](const TKYVArcInfoArray&) { return ++calls, true; });
  const std::string path = write("m.eml", kThreeParts);
  TKYVArcInfoArray chain(kMaxDepth - 1, TKYVArcInfo{"a", "ZIP", "b", "c"});
  unpack(path, chain);
  EXPECT_EQ(calls, 3);
  chain.push_back(chain.back());
  unpack(path, chain);
  EXPECT_EQ(calls, 3) << "a member at the depth limit is not unpacked";
}

TEST_F(Dispatcher, AbortStopsBeforeTheNextMemberAndCallbackErrorsStayInside) {
  int calls = 0;
  unpacker.SetOnItem([&](const TKYVArcInfoArray&) -> bool {
    ++calls;
    unpacker.Abort = true;
    throw std::runtime_error("scan failed");
  });
  unpack(write("m.eml", kThreeParts));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Dispatcher, BudgetEndsAScanAndResetsForTheNextFile) {
  EXPECT_TRUE(unpacker.ChargeBytes(kMaxBytesPerScan - 10));
  EXPECT_FALSE(unpacker.ChargeBytes(11));
  EXPECT_TRUE(unpacker.Abort);
  EXPECT_TRUE(unpacker.BudgetExhausted());
  int calls = 0;
  unpacker.SetOnItem([&](const TKYVArcInfoArray&) { return ++calls, true; });
  unpack(write("m.eml", kThreeParts)); // a new top-level file starts a new budget
  EXPECT_FALSE(unpacker.Abort);
  EXPECT_EQ(calls, 3);
}

TEST_F(Dispatcher, LimitsReachedAreReportedOncePerTopLevelFileWithWhereTheyHit) {
  struct Case {
    const char* what;
    TScanLimits limits;
    bool nested;
    std::size_t delivered;
    std::vector<TGapKind> gaps;
    std::size_t gapChain; // links of the chain of the container where the limit hit
  };
  const Case cases[] = {
      {"defaults", {}, false, 3, {}, 0},
      {"members at the cap", {kMaxDepth, kMaxBytesPerScan, 3}, false, 3, {}, 0},
      {"one member too many", {kMaxDepth, kMaxBytesPerScan, 2}, false, 2, {TGapKind::MaxFiles}, 0},
      // "first\r\n" (7 bytes) fits; "second" is cut after one byte and handed on as far as
      // it got; "third" is never started.
      {"bytes", {kMaxDepth, 8, kMaxMembersPerScan}, false, 2, {TGapKind::MaxScanSize}, 0},
      {"depth", {1, kMaxBytesPerScan, kMaxMembersPerScan}, true, 1, {TGapKind::MaxDepth}, 1},
      {"plain members at the depth limit",
       {1, kMaxBytesPerScan, kMaxMembersPerScan},
       false,
       3,
       {},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unpacker.Limits = c.limits;
    std::size_t delivered = 0;
    std::vector<TScanGap> gaps;
    unpacker.SetOnItem([&](const TKYVArcInfoArray& chain) {
      ++delivered;
      unpack(chain.back().ItemFile, chain);
      return true;
    });
    unpacker.SetOnGap([&](const TScanGap& gap) { gaps.push_back(gap); });
    const std::string path = write("m.eml", c.nested ? nestedMessage() : std::string(kThreeParts));
    unpack(path);
    EXPECT_EQ(delivered, c.delivered);
    ASSERT_EQ(gaps.size(), c.gaps.size());
    for (std::size_t i = 0; i < gaps.size(); ++i) {
      EXPECT_EQ(gaps[i].Kind, c.gaps[i]);
      EXPECT_TRUE(IsLimit(gaps[i].Kind));
      EXPECT_FALSE(gaps[i].Reason.empty());
      EXPECT_EQ(gaps[i].Chain.size(), c.gapChain);
    }
    if (c.gapChain == 1) {
      EXPECT_EQ(gaps[0].Chain[0].ItemName, "inner.eml");
    }
    EXPECT_TRUE(leftovers().empty());
  }
}

TEST_F(Dispatcher, MemberFilesThatCannotBeCreatedAreReportedWithTheSystemsReason) {
  // A temporary folder that is missing, and one that is a file.
  write("plain", "x");
  for (const std::string& folder :
       {dir.path().string() + "/missing/", dir.path().string() + "/plain/"}) {
    SCOPED_TRACE(folder);
    unpacker.SetTempFolder(platform::NormalizeFolder(folder));
    int calls = 0;
    std::vector<TScanGap> gaps;
    unpacker.SetOnItem([&](const TKYVArcInfoArray&) { return ++calls, true; });
    unpacker.SetOnGap([&](const TScanGap& gap) { gaps.push_back(gap); });
    unpack(write("m.eml", kThreeParts));
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(gaps.size(), 1u) << "the message ends at its first member";
    EXPECT_EQ(gaps[0].Kind, TGapKind::MemberNotWritten);
    EXPECT_EQ(gaps[0].ItemName, "one.txt");
    EXPECT_TRUE(gaps[0].Chain.empty());
    const std::string member = unpacker.TempFolder + unpacker.TempPrefix + "_1.tmp";
    const std::string prefix = "cannot create " + member + ": ";
    ASSERT_EQ(gaps[0].Reason.rfind(prefix, 0), 0u) << gaps[0].Reason;
    EXPECT_GT(gaps[0].Reason.size(), prefix.size()) << "the system's reason follows";
  }
}

TEST(Options, FilterMessagesAndBombRule) {
  TKYVDecompress unpacker("unused");
  EXPECT_TRUE(unpacker.AcceptItem("x"));
  unpacker.OnFilter = [](const std::string& name) { return name != "no"; };
  EXPECT_TRUE(unpacker.AcceptItem(""));
  EXPECT_FALSE(unpacker.AcceptItem("no"));
  EXPECT_TRUE(unpacker.AcceptItem("yes"));

  EXPECT_FALSE(unpacker.IsBomb(20000000, 100000)); // off unless asked for
  unpacker.BombCheck = true;
  EXPECT_TRUE(unpacker.IsBomb(20000000, 100000));
  EXPECT_FALSE(unpacker.IsBomb(9000000, 10000));    // not above the size limit
  EXPECT_FALSE(unpacker.IsBomb(20000000, 1000000)); // ratio below 100

  std::string got;
  unpacker.ReportMessage("quiet"); // no sink: nothing happens
  unpacker.OnMessage = [&](const std::string& text) { got = text; };
  unpacker.ReportMessage("hello");
  EXPECT_EQ(got, "hello");
  EXPECT_FALSE(unpacker.DeliverItem("a", "ZIP", "b", "c", {})); // no callback installed
}

} // namespace
} // namespace kyv::unpack

namespace kyv::unpack {
namespace {

class MailDispatcher : public ::testing::Test {
protected:
  MailDispatcher() : unpacker("unused") {
    unpacker.SetTempFolder(platform::NormalizeFolder(dir.path().string()));
    unpacker.SetOnItem([this](const TKYVArcInfoArray& chain) {
      names.push_back(chain.back().ItemName);
      contents.push_back(test::textOf(test::readFile(chain.back().ItemFile)));
      return true;
    });
  }
  void unpack(std::string_view text) {
    test::writeFile(dir / "m.eml", text);
    std::vector<std::byte> head(4097);
    std::memcpy(head.data(), text.data(), std::min<std::size_t>(text.size(), 2000));
    FileHead fh;
    fh.HeadBuf = head;
    unpacker.Unpack((dir / "m.eml").string(), fh, {});
  }
  test::ScratchDir dir;
  TKYVDecompress unpacker;
  std::vector<std::string> names;
  std::vector<std::string> contents;
};

TEST_F(MailDispatcher, MessagesOfAnMboxAreNamedByNumber) {
  unpack("From a Thu Dec 10 10:00:00 2026\r\nSubject: one\r\n\r\nfirst\r\n\r\n"
         "From b Thu Dec 10 10:00:01 2026\r\nContent-Type: multipart/mixed; boundary=q\r\n\r\n"
         "--q\r\nContent-Disposition: attachment; filename=b.exe\r\n\r\nMZ\r\n--q--\r\n");
  EXPECT_EQ(names, (std::vector<std::string>{"Message1/MainBody", "Message2/b.exe"}));
  EXPECT_EQ(contents, (std::vector<std::string>{"first\r\n", "MZ"}));
  // One message: names as they always were.
  names.clear();
  unpack("From a Thu Dec 10 10:00:00 2026\r\nSubject: one\r\n\r\nonly\r\n");
  EXPECT_EQ(names, std::vector<std::string>{"MainBody"});
}

#ifndef _WIN32
TEST_F(MailDispatcher, APartThatCannotBeWrittenEndsTheMessage) {
  // The member files may hold at most 4 KiB: the second part does not fit, so neither it nor
  // the third is delivered, and nothing is left behind.
  std::string message = "Content-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n\r\nsmall\r\n"
                        "--q\r\n\r\n" +
                        std::string(64 * 1024, 'x') + "\r\n--q\r\n\r\nthird\r\n--q--\r\n";
  test::writeFile(dir / "m.eml", message);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::vector<std::byte> head(4097);
  std::memcpy(head.data(), message.data(), 2000);
  FileHead fh;
  fh.HeadBuf = head;
  unpacker.Unpack((dir / "m.eml").string(), fh, {});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(names, std::vector<std::string>{"Part1"});
  EXPECT_EQ(unpacker.Depth, 0);
  std::size_t left = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ++left;
  EXPECT_EQ(left, 1u); // only the message
}
#endif

} // namespace
} // namespace kyv::unpack
