#include "mail/tnef.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace kyv::mail {
namespace {

// A TNEF writer following [MS-OXTNEF]: attributes of a level, an id (type in the high half),
// a length, the data and the 16-bit sum of the data; attachment properties as a MAPI list.
class TnefWriter {
public:
  TnefWriter() { out_ = le32(0x223E9F78) + le16(0x0001); }
  TnefWriter& attribute(std::uint8_t level, std::uint32_t id, const std::string& data,
                        bool breakSum = false) {
    unsigned sum = 0;
    for (const char c : data)
      sum += static_cast<unsigned char>(c);
    out_ += static_cast<char>(level) + le32(id) + le32(data.size()) + data +
            le16((sum + (breakSum ? 1 : 0)) & 0xFFFF);
    return *this;
  }
  // Message-level attributes a real stream starts with: version, code page, class.
  TnefWriter& messageHead() {
    attribute(1, 0x00089006, le32(0x00010000));
    attribute(1, 0x00069007, le32(1252) + le32(0));
    return attribute(1, 0x00078008, std::string("IPM.Microsoft Mail.Note\0", 24));
  }
  TnefWriter& attachment(const std::string& title, const std::string& data) {
    attribute(2, 0x00069002, le16(1) + std::string(12, '\0')); // attAttachRendData
    attribute(2, 0x00018010, title + std::string(1, '\0'));    // attAttachTitle
    return attribute(2, 0x0006800F, data);                     // attAttachData
  }
  // attAttachment with a list of already encoded properties.
  TnefWriter& properties(const std::string& list, int count) {
    return attribute(2, 0x00069005, le32(count) + list);
  }
  const std::string& bytes() const { return out_; }

  static std::string le16(unsigned v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
  static std::string le32(std::size_t v) { return le16(v & 0xFFFF) + le16((v >> 16) & 0xFFFF); }
  static std::string padded(std::string s) { return s + std::string((4 - s.size() % 4) % 4, '\0'); }
  // One property of variable size: type, id, one value of its length, padded.
  static std::string variable(unsigned type, unsigned id, const std::string& value) {
    return le16(type) + le16(id) + le32(1) + le32(value.size()) + padded(value);
  }
  static std::string utf16(const std::string& ascii) {
    std::string out;
    for (const char c : ascii)
      out += std::string{c, '\0'};
    return out + std::string(2, '\0');
  }

private:
  std::string out_;
};

std::span<const std::byte> span(const std::string& s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}
std::string text(std::span<const std::byte> b) { return test::textOf(b); }

TEST(Tnef, AttachmentsWithTitlesLongNamesAndEmbeddedMessages) {
  TnefWriter inner;
  inner.messageHead().attachment("INNER.TXT", "inside the attached message");
  const std::string iidMessage("\x07\x03\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46",
                               16);

  TnefWriter tnef;
  tnef.messageHead().attachment("REPORT~1.EXE", std::string("MZ\0\x90", 4) + std::string(500, 'p'));
  // The long name, after a fixed-size property and a named one, which are skipped over.
  tnef.properties(
      TnefWriter::le16(0x0003) + TnefWriter::le16(0x0E21) + TnefWriter::le32(7) +
          TnefWriter::le16(0x0003) + TnefWriter::le16(0x8001) + std::string(16, 'g') +
          TnefWriter::le32(1) + TnefWriter::le32(6) +
          TnefWriter::padded(std::string("n\0m\0\0\0", 6)) + TnefWriter::le32(9) +
          TnefWriter::variable(0x001F, 0x3707, TnefWriter::utf16("Quarterly report.exe")),
      3);
  tnef.attachment("NOTE.TXT", "plain note");
  // An attached message: no attAttachData, its data object holds IID_IMessage and a stream.
  tnef.attribute(2, 0x00069002, TnefWriter::le16(1) + std::string(12, '\0'));
  tnef.properties(TnefWriter::variable(0x001E, 0x3707, std::string("fwd.msg\0", 8)) +
                      TnefWriter::variable(0x000D, 0x3701, iidMessage + inner.bytes()),
                  2);
  tnef.attribute(1, 0x00068009, "trailing message attribute", /*breakSum=*/true);

  TTnefReader reader;
  ASSERT_TRUE(reader.Read(span(tnef.bytes())));
  const auto& found = reader.Attachments();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].Name, "Quarterly report.exe");
  EXPECT_EQ(text(found[0].Data), std::string("MZ\0\x90", 4) + std::string(500, 'p'));
  EXPECT_EQ(found[1].Name, "NOTE.TXT");
  EXPECT_EQ(text(found[1].Data), "plain note");
  EXPECT_EQ(found[2].Name, "fwd.msg");
  EXPECT_TRUE(found[2].Embedded);
  EXPECT_EQ(text(found[2].Data), inner.bytes());
  EXPECT_EQ(reader.BadChecksums(), 1u);

  TTnefReader nested;
  ASSERT_TRUE(nested.Read(found[2].Data));
  ASSERT_EQ(nested.Attachments().size(), 1u);
  EXPECT_EQ(text(nested.Attachments()[0].Data), "inside the attached message");
}

TEST(Tnef, LiesAndCutsEndTheWalkInOrder) {
  TnefWriter tnef;
  tnef.messageHead().attachment("A.BIN", "first").attachment("B.BIN", "second");
  const std::string whole = tnef.bytes();
  // Cut inside the second attachment's data: the first stands.
  TTnefReader reader;
  const std::string cut = whole.substr(0, whole.size() - 4);
  ASSERT_TRUE(reader.Read(span(cut)));
  ASSERT_GE(reader.Attachments().size(), 1u);
  EXPECT_EQ(text(reader.Attachments()[0].Data), "first");
  for (const auto& a : reader.Attachments())
    EXPECT_NE(text(a.Data), "second");
  // A length that claims 4 GB: the walk stops there, nothing is read past the end.
  std::string lie = whole;
  lie.replace(lie.size() - 2 - 6 - 4, 4, TnefWriter::le32(0xFFFFFFF0u));
  ASSERT_TRUE(reader.Read(span(lie)));
  EXPECT_EQ(text(reader.Attachments()[0].Data), "first");
  // A property list whose count and lengths lie.
  TnefWriter props;
  props.messageHead().attachment("C.BIN", "data");
  props.properties(TnefWriter::le16(0x001F) + TnefWriter::le16(0x3707) + TnefWriter::le32(1) +
                       TnefWriter::le32(0x7FFFFFFF),
                   1000000);
  ASSERT_TRUE(reader.Read(span(props.bytes())));
  ASSERT_EQ(reader.Attachments().size(), 1u);
  EXPECT_EQ(reader.Attachments()[0].Name, "C.BIN");
  // Not TNEF at all.
  const std::string zip = "PK\x03\x04";
  EXPECT_FALSE(reader.Read(span(zip)));
  EXPECT_FALSE(reader.Read({}));
}

} // namespace
} // namespace kyv::mail
