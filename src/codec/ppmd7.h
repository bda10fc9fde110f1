// PPMd variant H: an order-N context model over a private heap of 12-byte units, as the RAR 2.9
// method and the 7z PPMd coder use it. The two formats drive the same model with different range
// decoders, so the decoder is a template parameter of the few functions that consult it:
//   bool threshold(unsigned total, unsigned& count)  the count within [0, total), false on damage
//   void decode(unsigned start, unsigned size)       narrow the range to [start, start + size)
//   bool decodeBit(unsigned size0)                   a binary step over 1 << 14, true for the first
//   void normalize()                                 refill after a decode
// The model lives in a heap of offsets (0 is null), so every access is bounds-checked and the
// memory accounting, which decides when the model restarts, matches the encoder's unit for unit.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kyv::codec {

class Ppmd7Model {
public:
  static constexpr unsigned kMaxOrder = 64;

  Ppmd7Model();
  ~Ppmd7Model();
  Ppmd7Model(const Ppmd7Model&) = delete;
  Ppmd7Model& operator=(const Ppmd7Model&) = delete;

  // Forgets the model (a new non-solid stream); the memory is kept.
  void reset();
  // Starts a fresh model of the given order (2-64) in `memoryBytes` of heap, reusing the heap
  // when its size is unchanged. Throws kyv::Error on a bad order or when the heap cannot exist.
  void restart(int maxOrder, std::uint32_t memoryBytes);
  bool started() const { return minContext_ != 0; }
  // The next byte, or -1 when the data is damaged. May throw kyv::Error on damage too.
  template <class Rc> int decodeChar(Rc& rc);

private:
  static constexpr unsigned kPeriodBits = 7;
  static constexpr unsigned kTotBits = 14;
  static constexpr unsigned kInterval = 1u << 7;
  static constexpr unsigned kBinScale = 1u << kTotBits;
  static constexpr unsigned kMaxFreq = 124;
  static constexpr std::uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};
  [[noreturn]] static void fail(const char* message);

  struct See2 {
    std::uint16_t summ;
    std::uint8_t shift;
    std::uint8_t count;
    void init(unsigned v) {
      shift = 3;
      summ = static_cast<std::uint16_t>(v << 3);
      count = 4;
    }
    unsigned mean() {
      unsigned r = summ >> shift;
      summ = static_cast<std::uint16_t>(summ - r);
      return r + (r == 0);
    }
    void update() {
      if (shift < 7 && --count == 0) {
        summ = static_cast<std::uint16_t>(summ * 2);
        count = static_cast<std::uint8_t>(3 << shift++);
      }
    }
  };
  using Ref = std::uint32_t;

  // Heap access.
  std::uint8_t& b(Ref p) {
    check(p, 1);
    return heap_[p];
  }
  // The heap is private to the model, so its words are kept in the host's byte order.
  std::uint16_t g16(Ref p) {
    check(p, 2);
    std::uint16_t v;
    std::memcpy(&v, &heap_[p], 2);
    return v;
  }
  void s16(Ref p, unsigned v) {
    check(p, 2);
    const auto w = static_cast<std::uint16_t>(v);
    std::memcpy(&heap_[p], &w, 2);
  }
  Ref g32(Ref p) {
    check(p, 4);
    Ref v;
    std::memcpy(&v, &heap_[p], 4);
    return v;
  }
  void s32(Ref p, Ref v) {
    check(p, 4);
    std::memcpy(&heap_[p], &v, 4);
  }
  // One comparison in 64 bits, where p + n cannot wrap.
  void check(Ref p, Ref n) const {
    if (std::uint64_t{p} + n > heapSize_) [[unlikely]]
      outOfRange();
  }
  [[noreturn]] static void outOfRange();

  // Context: NumStats u16 @0, SummFreq u16 @2, Stats ref @4, Suffix ref @8. With one symbol the
  // state itself sits at @2. State: Symbol u8 @0, Freq u8 @1, Successor ref @2 (6 bytes).
  unsigned numStats(Ref c) { return g16(c); }
  void setNumStats(Ref c, unsigned v) { s16(c, v); }
  unsigned summFreq(Ref c) { return g16(c + 2); }
  void setSummFreq(Ref c, unsigned v) { s16(c + 2, v); }
  Ref stats(Ref c) { return g32(c + 4); }
  void setStats(Ref c, Ref v) { s32(c + 4, v); }
  Ref suffix(Ref c) { return g32(c + 8); }
  void setSuffix(Ref c, Ref v) { s32(c + 8, v); }
  static Ref oneState(Ref c) { return c + 2; }
  std::uint8_t& sym(Ref s) { return b(s); }
  std::uint8_t& freq(Ref s) { return b(s + 1); }
  Ref successor(Ref s) { return g32(s + 2); }
  void setSuccessor(Ref s, Ref v) { s32(s + 2, v); }
  void swapStates(Ref a, Ref c);
  void copyState(Ref dst, Ref src);

  // Sub-allocator.
  bool startAllocator(std::uint32_t size);
  void initAllocator();
  void insertNode(Ref p, unsigned index);
  Ref removeNode(unsigned index);
  void splitBlock(Ref p, unsigned oldIndex, unsigned newIndex);
  void glueFreeBlocks();
  Ref allocUnitsRare(unsigned index);
  Ref allocUnits(unsigned nu);
  Ref allocContext();
  Ref expandUnits(Ref old, unsigned oldNu);
  Ref shrinkUnits(Ref old, unsigned oldNu, unsigned newNu);
  void freeUnits(Ref p, unsigned nu);
  static Ref u2b(unsigned nu) { return 12 * nu; }

  // Model.
  void restartModel();
  void startModel(int maxOrder);
  void updateModel();
  Ref createSuccessors(bool skip, Ref p1);
  void rescale(Ref ctx);
  void clearMask();
  template <class Rc> bool decodeSymbol1(Rc& rc, Ref ctx);
  template <class Rc> void decodeBinSymbol(Rc& rc, Ref ctx);
  template <class Rc> bool decodeSymbol2(Rc& rc, Ref ctx);
  void update1(Ref ctx, Ref p);
  void update2(Ref ctx, Ref p);

  struct Free {
    void operator()(std::uint8_t* p) const;
  };
  std::unique_ptr<std::uint8_t[], Free> heap_;
  std::uint32_t heapSize_ = 0; // bytes allocated, padding included
  std::uint32_t allocatorSize_ = 0;
  Ref heapStart_ = 0, heapEnd_ = 0, loUnit_ = 0, hiUnit_ = 0, text_ = 0, unitsStart_ = 0,
      fakeUnitsStart_ = 0;
  std::array<Ref, 38> freeList_{};
  std::array<std::uint8_t, 38> indx2Units_{};
  std::array<std::uint8_t, 128> units2Indx_{};
  unsigned glueCount_ = 0;

  Ref minContext_ = 0, maxContext_ = 0, foundState_ = 0;
  unsigned numMasked_ = 0, initEsc_ = 0, prevSuccess_ = 0, hiBitsFlag_ = 0;
  int orderFall_ = 0, maxOrder_ = 0, runLength_ = 0, initRl_ = 0;
  unsigned escCount_ = 0; // kept within a byte
  std::array<std::uint8_t, 256> charMask_{};
  std::array<std::uint8_t, 256> ns2Indx_{}, ns2BsIndx_{}, hb2Flag_{};
  std::array<std::array<See2, 16>, 25> see2_{};
  See2 dummySee2_{};
  std::array<std::array<std::uint16_t, 64>, 128> binSumm_{};
};

// ---- Symbol decoding ----------------------------------------------------------------------

template <class Rc> bool Ppmd7Model::decodeSymbol1(Rc& rc, Ref ctx) {
  const unsigned scale = summFreq(ctx);
  Ref p = stats(ctx);
  unsigned count;
  if (!rc.threshold(scale, count) || count >= scale)
    return false;
  unsigned hi = freq(p);
  if (count < hi) {
    rc.decode(0, hi);
    prevSuccess_ = 2 * hi > scale;
    runLength_ += static_cast<int>(prevSuccess_);
    foundState_ = p;
    hi += 4;
    freq(p) = static_cast<std::uint8_t>(hi);
    setSummFreq(ctx, summFreq(ctx) + 4);
    if (hi > kMaxFreq)
      rescale(ctx);
    return true;
  }
  if (foundState_ == 0)
    return false;
  prevSuccess_ = 0;
  const unsigned ns = numStats(ctx);
  if (ns < 2)
    return false;
  check(p, 6 * ns); // the scan below reads the state array directly
  const std::uint8_t* st = &heap_[p];
  unsigned i = ns - 1;
  for (;;) {
    p += 6;
    st += 6;
    hi += st[1];
    if (hi > count)
      break;
    if (--i == 0) {
      hiBitsFlag_ = hb2Flag_[sym(foundState_)];
      rc.decode(hi, scale - hi);
      // Every state was passed: all are masked, read from the array checked above.
      const auto esc = static_cast<std::uint8_t>(escCount_);
      const std::uint8_t* const all = &heap_[stats(ctx)];
      for (unsigned k = 0; k < ns; ++k)
        charMask_[all[6 * k]] = esc;
      numMasked_ = ns;
      foundState_ = 0;
      return true;
    }
  }
  rc.decode(hi - st[1], st[1]);
  update1(ctx, p);
  return true;
}

template <class Rc> void Ppmd7Model::decodeBinSymbol(Rc& rc, Ref ctx) {
  const Ref rs = oneState(ctx);
  hiBitsFlag_ = hb2Flag_[sym(foundState_)];
  const unsigned sfx = suffix(ctx);
  const unsigned f = freq(rs);
  if (f == 0 || f > 128)
    fail("PPMd binary context frequency out of range");
  std::uint16_t& bs =
      binSumm_[f - 1][(prevSuccess_ + ns2BsIndx_[(numStats(sfx) - 1) & 0xFF] + hiBitsFlag_ +
                       2 * hb2Flag_[sym(rs)] + ((runLength_ >> 26) & 0x20)) &
                      63];
  if (rc.decodeBit(bs)) {
    foundState_ = rs;
    freq(rs) = static_cast<std::uint8_t>(f + (f < 128));
    bs = static_cast<std::uint16_t>(bs + kInterval - ((bs + 32) >> kPeriodBits));
    prevSuccess_ = 1;
    ++runLength_;
  } else {
    bs = static_cast<std::uint16_t>(bs - ((bs + 32) >> kPeriodBits));
    initEsc_ = kExpEscape[bs >> 10];
    numMasked_ = 1;
    charMask_[sym(rs)] = static_cast<std::uint8_t>(escCount_);
    prevSuccess_ = 0;
    foundState_ = 0;
  }
}

template <class Rc> bool Ppmd7Model::decodeSymbol2(Rc& rc, Ref ctx) {
  const unsigned ns = numStats(ctx);
  if (ns <= numMasked_ || ns > 256)
    return false;
  unsigned i = ns - numMasked_;
  See2* see;
  unsigned scale;
  if (ns != 256) {
    const unsigned diff = i;
    const int moreInSuffix =
        static_cast<int>(diff) < static_cast<int>(numStats(suffix(ctx))) - static_cast<int>(ns);
    see = &see2_[ns2Indx_[(diff - 1) & 0xFF] % 25][(moreInSuffix + 2 * (summFreq(ctx) < 11 * ns) +
                                                    4 * (numMasked_ > diff) + hiBitsFlag_) &
                                                   15];
    scale = see->mean();
  } else {
    see = &dummySee2_;
    scale = 1;
  }
  // The unmasked states, by their offset in the array, and their frequencies; the whole state
  // array is checked once, so the scan and the steps below read it directly.
  std::uint16_t at[256];
  std::uint8_t fr[256];
  unsigned n = 0;
  const Ref first = stats(ctx);
  check(first, 6 * ns);
  const std::uint8_t* st = &heap_[first];
  const std::uint8_t esc = static_cast<std::uint8_t>(escCount_);
  unsigned hi = 0;
  for (unsigned k = 0; i > 0; --i, ++k) {
    while (k < ns && charMask_[st[6 * k]] == esc)
      ++k;
    if (k >= ns)
      return false;
    const std::uint8_t f = st[6 * k + 1];
    hi += f;
    at[n] = static_cast<std::uint16_t>(6 * k);
    fr[n++] = f;
  }
  scale += hi;
  unsigned count;
  if (!rc.threshold(scale, count) || count >= scale)
    return false;
  if (count < hi) {
    unsigned k = 0;
    hi = fr[0];
    while (hi <= count) {
      if (++k >= n)
        return false;
      hi += fr[k];
    }
    rc.decode(hi - fr[k], fr[k]);
    see->update();
    update2(ctx, first + at[k]);
  } else {
    rc.decode(hi, scale - hi);
    for (unsigned k = 0; k < n; ++k)
      charMask_[st[at[k]]] = esc;
    see->summ = static_cast<std::uint16_t>(see->summ + scale);
    numMasked_ = ns;
  }
  return true;
}

template <class Rc> int Ppmd7Model::decodeChar(Rc& rc) {
  if (minContext_ <= text_ || minContext_ > heapEnd_)
    return -1;
  if (numStats(minContext_) != 1) {
    const Ref st = stats(minContext_);
    if (st <= text_ || st > heapEnd_)
      return -1;
    if (!decodeSymbol1(rc, minContext_))
      return -1;
  } else {
    decodeBinSymbol(rc, minContext_);
  }
  while (foundState_ == 0) {
    rc.normalize();
    do {
      ++orderFall_;
      minContext_ = suffix(minContext_);
      if (minContext_ <= text_ || minContext_ > heapEnd_)
        return -1;
    } while (numStats(minContext_) == numMasked_);
    if (!decodeSymbol2(rc, minContext_))
      return -1;
  }
  const int symbol = sym(foundState_);
  const Ref succ = successor(foundState_);
  if (orderFall_ == 0 && succ > text_) {
    minContext_ = maxContext_ = succ;
  } else {
    updateModel();
    if (escCount_ == 0)
      clearMask();
  }
  rc.normalize();
  return symbol;
}

} // namespace kyv::codec
