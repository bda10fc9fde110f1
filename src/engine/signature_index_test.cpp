// The index must answer exactly as one pass over the table in order does. Random tables are
// drawn from a few sums per round, so that duplicates, shared sums, sums equal at other
// positions, partial matches and several matches per file are common; the file facts are mostly
// taken from a descriptor and then spoiled a little. Every answer (result, name with details,
// the record handed out) is compared with the plain linear matcher, and the mix of outcomes is
// checked so the comparison cannot pass on tables that never match.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>

#include "engine/antivirus.h"
#include "engine/database.h"
#include "engine/signature_index.h"
#include "linear_match.h"
#include "test_support.h"

namespace kyv::engine {
namespace {

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();

class TableMaker {
public:
  explicit TableMaker(std::uint32_t seed) : rng_(seed) {}

  std::uint32_t below(std::uint32_t n) { return rng_() % n; }
  bool chance(int percent) { return below(100) < static_cast<std::uint32_t>(percent); }

  // A fresh pool of sums for one table; the same values serve every position.
  void newPool(std::size_t size) {
    pool_.clear();
    for (std::size_t k = 0; k < size; ++k)
      pool_.push_back(1 + rng_() % 0xFFFFFFFEu);
  }
  std::uint32_t pooled() { return pool_[below(static_cast<std::uint32_t>(pool_.size()))]; }

  // Sizes from the edges that matter: zero, the signed limits, and neighbours of a few values.
  std::int32_t edgeSize() {
    static constexpr std::int32_t sizes[] = {kMin32, -1,  0,    1,          99,
                                             100,    101, 4096, kMax32 - 1, kMax32};
    return sizes[below(std::size(sizes))];
  }

  TVirusDescr descriptor(std::size_t number, bool loadable) {
    TVirusDescr d;
    d.Name = "D" + std::to_string(number);
    for (auto& s : d.Sums)
      s = chance(30) ? 0 : pooled();
    if (chance(40)) // all four non-zero: may match partially
      for (auto& s : d.Sums)
        s = s != 0 ? s : pooled();
    d.MinSize = edgeSize();
    d.MaxSize = chance(70) ? kMax32 - static_cast<std::int32_t>(below(3)) : edgeSize();
    if (loadable) { // what a stored record can hold
      d.MinSize = std::max(d.MinSize, 0);
      d.MaxSize = std::max(d.MaxSize, d.MinSize);
    }
    static constexpr std::uint8_t flags[] = {0, 0, 0, 0x10, 0x08, 0x40, 0x18};
    d.Flags = flags[below(std::size(flags))];
    d.Extra = rng_();
    return d;
  }

  std::vector<TVirusDescr> table(std::size_t n, bool loadable = false) {
    std::vector<TVirusDescr> t;
    for (std::size_t k = 0; k < n; ++k) {
      if (!t.empty() && chance(15)) { // a duplicate, maybe under a new name or flags
        TVirusDescr copy = t[below(static_cast<std::uint32_t>(t.size()))];
        if (chance(50))
          copy.Name = "D" + std::to_string(k);
        if (chance(30))
          copy.Flags ^= flag::ExactOnly;
        t.push_back(std::move(copy));
        continue;
      }
      t.push_back(descriptor(k, loadable));
    }
    return t;
  }

  // Mostly a descriptor's own facts with up to two sums spoiled and the size at an edge of its
  // range; sometimes facts from the pool alone.
  TKYVFileInfo file(const std::vector<TVirusDescr>& t) {
    TKYVFileInfo f;
    if (t.empty() || chance(15)) {
      f.FileSize = edgeSize();
      for (auto& s : f.Sums)
        s = chance(20) ? 0 : pooled();
      return f;
    }
    const TVirusDescr& d = t[below(static_cast<std::uint32_t>(t.size()))];
    f.Sums = d.Sums;
    static constexpr int spoiled[] = {0, 0, 1, 1, 1, 2};
    for (int n = spoiled[below(std::size(spoiled))]; n > 0; --n)
      f.Sums[below(4)] = chance(30) ? 0 : pooled();
    const std::int64_t sizes[] = {d.MinSize, d.MaxSize, std::int64_t{d.MinSize} - 1,
                                  std::int64_t{d.MaxSize} + 1,
                                  (std::int64_t{d.MinSize} + d.MaxSize) / 2};
    const std::int64_t size = sizes[below(std::size(sizes))];
    f.FileSize = static_cast<std::int32_t>(std::clamp<std::int64_t>(size, kMin32, kMax32));
    return f;
  }

private:
  std::mt19937 rng_;
  std::vector<std::uint32_t> pool_;
};

struct Tally {
  std::size_t checked = 0;
  std::size_t results[3] = {};
  std::size_t severalExact = 0;   // more than one descriptor matched exactly
  std::size_t severalPartial = 0; // more than one partial match and no exact one
  std::size_t exactAfterPartial = 0;
};

// Checks one file against both matchers and records what kind of case it was.
void compare(TAntivirus& av, const TKYVFileInfo& file, Tally& tally) {
  const test::LinearAnswer want = test::LinearMatch(av.Descriptors, file);
  TVirusDescr out;
  out.Name = "untouched";
  av.FoundName = "stale";
  const std::int32_t got = av.CheckFileInfo(file, out);
  ASSERT_EQ(got, want.Result) << "file size " << file.FileSize;
  ASSERT_EQ(av.FoundName, want.FoundName);
  if (want.Result == 0) {
    ASSERT_EQ(out.Name, "untouched");
  } else {
    const TVirusDescr& d = av.Descriptors[want.Number];
    ASSERT_EQ(out.Name, d.Name);
    ASSERT_EQ(out.Sums, d.Sums);
    ASSERT_EQ(out.MinSize, d.MinSize);
    ASSERT_EQ(out.MaxSize, d.MaxSize);
    ASSERT_EQ(out.Flags, d.Flags);
    ASSERT_EQ(out.Extra, d.Extra);
  }
  ++tally.checked;
  ++tally.results[want.Result];
  std::size_t exact = 0;
  std::size_t partial = 0;
  std::size_t partialBeforeFirstExact = 0;
  for (const TVirusDescr& d : av.Descriptors) {
    const MatchKind kind = MatchDescriptor(d, file);
    exact += kind == MatchKind::Exact;
    partial += kind == MatchKind::Partial;
    if (kind == MatchKind::Partial && exact == 0)
      ++partialBeforeFirstExact;
  }
  tally.severalExact += exact > 1;
  tally.severalPartial += exact == 0 && partial > 1;
  tally.exactAfterPartial += exact > 0 && partialBeforeFirstExact > 0;
}

void expectVariedCases(const Tally& t) {
  ::testing::Test::RecordProperty(
      "cases", std::to_string(t.checked) + " checked, none-exact-partial " +
                   std::to_string(t.results[0]) + "/" + std::to_string(t.results[1]) + "/" +
                   std::to_string(t.results[2]) + "; several exact " +
                   std::to_string(t.severalExact) + ", several partial " +
                   std::to_string(t.severalPartial) + ", exact after partial " +
                   std::to_string(t.exactAfterPartial));
  // The comparison means something only if every kind of answer came up often.
  EXPECT_GT(t.results[0], t.checked / 10);
  EXPECT_GT(t.results[1], t.checked / 5);
  EXPECT_GT(t.results[2], t.checked / 10);
  EXPECT_GT(t.severalExact, t.checked / 20);
  EXPECT_GT(t.severalPartial, t.checked / 50);
  EXPECT_GT(t.exactAfterPartial, t.checked / 100);
}

TEST(SignatureIndex, AnswersAsTheLinearPassOnRandomTables) {
  TableMaker make(20261210);
  Tally tally;
  for (int round = 0; round < 600; ++round) {
    // Mostly small tables from a small pool; now and then a large one, whose shared sums make
    // long runs and long probe chains.
    const bool large = round % 50 == 0;
    make.newPool(large ? 40 : 3 + make.below(8));
    TAntivirus av("base");
    av.Descriptors = make.table(large ? 4000 : make.below(40));
    for (int k = 0; k < 30; ++k) {
      compare(av, make.file(av.Descriptors), tally);
      if (::testing::Test::HasFatalFailure())
        return;
    }
  }
  expectVariedCases(tally);
}

// Loaded the way the kernel loads them: two main files and an update, one index for the set.
TEST(SignatureIndex, AnswersAsTheLinearPassAfterLoadingAFolder) {
  TableMaker make(7);
  Tally tally;
  for (int round = 0; round < 20; ++round) {
    make.newPool(4 + make.below(6));
    test::ScratchDir dir;
    for (const char* name : {"main1.kyv", "main2.kyv", "daily.kyv"}) {
      const std::vector<TVirusDescr> part = make.table(make.below(60), true);
      std::vector<std::byte> body;
      std::string previous;
      for (const TVirusDescr& d : part)
        WriteDescriptor(body, d, previous);
      DatabaseFields fields;
      fields.Stamp = 2;
      fields.RecordCount = static_cast<std::int32_t>(part.size());
      test::writeFile(dir / name, EncodeDatabaseImage(fields, body));
    }
    TAntivirus av(dir.path().string());
    ASSERT_TRUE(av.LoadDatabases());
    for (int k = 0; k < 60; ++k) {
      compare(av, make.file(av.Descriptors), tally);
      if (::testing::Test::HasFatalFailure())
        return;
    }
  }
  expectVariedCases(tally);
}

TVirusDescr withSums(std::array<std::uint32_t, 4> sums, std::uint8_t flags = 0,
                     std::int32_t minSize = 0, std::int32_t maxSize = 100) {
  TVirusDescr d;
  d.Sums = sums;
  d.Flags = flags;
  d.MinSize = minSize;
  d.MaxSize = maxSize;
  return d;
}

TEST(SignatureIndex, ListsEachDescriptorOnlyWhereItCanMatch) {
  const std::vector<TVirusDescr> table = {
      withSums({1, 2, 3, 4}),          // may match partially: two listings
      withSums({1, 2, 3, 4}, 0x10),    // exact-only: one
      withSums({0, 2, 0, 4}),          // two sums, so exact only: one
      withSums({0, 0, 0, 0}),          // matches nothing: none
      withSums({1, 2, 3, 4}, 0, 5, 4), // empty size range: none
  };
  SignatureIndex index;
  index.build(table);
  EXPECT_EQ(index.listings(), 4u);
  EXPECT_EQ(index.tableSize(), table.size());
  for (int j = 0; j < 4; ++j)
    EXPECT_TRUE(index.find(j, 0).empty());
  EXPECT_GT(index.memoryBytes(), 0u);
}

TEST(SignatureIndex, ListsUnderTheRarerSumAndKeepsRunsInTableOrder) {
  // Every descriptor shares its head sum 7 and has a tail sum of its own; a file with the head
  // sum 7 must not have to test them all.
  std::vector<TVirusDescr> table;
  for (std::uint32_t k = 0; k < 300; ++k)
    table.push_back(withSums({7, 1000 + k, 0, 0}));
  table.push_back(withSums({7, 0, 0, 0})); // only the shared sum: listed under it
  table.push_back(withSums({7, 0, 0, 0}));
  SignatureIndex index;
  index.build(table);
  const std::span<const std::uint32_t> shared = index.find(0, 7);
  ASSERT_EQ(shared.size(), 2u);
  EXPECT_EQ(shared[0], 300u);
  EXPECT_EQ(shared[1], 301u);
  const std::span<const std::uint32_t> own = index.find(1, 1123);
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0], 123u);
  EXPECT_TRUE(index.find(1, 7).empty()); // a sum is looked up at its own position only
}

} // namespace
} // namespace kyv::engine
