// Finding the descriptors a file can match without walking the whole table.
//
// A descriptor matches a file only when at least one of its non-zero sums equals the file's sum
// at the same position: an exact match needs every non-zero sum equal, a partial one three of
// four. So every descriptor is listed under some of its (position, sum) pairs, and a file's four
// sums name the few descriptors worth testing. Listing it under one non-zero sum is enough when
// it can only match exactly; a descriptor that can match partially (four non-zero sums, not
// exact-only) is listed under two, since at most one of its sums differs in a partial match. Of
// the sums that would do, the rarest are taken, so a value many descriptors share (the sum of a
// common padding block, say) does not make every file test them all. Descriptors that can match
// nothing (no non-zero sum, or an empty size range) are left out.
//
// Per position, an open-addressing table of sums in buckets of one cache line (16 sums), each
// slot with a reference beside it: a sum listed for one descriptor refers to it directly; a
// shared sum refers to a run of descriptor numbers, ascending, in one overflow array. A file's
// sum that is listed nowhere (the usual case) costs one cache line per position and no
// mispredicted branch, so the lookups of several files overlap in the processor. Nothing is
// allocated per descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/file_scanner.h"
#include "engine/signatures.h"

namespace kyv::engine {

enum class MatchKind { None, Exact, Partial };

// The verdict of one descriptor on one file: its size range holds the file's size (both ends
// inclusive, signed), and of its non-zero sums all equal the file's (exact) or exactly three of
// four do and it is not exact-only (partial).
inline MatchKind MatchDescriptor(const TVirusDescr& d, const TKYVFileInfo& info) {
  if (d.MinSize > info.FileSize || info.FileSize > d.MaxSize)
    return MatchKind::None;
  int nz = 0;
  int eq = 0;
  for (int j = 0; j < 4; ++j) {
    nz += d.Sums[j] != 0;
    eq += d.Sums[j] != 0 && d.Sums[j] == info.Sums[j];
  }
  if (nz > 0 && eq == nz)
    return MatchKind::Exact;
  if (eq >= 3 && eq != nz && !(d.Flags & flag::ExactOnly))
    return MatchKind::Partial;
  return MatchKind::None;
}

class SignatureIndex {
public:
  // Descriptor numbers and run offsets are 31-bit (the top bit of a reference marks a run);
  // with at most two listings per descriptor, 2^29 descriptors keep every offset below 2^31.
  // A table that large would take over 30 GiB before any index.
  static constexpr std::size_t kMaxDescriptors = std::size_t{1} << 29;

  // Indexes the table anew; throws kyv::Error for a table over kMaxDescriptors.
  void build(std::span<const TVirusDescr> table);
  void clear();

  // The length of the table at the last build.
  std::size_t tableSize() const { return tableSize_; }
  // Descriptor numbers listed under this sum at position j (0..3), ascending; empty for 0.
  std::span<const std::uint32_t> find(int j, std::uint32_t sum) const;
  // How many (position, sum) listings the index holds, and the bytes it takes.
  std::size_t listings() const { return listings_; }
  std::size_t memoryBytes() const;

  // The answer of a pass over the table in order, from the listed descriptors only: the
  // lowest-numbered exact match, else the highest-numbered partial one.
  struct Match {
    MatchKind Kind = MatchKind::None;
    std::uint32_t Number = 0;
  };
  // table must be the one indexed (same length; entries may have been narrowed in place).
  Match match(std::span<const TVirusDescr> table, const TKYVFileInfo& info) const;

private:
  static constexpr std::uint32_t kRun = 0x80000000u;
  static constexpr std::size_t kBucketSlots = 16;

  // Sums fill a bucket from its first slot on, and 0 marks an empty slot (zero sums are never
  // listed): a bucket whose last slot is empty ends every probe that reaches it.
  struct alignas(64) Bucket {
    std::array<std::uint32_t, kBucketSlots> Sums;
  };
  struct Table {
    std::vector<Bucket> Buckets;
    std::vector<std::uint32_t> Values; // per slot: a descriptor number, or kRun | run offset
    // The slot holding sum, or the empty slot where it would go.
    std::size_t probe(std::uint32_t sum) const;
  };

  // Calls visit(table j, sum, descriptor number) for every listing, in table order.
  template <class Visit>
  void forEachListing(std::span<const TVirusDescr> table, std::span<const std::uint8_t> chosen,
                      Visit visit);
  void giveRunsTheirPlace();

  // overflow_ holds each run as its length followed by its descriptor numbers.
  std::array<Table, 4> tables_;
  std::vector<std::uint32_t> overflow_;
  std::size_t tableSize_ = 0;
  std::size_t listings_ = 0;
};

} // namespace kyv::engine
