// The archive base on its own: name index, status and the containment of member failures,
// through a small reader whose members are given in the test.
#include "archive/ab_archive.h"
#include "base/endian.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "test_support.h"

namespace kyv::archive {
namespace {

struct FakeMember {
  std::string name;
  std::string data;
  std::function<void()> fail; // thrown after the data is written, when set
};

class FakeArchive final : public TAbArchive {
public:
  explicit FakeArchive(std::vector<FakeMember> members)
      : TAbArchive(std::make_unique<MemorySource>(std::span<const std::byte>{}), "fake"),
        members_(std::move(members)) {}
  bool failLoad = false;

protected:
  void LoadArchiveItems() override {
    if (failLoad)
      throw EAbZipInvalid();
    for (const auto& m : members_) {
      auto item = std::make_unique<TAbArchiveItem>();
      item->FileName = m.name;
      item->UncompressedSize = m.data.size();
      Items().Add(std::move(item));
    }
  }
  void ExtractItemToStreamAt(int index, ByteSink& stream) override {
    const auto& m = members_[static_cast<std::size_t>(index)];
    if (!stream.write(asBytes(m.data)))
      throw EAbWriteRefused();
    if (m.fail)
      m.fail();
  }

private:
  std::vector<FakeMember> members_;
};

std::string text(const VectorSink& sink) { return test::textOf(sink.bytes()); }

TEST(TAbArchiveList, ElfHashMatchesTheClassicFunction) {
  // h = h*16 + byte, folding the top nibble back in: "A" is 0x41, "AB" 0x452.
  EXPECT_EQ(TAbArchiveList::ElfHash(""), 0u);
  EXPECT_EQ(TAbArchiveList::ElfHash("a"), 0x41u);
  EXPECT_EQ(TAbArchiveList::ElfHash("ab"), 0x452u);
  // Eight characters push bits into the top nibble, which must be folded and cleared.
  const std::uint32_t h = TAbArchiveList::ElfHash("ABCDEFGHIJ");
  EXPECT_EQ(h & 0xF0000000u, 0u);
  std::uint32_t ref = 0;
  for (char c : std::string("ABCDEFGHIJ")) {
    ref = (ref << 4) + static_cast<unsigned char>(c);
    const std::uint32_t g = ref & 0xF0000000u;
    if (g)
      ref ^= g >> 24;
    ref &= ~g;
  }
  EXPECT_EQ(h, ref);
  // Upper-casing covers the Cyrillic letters of Windows-1251 too.
  EXPECT_EQ(TAbArchiveList::ElfHash("\xE0"), TAbArchiveList::ElfHash("\xC0"));
}

TEST(TAbArchiveList, FindReturnsTheLaterOfEqualNames) {
  TAbArchiveList list;
  for (const char* name : {"one.txt", "Dup.TXT", "two", "dup.txt", "three"}) {
    auto item = std::make_unique<TAbArchiveItem>();
    item->FileName = name;
    list.Add(std::move(item));
  }
  EXPECT_EQ(list.Find("DUP.txt"), 3);
  EXPECT_EQ(list.Find("one.TXT"), 0);
  EXPECT_EQ(list.Find("missing"), -1);
  EXPECT_EQ(list.At(5), nullptr);
  EXPECT_EQ(list.At(-1), nullptr);
  list.Clear();
  EXPECT_EQ(list.Find("one.txt"), -1);
}

TEST(TAbArchive, StatusFollowsLoading) {
  FakeArchive bad(std::vector<FakeMember>{{"a", "x", {}}});
  bad.failLoad = true;
  EXPECT_THROW(bad.LoadDirectory(), EAbZipInvalid);
  EXPECT_EQ(bad.Status(), TAbArchiveStatus::asInvalid);
  VectorSink sink;
  EXPECT_THROW(bad.ExtractMemberToStream("a", sink), EAbNoArchive);

  FakeArchive good(std::vector<FakeMember>{{"a", "x", {}}});
  EXPECT_EQ(good.Status(), TAbArchiveStatus::asInvalid);
  good.LoadDirectory();
  EXPECT_EQ(good.Status(), TAbArchiveStatus::asIdle);
  good.ExtractMemberToStream("missing", sink);
  EXPECT_TRUE(sink.bytes().empty());
  good.ExtractMemberToStream("A", sink);
  EXPECT_EQ(text(sink), "x");
  EXPECT_EQ(good.Status(), TAbArchiveStatus::asIdle);
}

TEST(TAbArchive, MemberFailuresAreContainedAndClassified) {
  struct Case {
    std::function<void()> fail;
    TAbErrorClass cls;
    int code;
  };
  const std::vector<Case> cases = {
      {[] { throw EAbZipBadCRC(); }, TAbErrorClass::ecLibrary, 23},
      {[] { throw EAbInflateError("x"); }, TAbErrorClass::ecLibrary, 0},
      {[] { throw EAbFileCreateError("p"); }, TAbErrorClass::ecFileCreateError, 0},
      {[] { throw EAbWriteRefused(); }, TAbErrorClass::ecFilerError, 0},
      {[] { throw kyv::Error(ErrorKind::Io, "disk"); }, TAbErrorClass::ecInOutError, 0},
      {[] { throw std::runtime_error("other"); }, TAbErrorClass::ecOther, 0},
      {[] { throw 42; }, TAbErrorClass::ecOther, 0},
  };
  for (const auto& c : cases) {
    FakeArchive archive(std::vector<FakeMember>{{"m", "partial", c.fail}});
    archive.LoadDirectory();
    // Without a hook the failure simply disappears; what was written stays.
    VectorSink quiet;
    EXPECT_NO_THROW(archive.ExtractMemberToStream("m", quiet));
    EXPECT_EQ(text(quiet), "partial");

    int calls = 0;
    archive.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem& item, TAbProcessType type,
                                       TAbErrorClass cls, int code) {
      ++calls;
      EXPECT_EQ(item.FileName, "m");
      EXPECT_EQ(type, TAbProcessType::ptExtract);
      EXPECT_EQ(cls, c.cls);
      EXPECT_EQ(code, c.code);
    };
    VectorSink sink;
    archive.ExtractMemberToStream("m", sink);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(archive.Status(), TAbArchiveStatus::asIdle);
  }
}

TEST(TAbArchive, ConfirmHookCanRefuse) {
  FakeArchive archive(std::vector<FakeMember>{{"m", "data", {}}});
  archive.LoadDirectory();
  archive.OnConfirmProcessItem = [](TAbArchive&, TAbArchiveItem&, TAbProcessType, bool& confirm) {
    confirm = false;
  };
  VectorSink sink;
  archive.ExtractMemberToStream("m", sink);
  EXPECT_TRUE(sink.bytes().empty());
}

TEST(TAbArchive, ExtractMemberAtWritesAFileAndRemovesItOnFailure) {
  test::ScratchDir dir;
  FakeArchive archive(
      std::vector<FakeMember>{{"ok", "hello", {}}, {"bad", "half", [] { throw EAbReadError(); }}});
  archive.LoadDirectory();
  archive.ExtractMemberAt(0, (dir / "ok.out").string());
  EXPECT_EQ(test::textOf(test::readFile(dir / "ok.out")), "hello");
  archive.ExtractMemberAt(1, (dir / "bad.out").string());
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.out"));
  // A target that cannot be created is a contained failure too.
  int code = -1;
  TAbErrorClass cls = TAbErrorClass::ecOther;
  archive.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass c,
                                     int e) {
    cls = c;
    code = e;
  };
  archive.ExtractMemberAt(0, (dir / "no-such-folder" / "x").string());
  EXPECT_EQ(cls, TAbErrorClass::ecFileCreateError);
  EXPECT_EQ(code, 0);
  // An index outside the list does nothing.
  archive.ExtractMemberAt(7, (dir / "seven").string());
  EXPECT_FALSE(std::filesystem::exists(dir / "seven"));
}

} // namespace
} // namespace kyv::archive
