// PPMd variant H as the RAR 2.9 method uses it: an order-N context model over a private heap of
// 12-byte units, driven by a carry-less range decoder that reads bytes from the LZ bit stream.
// The model lives in a heap of offsets (0 is null), so every access is bounds-checked and the
// memory accounting, which decides when the model restarts, matches the encoder's unit for unit.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "unrar/bit_reader.h"

namespace kyv::unrar {

class Ppmd7Decoder {
public:
  Ppmd7Decoder();
  ~Ppmd7Decoder();
  // Forgets the model (a new non-solid stream).
  void reset();
  // Reads a PPMd block header at `in` (byte-aligned) and starts the range decoder; `escape`
  // is the stream's escape symbol, updated when the header names a new one. Throws on error.
  void init(BitReader& in, int& escape);
  // The next byte, or -1 when the data is damaged.
  int decodeChar(BitReader& in);

private:
  struct See2 {
    std::uint16_t summ;
    std::uint8_t shift;
    std::uint8_t count;
    void init(unsigned v) { shift = 3; summ = static_cast<std::uint16_t>(v << 3); count = 4; }
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
  std::uint8_t& b(Ref p) { check(p, 1); return heap_[p]; }
  // The heap is private to the model, so its words are kept in the host's byte order.
  std::uint16_t g16(Ref p) { check(p, 2); std::uint16_t v; std::memcpy(&v, &heap_[p], 2); return v; }
  void s16(Ref p, unsigned v) { check(p, 2); const auto w = static_cast<std::uint16_t>(v); std::memcpy(&heap_[p], &w, 2); }
  Ref g32(Ref p) { check(p, 4); Ref v; std::memcpy(&v, &heap_[p], 4); return v; }
  void s32(Ref p, Ref v) { check(p, 4); std::memcpy(&heap_[p], &v, 4); }
  void check(Ref p, Ref n) const {
    if (p > heapSize_ || n > heapSize_ - p)
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
  bool startAllocator(std::uint32_t megabytes);
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
  bool decodeSymbol1(Ref ctx);
  void decodeBinSymbol(Ref ctx);
  bool decodeSymbol2(Ref ctx);
  void update1(Ref ctx, Ref p);
  void update2(Ref ctx, Ref p);

  // Range decoder.
  void rcInit(BitReader& in);
  bool rcCurrentCount(unsigned& out);
  unsigned rcShiftCount(unsigned shift);
  void rcDecode();
  void rcNormalize(BitReader& in);

  struct Free {
    void operator()(std::uint8_t* p) const;
  };
  std::unique_ptr<std::uint8_t[], Free> heap_;
  std::uint32_t heapSize_ = 0; // bytes allocated, padding included
  std::uint32_t allocatorSize_ = 0;
  Ref heapStart_ = 0, heapEnd_ = 0, loUnit_ = 0, hiUnit_ = 0, text_ = 0, unitsStart_ = 0, fakeUnitsStart_ = 0;
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

  std::uint32_t low_ = 0, code_ = 0, range_ = 0;
  std::uint32_t lowCount_ = 0, highCount_ = 0, scale_ = 0;
};

} // namespace kyv::unrar
