#include "codec/ppmd7.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/error.h"

namespace kyv::codec {
namespace {

constexpr unsigned kIndexes = 38;

constexpr std::uint16_t kInitBinEsc[8] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3,
                                          0x64A1, 0x5ABC, 0x6632, 0x6051};

// The unit at offset 0 is never handed out: 0 stays the null reference, and while free blocks
// are glued it serves as the head of their list. Blocks: Stamp u16 @0, NU u16 @2, next @4, prev @8.
constexpr std::uint32_t kHead = 0;
constexpr std::uint32_t kUnit = 12;

} // namespace

void Ppmd7Model::fail(const char* message) { throw Error(ErrorKind::DataError, message); }

void Ppmd7Model::Free::operator()(std::uint8_t* p) const { std::free(p); }

Ppmd7Model::Ppmd7Model() {
  unsigned i = 0, k = 1;
  for (; i < 4; ++i, k += 1)
    indx2Units_[i] = static_cast<std::uint8_t>(k);
  for (++k; i < 8; ++i, k += 2)
    indx2Units_[i] = static_cast<std::uint8_t>(k);
  for (++k; i < 12; ++i, k += 3)
    indx2Units_[i] = static_cast<std::uint8_t>(k);
  for (++k; i < kIndexes; ++i, k += 4)
    indx2Units_[i] = static_cast<std::uint8_t>(k);
  for (unsigned n = 0, idx = 0; n < 128; ++n) {
    idx += indx2Units_[idx] < n + 1;
    units2Indx_[n] = static_cast<std::uint8_t>(idx);
  }
}
Ppmd7Model::~Ppmd7Model() = default;

void Ppmd7Model::outOfRange() { fail("PPMd model reference outside its memory"); }

void Ppmd7Model::reset() {
  // The memory is kept for the next stream; only the model is forgotten.
  minContext_ = maxContext_ = foundState_ = 0;
}

void Ppmd7Model::swapStates(Ref a, Ref c) {
  std::uint8_t t[6];
  check(a, 6);
  check(c, 6);
  std::memcpy(t, &heap_[a], 6);
  std::memcpy(&heap_[a], &heap_[c], 6);
  std::memcpy(&heap_[c], t, 6);
}
void Ppmd7Model::copyState(Ref dst, Ref src) {
  check(dst, 6);
  check(src, 6);
  std::memmove(&heap_[dst], &heap_[src], 6);
}

// ---- Sub-allocator -------------------------------------------------------------------------

bool Ppmd7Model::startAllocator(std::uint32_t size) {
  if (allocatorSize_ == size && heap_)
    return true;
  heap_.reset();
  heapSize_ = allocatorSize_ = 0;
  minContext_ = maxContext_ = foundState_ = 0;
  // One spare unit past the end (the gluing walk may look at it) and the null unit in front.
  const std::uint64_t total = static_cast<std::uint64_t>(size) + 3 * kUnit;
  if (total > UINT32_MAX)
    return false;
  // Left uninitialised like the encoder's heap (clearing hundreds of MB per stream would cost
  // more than decoding); every access stays inside it. The head unit and the spare units past
  // the end are cleared, so the gluing walk never mistakes them for free blocks.
  heap_.reset(static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(total))));
  if (!heap_)
    throw std::bad_alloc();
  std::memset(heap_.get(), 0, kUnit);
  std::memset(heap_.get() + total - 2 * kUnit, 0, 2 * kUnit);
  heapSize_ = static_cast<std::uint32_t>(total);
  heapStart_ = kUnit;
  heapEnd_ = heapStart_ + size;
  allocatorSize_ = size;
  return true;
}

void Ppmd7Model::initAllocator() {
  freeList_.fill(0);
  text_ = heapStart_;
  const std::uint32_t size2 = kUnit * (allocatorSize_ / 8 / kUnit * 7);
  const std::uint32_t size1 = allocatorSize_ - size2;
  loUnit_ = unitsStart_ = heapStart_ + size1;
  fakeUnitsStart_ = heapStart_ + size1;
  hiUnit_ = loUnit_ + size2;
  glueCount_ = 0;
}

void Ppmd7Model::insertNode(Ref p, unsigned index) {
  s32(p, freeList_[index]);
  freeList_[index] = p;
}

Ppmd7Model::Ref Ppmd7Model::removeNode(unsigned index) {
  const Ref r = freeList_[index];
  freeList_[index] = g32(r);
  return r;
}

void Ppmd7Model::splitBlock(Ref p, unsigned oldIndex, unsigned newIndex) {
  unsigned diff = indx2Units_[oldIndex] - indx2Units_[newIndex];
  p += u2b(indx2Units_[newIndex]);
  unsigned i = units2Indx_[diff - 1];
  if (indx2Units_[i] != diff) {
    insertNode(p, --i);
    p += u2b(indx2Units_[i]);
    diff -= indx2Units_[i];
  }
  insertNode(p, units2Indx_[diff - 1]);
}

void Ppmd7Model::glueFreeBlocks() {
  auto nu = [this](Ref p) { return g16(p + 2); };
  auto next = [this](Ref p) { return g32(p + 4); };
  auto prev = [this](Ref p) { return g32(p + 8); };
  auto unlink = [&](Ref p) {
    s32(prev(p) + 4, next(p));
    s32(next(p) + 8, prev(p));
  };
  if (loUnit_ != hiUnit_)
    b(loUnit_) = 0;
  s32(kHead + 4, kHead);
  s32(kHead + 8, kHead);
  for (unsigned i = 0; i < kIndexes; ++i)
    while (freeList_[i] != 0) {
      const Ref p = removeNode(i);
      // Insert right after the head.
      const Ref n = next(kHead);
      s32(p + 8, kHead);
      s32(p + 4, n);
      s32(n + 8, p);
      s32(kHead + 4, p);
      s16(p, 0xFFFF);
      s16(p + 2, indx2Units_[i]);
    }
  for (Ref p = next(kHead); p != kHead; p = next(p)) {
    for (;;) {
      const Ref p1 = p + u2b(nu(p));
      if (g16(p1) != 0xFFFF || nu(p) + nu(p1) >= 0x10000)
        break;
      unlink(p1);
      s16(p + 2, nu(p) + nu(p1));
    }
  }
  for (Ref p = next(kHead); p != kHead; p = next(kHead)) {
    unlink(p);
    unsigned sz = nu(p);
    for (; sz > 128; sz -= 128, p += u2b(128))
      insertNode(p, kIndexes - 1);
    unsigned i = units2Indx_[sz - 1];
    if (indx2Units_[i] != sz) {
      const unsigned k = sz - indx2Units_[--i];
      insertNode(p + u2b(sz - k), k - 1);
    }
    insertNode(p, i);
  }
}

Ppmd7Model::Ref Ppmd7Model::allocUnitsRare(unsigned index) {
  if (glueCount_ == 0) {
    glueCount_ = 255;
    glueFreeBlocks();
    if (freeList_[index] != 0)
      return removeNode(index);
  }
  unsigned i = index;
  do {
    if (++i == kIndexes) {
      --glueCount_;
      const Ref bytes = u2b(indx2Units_[index]);
      if (fakeUnitsStart_ > text_ && fakeUnitsStart_ - text_ > bytes) {
        fakeUnitsStart_ -= bytes;
        unitsStart_ -= bytes;
        return unitsStart_;
      }
      return 0;
    }
  } while (freeList_[i] == 0);
  const Ref r = removeNode(i);
  splitBlock(r, i, index);
  return r;
}

Ppmd7Model::Ref Ppmd7Model::allocUnits(unsigned nu) {
  const unsigned index = units2Indx_[nu - 1];
  if (freeList_[index] != 0)
    return removeNode(index);
  const Ref r = loUnit_;
  const Ref bytes = u2b(indx2Units_[index]);
  if (hiUnit_ - loUnit_ >= bytes) {
    loUnit_ += bytes;
    return r;
  }
  return allocUnitsRare(index);
}

Ppmd7Model::Ref Ppmd7Model::allocContext() {
  if (hiUnit_ != loUnit_)
    return hiUnit_ -= kUnit;
  if (freeList_[0] != 0)
    return removeNode(0);
  return allocUnitsRare(0);
}

Ppmd7Model::Ref Ppmd7Model::expandUnits(Ref old, unsigned oldNu) {
  const unsigned i0 = units2Indx_[oldNu - 1];
  const unsigned i1 = units2Indx_[oldNu];
  if (i0 == i1)
    return old;
  const Ref p = allocUnits(oldNu + 1);
  if (p != 0) {
    check(p, u2b(oldNu));
    check(old, u2b(oldNu));
    std::memmove(&heap_[p], &heap_[old], u2b(oldNu));
    insertNode(old, i0);
  }
  return p;
}

Ppmd7Model::Ref Ppmd7Model::shrinkUnits(Ref old, unsigned oldNu, unsigned newNu) {
  const unsigned i0 = units2Indx_[oldNu - 1];
  const unsigned i1 = units2Indx_[newNu - 1];
  if (i0 == i1)
    return old;
  if (freeList_[i1] != 0) {
    const Ref p = removeNode(i1);
    check(p, u2b(newNu));
    check(old, u2b(newNu));
    std::memmove(&heap_[p], &heap_[old], u2b(newNu));
    insertNode(old, i0);
    return p;
  }
  splitBlock(old, i0, i1);
  return old;
}

void Ppmd7Model::freeUnits(Ref p, unsigned nu) { insertNode(p, units2Indx_[nu - 1]); }

// ---- Model ---------------------------------------------------------------------------------

void Ppmd7Model::restartModel() {
  charMask_.fill(0);
  initAllocator();
  initRl_ = -(maxOrder_ < 12 ? maxOrder_ : 12) - 1;
  minContext_ = maxContext_ = allocContext();
  setSuffix(minContext_, 0);
  orderFall_ = maxOrder_;
  setNumStats(minContext_, 256);
  setSummFreq(minContext_, 257);
  foundState_ = allocUnits(256 / 2);
  if (minContext_ == 0 || foundState_ == 0)
    fail("PPMd memory too small for the model");
  setStats(minContext_, foundState_);
  for (unsigned i = 0; i < 256; ++i) {
    const Ref s = foundState_ + 6 * i;
    sym(s) = static_cast<std::uint8_t>(i);
    freq(s) = 1;
    setSuccessor(s, 0);
  }
  for (unsigned i = 0; i < 128; ++i)
    for (unsigned k = 0; k < 8; ++k)
      for (unsigned m = 0; m < 64; m += 8)
        binSumm_[i][k + m] = static_cast<std::uint16_t>(kBinScale - kInitBinEsc[k] / (i + 2));
  for (unsigned i = 0; i < 25; ++i)
    for (auto& s : see2_[i])
      s.init(5 * i + 10);
  runLength_ = initRl_;
  prevSuccess_ = 0;
}

void Ppmd7Model::startModel(int maxOrder) {
  escCount_ = 1;
  maxOrder_ = maxOrder;
  restartModel();
  ns2BsIndx_[0] = 0;
  ns2BsIndx_[1] = 2;
  for (unsigned i = 2; i < 11; ++i)
    ns2BsIndx_[i] = 4;
  for (unsigned i = 11; i < 256; ++i)
    ns2BsIndx_[i] = 6;
  unsigned i = 0;
  for (; i < 3; ++i)
    ns2Indx_[i] = static_cast<std::uint8_t>(i);
  for (unsigned m = i, k = 1, step = 1; i < 256; ++i) {
    ns2Indx_[i] = static_cast<std::uint8_t>(m);
    if (--k == 0) {
      k = ++step;
      ++m;
    }
  }
  for (unsigned j = 0; j < 0x40; ++j)
    hb2Flag_[j] = 0;
  for (unsigned j = 0x40; j < 0x100; ++j)
    hb2Flag_[j] = 8;
  dummySee2_.shift = kPeriodBits;
  dummySee2_.summ = 0;
  dummySee2_.count = 64;
}

void Ppmd7Model::restart(int maxOrder, std::uint32_t memoryBytes) {
  if (maxOrder < 2 || maxOrder > static_cast<int>(kMaxOrder))
    fail("PPMd model order out of range");
  if (!startAllocator(memoryBytes))
    fail("PPMd model memory too large");
  startModel(maxOrder);
}

void Ppmd7Model::clearMask() {
  escCount_ = 1;
  charMask_.fill(0);
}

void Ppmd7Model::rescale(Ref ctx) {
  const unsigned oldNs = numStats(ctx);
  unsigned i = oldNs - 1;
  const Ref first = stats(ctx);
  for (Ref p = foundState_; p != first; p -= 6)
    swapStates(p, p - 6);
  freq(first) = static_cast<std::uint8_t>(freq(first) + 4);
  setSummFreq(ctx, summFreq(ctx) + 4);
  Ref p = first;
  int escFreq = static_cast<int>(summFreq(ctx)) - freq(p);
  const unsigned adder = orderFall_ != 0;
  freq(p) = static_cast<std::uint8_t>((freq(p) + adder) >> 1);
  unsigned sum = freq(p);
  do {
    p += 6;
    escFreq -= freq(p);
    freq(p) = static_cast<std::uint8_t>((freq(p) + adder) >> 1);
    sum += freq(p);
    if (freq(p) > freq(p - 6)) {
      std::uint8_t tmp[6];
      std::memcpy(tmp, &heap_[p], 6);
      Ref p1 = p;
      do {
        copyState(p1, p1 - 6);
        p1 -= 6;
      } while (p1 != first && tmp[1] > freq(p1 - 6));
      std::memcpy(&heap_[p1], tmp, 6);
    }
  } while (--i);
  setSummFreq(ctx, sum);
  if (freq(p) == 0) {
    do {
      ++i;
      p -= 6;
    } while (freq(p) == 0);
    escFreq += static_cast<int>(i);
    setNumStats(ctx, numStats(ctx) - i);
    if (numStats(ctx) == 1) {
      std::uint8_t tmp[6];
      std::memcpy(tmp, &heap_[first], 6);
      do {
        tmp[1] = static_cast<std::uint8_t>(tmp[1] - (tmp[1] >> 1));
        escFreq >>= 1;
      } while (escFreq > 1);
      freeUnits(first, (oldNs + 1) >> 1);
      foundState_ = oneState(ctx);
      check(foundState_, 6);
      std::memcpy(&heap_[foundState_], tmp, 6);
      return;
    }
  }
  escFreq -= escFreq >> 1;
  setSummFreq(ctx, summFreq(ctx) + static_cast<unsigned>(escFreq));
  const unsigned n0 = (oldNs + 1) >> 1, n1 = (numStats(ctx) + 1) >> 1;
  if (n0 != n1)
    setStats(ctx, shrinkUnits(first, n0, n1));
  foundState_ = stats(ctx);
}

Ppmd7Model::Ref Ppmd7Model::createSuccessors(bool skip, Ref p1) {
  Ref pc = minContext_;
  const Ref upBranch = successor(foundState_);
  Ref ps[kMaxOrder];
  unsigned n = 0;
  Ref p = 0;
  bool entry = false;
  if (!skip) {
    ps[n++] = foundState_;
    if (suffix(pc) == 0)
      goto noLoop;
  }
  if (p1 != 0) {
    p = p1;
    pc = suffix(pc);
    entry = true;
  }
  do {
    if (!entry) {
      pc = suffix(pc);
      if (numStats(pc) != 1) {
        p = stats(pc);
        const unsigned ns = numStats(pc);
        unsigned k = 0;
        while (sym(p) != sym(foundState_)) {
          if (++k >= ns)
            fail("PPMd symbol missing from its context");
          p += 6;
        }
      } else {
        p = oneState(pc);
      }
    }
    entry = false;
    if (successor(p) != upBranch) {
      pc = successor(p);
      break;
    }
    if (n >= kMaxOrder)
      return 0;
    ps[n++] = p;
  } while (suffix(pc) != 0);
noLoop:
  if (n == 0)
    return pc;
  std::uint8_t upSym = b(upBranch);
  const Ref upSucc = upBranch + 1;
  unsigned upFreq;
  if (numStats(pc) != 1) {
    if (pc <= text_)
      return 0;
    p = stats(pc);
    const unsigned ns = numStats(pc);
    unsigned k = 0;
    while (sym(p) != upSym) {
      if (++k >= ns)
        fail("PPMd symbol missing from its context");
      p += 6;
    }
    const unsigned cf = freq(p) - 1u;
    const unsigned s0 = summFreq(pc) - numStats(pc) - cf;
    upFreq = 1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((2 * cf + 3 * s0 - 1) / (2 * s0)));
  } else {
    upFreq = freq(oneState(pc));
  }
  do {
    const Ref c = allocContext();
    if (c == 0)
      return 0;
    setNumStats(c, 1);
    const Ref s = oneState(c);
    sym(s) = upSym;
    freq(s) = static_cast<std::uint8_t>(upFreq);
    setSuccessor(s, upSucc);
    setSuffix(c, pc);
    setSuccessor(ps[--n], c);
    pc = c;
  } while (n != 0);
  return pc;
}

void Ppmd7Model::updateModel() {
  std::uint8_t fsSym = sym(foundState_);
  const unsigned fsFreq = freq(foundState_);
  Ref fsSucc = successor(foundState_);
  Ref p = 0;
  Ref pc;
  if (fsFreq < kMaxFreq / 4 && (pc = suffix(minContext_)) != 0) {
    if (numStats(pc) != 1) {
      p = stats(pc);
      if (sym(p) != fsSym) {
        const unsigned ns = numStats(pc);
        unsigned k = 0;
        do {
          if (++k >= ns)
            fail("PPMd symbol missing from its context");
          p += 6;
        } while (sym(p) != fsSym);
        if (freq(p) >= freq(p - 6)) {
          swapStates(p, p - 6);
          p -= 6;
        }
      }
      if (freq(p) < kMaxFreq - 9) {
        freq(p) = static_cast<std::uint8_t>(freq(p) + 2);
        setSummFreq(pc, summFreq(pc) + 2);
      }
    } else {
      p = oneState(pc);
      freq(p) = static_cast<std::uint8_t>(freq(p) + (freq(p) < 32));
    }
  }
  if (orderFall_ == 0) {
    minContext_ = maxContext_ = createSuccessors(true, p);
    if (minContext_ == 0)
      goto restart;
    setSuccessor(foundState_, minContext_);
    return;
  }
  {
    b(text_) = fsSym;
    ++text_;
    Ref succ = text_;
    if (text_ >= fakeUnitsStart_)
      goto restart;
    if (fsSucc != 0) {
      if (fsSucc <= text_) {
        fsSucc = createSuccessors(false, p);
        if (fsSucc == 0)
          goto restart;
      }
      if (--orderFall_ == 0) {
        succ = fsSucc;
        text_ -= (maxContext_ != minContext_);
      }
    } else {
      setSuccessor(foundState_, succ);
      fsSucc = minContext_;
    }
    const unsigned ns = numStats(minContext_);
    const unsigned s0 = summFreq(minContext_) - ns - (fsFreq - 1);
    for (pc = maxContext_; pc != minContext_; pc = suffix(pc)) {
      unsigned ns1 = numStats(pc);
      if (ns1 != 1) {
        if ((ns1 & 1) == 0) {
          const Ref st = expandUnits(stats(pc), ns1 >> 1);
          if (st == 0)
            goto restart;
          setStats(pc, st);
        }
        setSummFreq(pc, summFreq(pc) + (2 * ns1 < ns) +
                            2 * ((4 * ns1 <= ns) & (summFreq(pc) <= 8 * ns1)));
      } else {
        const Ref st = allocUnits(1);
        if (st == 0)
          goto restart;
        copyState(st, oneState(pc));
        setStats(pc, st);
        if (freq(st) < kMaxFreq / 4 - 1)
          freq(st) = static_cast<std::uint8_t>(freq(st) * 2);
        else
          freq(st) = kMaxFreq - 4;
        setSummFreq(pc, freq(st) + initEsc_ + (ns > 3));
      }
      unsigned cf = 2 * fsFreq * (summFreq(pc) + 6);
      const unsigned sf = s0 + summFreq(pc);
      if (cf < 6 * sf) {
        cf = 1 + (cf > sf) + (cf >= 4 * sf);
        setSummFreq(pc, summFreq(pc) + 3);
      } else {
        cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
        setSummFreq(pc, summFreq(pc) + cf);
      }
      const Ref np = stats(pc) + 6 * ns1;
      setSuccessor(np, succ);
      sym(np) = fsSym;
      freq(np) = static_cast<std::uint8_t>(cf);
      setNumStats(pc, ++ns1);
    }
    maxContext_ = minContext_ = fsSucc;
    return;
  }
restart:
  restartModel();
  escCount_ = 0;
}

void Ppmd7Model::update1(Ref ctx, Ref p) {
  foundState_ = p;
  freq(p) = static_cast<std::uint8_t>(freq(p) + 4);
  setSummFreq(ctx, summFreq(ctx) + 4);
  if (freq(p) > freq(p - 6)) {
    swapStates(p, p - 6);
    foundState_ = p - 6;
    if (freq(foundState_) > kMaxFreq)
      rescale(ctx);
  }
}

void Ppmd7Model::update2(Ref ctx, Ref p) {
  foundState_ = p;
  freq(p) = static_cast<std::uint8_t>(freq(p) + 4);
  setSummFreq(ctx, summFreq(ctx) + 4);
  if (freq(p) > kMaxFreq)
    rescale(ctx);
  escCount_ = (escCount_ + 1) & 0xFF; // a byte in the model: wrapping to 0 clears the masks
  runLength_ = initRl_;
}

} // namespace kyv::codec
