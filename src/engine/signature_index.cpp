#include "engine/signature_index.h"

#include <bit>
#include <string>

#include "base/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kyv::engine {

namespace {

// Sums of real samples are far from uniform (a 200-byte window sums to at most about 5 million),
// so they are mixed before they pick a slot: the finaliser of MurmurHash3.
std::uint32_t mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return x;
}

bool canMatch(const TVirusDescr& d) {
  return d.MinSize <= d.MaxSize && (d.Sums[0] | d.Sums[1] | d.Sums[2] | d.Sums[3]) != 0;
}

// Two listings when three of four sums are enough for a match, one when all of them are needed.
int listingsNeeded(const TVirusDescr& d) {
  const bool allFour = d.Sums[0] != 0 && d.Sums[1] != 0 && d.Sums[2] != 0 && d.Sums[3] != 0;
  return allFour && !(d.Flags & flag::ExactOnly) ? 2 : 1;
}

// How often each sum occurs at each position, counted coarsely in at most 2^16 buckets per
// position (small enough to stay in cache while the table is walked): a sum shared by many
// descriptors shows as a large count.
class Rarity {
public:
  explicit Rarity(std::size_t n) {
    while (bits_ < 16 && (std::size_t{1} << bits_) < n)
      ++bits_;
    counts_.assign(std::size_t{4} << bits_, 0);
  }
  void add(int j, std::uint32_t sum) { ++counts_[bucket(j, sum)]; }
  std::uint32_t count(int j, std::uint32_t sum) const { return counts_[bucket(j, sum)]; }

private:
  std::size_t bucket(int j, std::uint32_t sum) const {
    return (static_cast<std::size_t>(j) << bits_) | (mix(sum) >> (32 - bits_));
  }
  int bits_ = 4;
  std::vector<std::uint32_t> counts_;
};

// The positions a descriptor is listed under, as a bit mask: the rarest of its non-zero sums.
std::uint8_t choosePositions(const TVirusDescr& d, const Rarity& rarity) {
  std::uint8_t chosen = 0;
  for (int n = listingsNeeded(d); n > 0; --n) {
    int best = -1;
    for (int j = 0; j < 4; ++j) {
      if (d.Sums[j] == 0 || (chosen & (1u << j)))
        continue;
      if (best < 0 || rarity.count(j, d.Sums[j]) < rarity.count(best, d.Sums[best]))
        best = j;
    }
    chosen |= static_cast<std::uint8_t>(1u << best);
  }
  return chosen;
}

// Bit i set when slot i of the bucket holds sum.
unsigned matchingSlots(const std::array<std::uint32_t, 16>& sums, std::uint32_t sum) {
#if defined(__SSE2__)
  // Four compares and one mask instead of sixteen: short enough that the lookups of the next
  // files are already under way while this one waits for memory.
  const __m128i key = _mm_set1_epi32(static_cast<int>(sum));
  const auto* p = reinterpret_cast<const __m128i*>(sums.data());
  const __m128i low = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(p), key),
                                      _mm_cmpeq_epi32(_mm_load_si128(p + 1), key));
  const __m128i high = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_load_si128(p + 2), key),
                                       _mm_cmpeq_epi32(_mm_load_si128(p + 3), key));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
#else
  unsigned hits = 0;
  for (std::size_t i = 0; i < sums.size(); ++i)
    hits |= static_cast<unsigned>(sums[i] == sum) << i;
  return hits;
#endif
}

std::size_t homeBucket(std::uint32_t sum, std::size_t buckets) {
  return static_cast<std::size_t>((std::uint64_t{mix(sum)} * buckets) >> 32);
}

} // namespace

// A table always has more slots than sums (at most 9 in 16 are used), so the walk ends.
std::size_t SignatureIndex::Table::probe(std::uint32_t sum) const {
  std::size_t b = homeBucket(sum, Buckets.size());
  for (;;) {
    // Sums fill a bucket from the front, so the first slot that holds sum or is empty is it.
    const auto& sums = Buckets[b].Sums;
    const unsigned candidates = matchingSlots(sums, sum) | matchingSlots(sums, 0);
    if (candidates != 0)
      return b * kBucketSlots + static_cast<std::size_t>(std::countr_zero(candidates));
    if (++b == Buckets.size())
      b = 0;
  }
}

void SignatureIndex::clear() {
  for (Table& t : tables_)
    t = Table{};
  overflow_ = {};
  tableSize_ = 0;
  listings_ = 0;
}

// The buckets are far larger than the cache, so the bucket of a listing a few descriptors
// ahead is asked for early; otherwise the pass waits for memory once per listing.
template <class Visit>
void SignatureIndex::forEachListing(std::span<const TVirusDescr> table,
                                    std::span<const std::uint8_t> chosen, Visit visit) {
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < table.size(); ++k) {
    if (k + kAhead < table.size())
      for (int j = 0; j < 4; ++j)
        if ((chosen[k + kAhead] >> j) & 1) {
          const Table& t = tables_[j];
          __builtin_prefetch(&t.Buckets[homeBucket(table[k + kAhead].Sums[j], t.Buckets.size())]);
        }
    for (int j = 0; j < 4; ++j)
      if ((chosen[k] >> j) & 1)
        visit(tables_[j], table[k].Sums[j], static_cast<std::uint32_t>(k));
  }
}

// Turns the count in the slot of every sum listed more than once into the place of its run.
void SignatureIndex::giveRunsTheirPlace() {
  std::size_t runWords = 0;
  for (const Table& t : tables_)
    for (const std::uint32_t count : t.Values)
      if (count > 1)
        runWords += 1 + count;
  overflow_.assign(runWords, 0);
  std::size_t next = 0;
  for (Table& t : tables_)
    for (std::uint32_t& value : t.Values)
      if (value > 1) {
        const std::uint32_t length = value;
        value = kRun | static_cast<std::uint32_t>(next);
        next += 1 + length;
      }
}

void SignatureIndex::build(std::span<const TVirusDescr> table) {
  clear();
  if (table.size() > kMaxDescriptors)
    throw kyv::Error(ErrorKind::Limit,
                     "too many signature descriptors: " + std::to_string(table.size()));
  Rarity rarity(table.size());
  for (const TVirusDescr& d : table)
    if (canMatch(d))
      for (int j = 0; j < 4; ++j)
        if (d.Sums[j] != 0)
          rarity.add(j, d.Sums[j]);

  std::vector<std::uint8_t> chosen(table.size(), 0);
  std::array<std::uint64_t, 4> perPosition{};
  for (std::size_t k = 0; k < table.size(); ++k) {
    if (!canMatch(table[k]))
      continue;
    chosen[k] = choosePositions(table[k], rarity);
    for (int j = 0; j < 4; ++j)
      perPosition[j] += (chosen[k] >> j) & 1;
  }
  for (int j = 0; j < 4; ++j) {
    listings_ += perPosition[j];
    if (perPosition[j] > 0) {
      const auto buckets = static_cast<std::size_t>(perPosition[j] / 9 + 1);
      tables_[j].Buckets.assign(buckets, Bucket{});
      tables_[j].Values.assign(buckets * kBucketSlots, 0);
    }
  }

  // First count the descriptors under each sum, then give every shared sum its run, then
  // list the descriptors in table order, so that every run is ascending.
  forEachListing(table, chosen, [](Table& t, std::uint32_t sum, std::uint32_t) {
    const std::size_t slot = t.probe(sum);
    t.Buckets[slot / kBucketSlots].Sums[slot % kBucketSlots] = sum;
    ++t.Values[slot];
  });
  giveRunsTheirPlace();
  forEachListing(table, chosen, [this](Table& t, std::uint32_t sum, std::uint32_t number) {
    std::uint32_t& value = t.Values[t.probe(sum)];
    if (value & kRun) {
      std::uint32_t* run = &overflow_[value & ~kRun];
      run[1 + run[0]++] = number;
    } else {
      value = number;
    }
  });
  tableSize_ = table.size();
}

std::span<const std::uint32_t> SignatureIndex::find(int j, std::uint32_t sum) const {
  const Table& t = tables_[j];
  if (sum == 0 || t.Buckets.empty())
    return {};
  // Compares a whole bucket at once; the branches taken for a sum listed nowhere are the same
  // every time, so they are predicted.
  std::size_t b = homeBucket(sum, t.Buckets.size());
  for (;;) {
    const auto& sums = t.Buckets[b].Sums;
    const unsigned hits = matchingSlots(sums, sum);
    if (hits != 0) {
      const std::uint32_t& value = t.Values[b * kBucketSlots + std::countr_zero(hits)];
      if (value & kRun) {
        const std::uint32_t* run = &overflow_[value & ~kRun];
        return {run + 1, run[0]};
      }
      return {&value, 1};
    }
    if (sums[kBucketSlots - 1] == 0)
      return {};
    if (++b == t.Buckets.size())
      b = 0;
  }
}

std::size_t SignatureIndex::memoryBytes() const {
  std::size_t bytes = overflow_.capacity() * sizeof(std::uint32_t);
  for (const Table& t : tables_)
    bytes += t.Buckets.capacity() * sizeof(Bucket) + t.Values.capacity() * sizeof(std::uint32_t);
  return bytes;
}

SignatureIndex::Match SignatureIndex::match(std::span<const TVirusDescr> table,
                                            const TKYVFileInfo& info) const {
  bool exact = false;
  std::uint32_t exactNumber = 0;
  bool partial = false;
  std::uint32_t partialNumber = 0;
  // First the home bucket of each of the file's sums, all four read before anything depends
  // on them, so that their waits for memory overlap. A sum absent from its home bucket, which
  // still has room, is listed nowhere: the usual case, decided without a branch on the data.
  std::array<bool, 4> listed{};
  for (int j = 0; j < 4; ++j) {
    const Table& t = tables_[j];
    const std::uint32_t sum = info.Sums[j];
    if (sum == 0 || t.Buckets.empty())
      continue;
    const Bucket& home = t.Buckets[homeBucket(sum, t.Buckets.size())];
    listed[j] = (matchingSlots(home.Sums, sum) | home.Sums[kBucketSlots - 1]) != 0;
  }
  for (int j = 0; j < 4; ++j) {
    if (!listed[j])
      continue;
    for (const std::uint32_t k : find(j, info.Sums[j])) {
      if (exact && k >= exactNumber)
        break; // runs ascend: nothing later in this one can come first
      const MatchKind kind = MatchDescriptor(table[k], info);
      if (kind == MatchKind::Exact) {
        exact = true;
        exactNumber = k;
        break;
      }
      if (kind == MatchKind::Partial && (!partial || k > partialNumber)) {
        partial = true;
        partialNumber = k;
      }
    }
  }
  if (exact)
    return {MatchKind::Exact, exactNumber};
  if (partial)
    return {MatchKind::Partial, partialNumber};
  return {};
}

} // namespace kyv::engine
