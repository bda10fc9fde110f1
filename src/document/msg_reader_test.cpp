#include "document/msg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/endian.h"
#include "base/error.h"
#include "cfb_writer.h"
#include "msg_writer.h"
#include "test_support.h"

namespace kyv::document {
namespace {

using test::CfbWriter;
using test::MsgWriter;
using Kind = TMsgItem::TKind;

struct Item {
  Kind kind;
  std::string name;
  std::string bytes;
  bool operator==(const Item&) const = default;
};

std::string hexOf(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

std::vector<Item> itemsOf(const std::string& file) {
  MemorySource source(asBytes(file));
  TCompoundFile cfb(source);
  std::vector<Item> items;
  for (const TMsgItem& item : ListMessageItems(cfb)) {
    VectorSink sink;
    EXPECT_EQ(cfb.ReadStream(item.Stream, sink), TCfbRead::Complete) << item.Name;
    items.push_back({item.Kind, item.Name, test::textOf(sink.bytes())});
  }
  return items;
}

TEST(MsgReader, AttachmentsByNameBodiesAndAttachedMessagesInPlace) {
  CfbWriter cfb;
  MsgWriter msg(cfb);
  msg.Message(CfbWriter::kRoot, "Hello");
  const std::string big(9000, 'B'); // in sectors of its own rather than the mini stream
  msg.AddAttachment(CfbWriter::kRoot, 0,
                    {std::string("MZ\0\x90", 4) + big, "Quarterly report.exe", "QUARTE~1.EXE"});
  msg.AddAttachment(CfbWriter::kRoot, 1,
                    {"eight-bit", "Old client.txt", "", MsgWriter::Text::EightBit});
  msg.AddAttachment(CfbWriter::kRoot, 2, {"short only", "", "SHORT.TXT"});
  msg.AddAttachment(CfbWriter::kRoot, 3, {"nameless", "", ""});
  msg.AddAttachment(CfbWriter::kRoot, 4, {"", "empty.txt", ""}); // no bytes: nothing to scan
  // A forwarded message holding another, each with a body and an attachment.
  const std::uint32_t fwd = msg.AddEmbedded(CfbWriter::kRoot, 5, "");
  msg.AddAttachment(fwd, 0, {"inner data", "inner.bin", ""});
  const std::uint32_t deeper = msg.AddEmbedded(fwd, 1, "deeper body");
  msg.AddAttachment(deeper, 0, {"deepest data", "deepest.bin", ""});
  // An object attachment: some other program's storage under the data-object property.
  const std::uint32_t ole = cfb.AddStorage(CfbWriter::kRoot, "__attach_version1.0_#00000006");
  cfb.AddStream(ole, "__properties_version1.0", std::string(8, '\0'));
  const std::uint32_t object = cfb.AddStorage(ole, MsgWriter::Property("3701000D"));
  cfb.AddStream(object, "\x01Ole10Native", "packaged object");
  msg.AddAttachment(CfbWriter::kRoot, 7, {"last", "last.txt", ""});

  const std::vector<Item> want{
      {Kind::Body, "Body", CfbWriter::Utf16("Hello", false)},
      {Kind::Attachment, "Quarterly report.exe", std::string("MZ\0\x90", 4) + big},
      {Kind::Attachment, "Old client.txt", "eight-bit"},
      {Kind::Attachment, "SHORT.TXT", "short only"},
      {Kind::Attachment, "Attach4", "nameless"},
      {Kind::Attachment, "inner.bin", "inner data"},
      {Kind::Body, "Body", CfbWriter::Utf16("deeper body", false)},
      {Kind::Attachment, "deepest.bin", "deepest data"},
      {Kind::Attachment, "last.txt", "last"},
  };
  EXPECT_EQ(itemsOf(cfb.Build()), want);
}

TEST(MsgReader, OnlyStoragesLaidOutAsMessagesAreMessages) {
  CfbWriter document;
  document.AddStream(CfbWriter::kRoot, "WordDocument", "text");
  document.AddStream(CfbWriter::kRoot, "__properties_version1.0", "no property streams beside it");
  CfbWriter msgFile;
  MsgWriter(msgFile).Message(CfbWriter::kRoot, "");
  for (const auto& [bytes, isMessage] :
       {std::pair{document.Build(), false}, std::pair{msgFile.Build(), true}}) {
    MemorySource source(asBytes(bytes));
    TCompoundFile cfb(source);
    EXPECT_EQ(IsMessageStorage(cfb, TCompoundFile::kRootId), isMessage);
  }
}

TEST(MsgReader, AttachmentsSharingOneStreamGiveItOnce) {
  // A thousand attachments whose data entries all start at the one 8 KiB chain: only the first
  // gets the bytes, so the walk never gives more than the file holds.
  CfbWriter cfb;
  MsgWriter msg(cfb);
  msg.Message(CfbWriter::kRoot, "");
  for (std::size_t i = 0; i < 1000; ++i)
    msg.AddAttachment(CfbWriter::kRoot, i,
                      {i == 0 ? std::string(8192, 'x') : std::string(4096, 'y'), "", ""});
  std::string file = cfb.Build();
  MemorySource probe(asBytes(file));
  TCompoundFile layout(probe);
  const auto items = ListMessageItems(layout);
  ASSERT_EQ(items.size(), 1000u);
  for (const TMsgItem& item : items)
    CfbWriter::Put32(file, cfb.EntryOffset(item.Stream) + 116, cfb.StartOf(items[0].Stream));
  MemorySource source(asBytes(file));
  TCompoundFile shared(source);
  std::uint64_t total = 0;
  std::size_t complete = 0;
  for (const TMsgItem& item : ListMessageItems(shared)) {
    NullSink sink;
    complete += shared.ReadStream(item.Stream, sink) == TCfbRead::Complete ? 1 : 0;
    total += sink.count();
  }
  EXPECT_EQ(complete, 1u);
  EXPECT_EQ(total, 8192u);
}

// An independent .msg reader (Debian's msgconvert) finds the same attachments with the same
// bytes in what the test writer makes, names of every kind and attached messages included.
TEST(MsgReader, AnIndependentReaderFindsTheSameAttachments) {
  if (!test::haveProgram("msgconvert") || !test::haveProgram("python3"))
    GTEST_SKIP() << "msgconvert (libemail-outlook-message-perl) is not installed";
  CfbWriter cfb;
  MsgWriter msg(cfb);
  msg.Message(CfbWriter::kRoot, "Hello");
  std::string binary(9000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i)
    binary[i] = static_cast<char>(i * 131 + i / 256);
  msg.AddAttachment(CfbWriter::kRoot, 0, {binary, "Quarterly report.exe", "QUARTE~1.EXE"});
  msg.AddAttachment(CfbWriter::kRoot, 1,
                    {"eight-bit", "Old client.txt", "", MsgWriter::Text::EightBit});
  msg.AddAttachment(CfbWriter::kRoot, 2, {"short only", "", "SHORT.TXT"});
  const std::uint32_t fwd = msg.AddEmbedded(CfbWriter::kRoot, 3, "forwarded body");
  msg.AddAttachment(fwd, 0, {"inner data", "inner.bin", ""});
  const std::string file = cfb.Build();

  std::vector<std::string> ours;
  for (const Item& item : itemsOf(file))
    if (item.kind == Kind::Attachment)
      ours.push_back(item.name + "\t" + hexOf(item.bytes));
  std::sort(ours.begin(), ours.end());
  ASSERT_EQ(ours.size(), 4u);

  test::ScratchDir dir;
  test::writeFile(dir / "m.msg", file);
  test::writeFile(dir / "list.py",
                  "import email, sys\n"
                  "m = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
                  "for p in m.walk():\n"
                  "    if p.get_filename():\n"
                  "        print(p.get_filename() + '\\t' + p.get_payload(decode=True).hex())\n");
  ASSERT_EQ(test::run("cd " + dir.path().string() +
                      " && msgconvert --outfile m.eml m.msg >/dev/null 2>&1 && "
                      "/usr/bin/python3 list.py m.eml > theirs.txt"),
            0);
  std::vector<std::string> theirs;
  std::istringstream lines(test::textOf(test::readFile(dir / "theirs.txt")));
  for (std::string line; std::getline(lines, line);)
    theirs.push_back(line);
  std::sort(theirs.begin(), theirs.end());
  EXPECT_EQ(ours, theirs);
}

// Damage at random, many times over: every walk ends, and everything read together stays within
// the file's size.
TEST(MsgReader, RandomDamageNeverReadsMoreThanTheFile) {
  CfbWriter cfb;
  MsgWriter msg(cfb);
  msg.Message(CfbWriter::kRoot, std::string(300, 'b'));
  msg.AddAttachment(CfbWriter::kRoot, 0, {std::string(5000, 'a'), "a.bin", "A.BIN"});
  const std::uint32_t fwd = msg.AddEmbedded(CfbWriter::kRoot, 1, "inner");
  msg.AddAttachment(fwd, 0, {std::string(100, 'c'), "c.bin", ""});
  const std::string valid = cfb.Build();
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string file = valid;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int f = 0; f < flips; ++f)
      file[random() % file.size()] = static_cast<char>(random());
    MemorySource source(asBytes(file));
    try {
      TCompoundFile damaged(source);
      std::uint64_t total = 0;
      for (const TMsgItem& item : ListMessageItems(damaged)) {
        NullSink sink;
        (void)damaged.ReadStream(item.Stream, sink);
        total += sink.count();
      }
      ASSERT_LE(total, file.size()) << "round " << round;
    } catch (const kyv::Error&) {
      // a header or root that cannot be used: refused, which is fine
    }
  }
}

} // namespace
} // namespace kyv::document
