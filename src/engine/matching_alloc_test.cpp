// Matching allocates nothing unless a descriptor matches: every allocation in this test
// binary is counted by replacing the global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/antivirus.h"
#include "engine/database.h"

namespace {
std::atomic<std::size_t> gAllocations{0};
} // namespace

// The replacements pair malloc with free; GCC cannot see that they are the pair in use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kyv::engine {
namespace {

TEST(CheckFileInfo, AllocatesNothingWithoutAMatch) {
  // Loaded the way the kernel loads them.
  std::vector<std::byte> body;
  std::string previous;
  for (int k = 0; k < 1000; ++k) {
    TVirusDescr d;
    d.Name =
        "A rather long descriptor name, well past any small-string buffer " + std::to_string(k);
    d.MinSize = k;
    d.MaxSize = 100000;
    d.Sums = {1, 2, static_cast<std::uint32_t>(k + 1), 4};
    WriteDescriptor(body, d, previous);
  }
  DatabaseFields fields;
  fields.RecordCount = 1000;
  TAntivirus av("base");
  ASSERT_TRUE(av.LoadSignatureImage(EncodeDatabaseImage(fields, body), "main.kyv", true));
  const TKYVFileInfo clean{5000, false, false, {1, 2, 0, 9}}; // two of four: no effect
  TVirusDescr found;
  av.FoundName = std::string(100, 'x'); // a previous finding's text is emptied, not freed
  const std::size_t before = gAllocations;
  EXPECT_EQ(av.CheckFileInfo(clean, found), 0);
  EXPECT_EQ(av.CheckFileInfo(TKYVFileInfo{}, found), 0);
  EXPECT_EQ(gAllocations - before, 0u);
  // A match builds its name, and only then.
  const TKYVFileInfo infected{5000, false, false, {1, 2, 3, 4}};
  EXPECT_EQ(av.CheckFileInfo(infected, found), 1);
  EXPECT_EQ(av.FoundName, av.Descriptors[2].Name);
}

} // namespace
} // namespace kyv::engine
