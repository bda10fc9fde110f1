#include "archive/sevenzip_folder.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "archive/ab_exception.h"
#include "base/endian.h"
#include "codec/bcj2.h"
#include "codec/branch_filters.h"
#include "codec/filter_stages.h"
#include "codec/bzip2.h"
#include "codec/inflate.h"
#include "codec/lzma.h"
#include "codec/ppmd7z.h"

namespace kyv::archive::sevenzip {

namespace {

// A coder's output that another coder pulls from but that can only be produced by pushing (a
// decoder with no pull form) is decoded into memory first, up to this much. BCJ2's CALL and
// jump streams, the only such outputs 7z archivers write, are a few percent of the code.
constexpr std::uint64_t kMaxBufferedOutput = std::uint64_t{64} << 20;
constexpr std::size_t kChunk = std::size_t{1} << 16;

[[noreturn]] void damaged(const std::string& what) {
  throw EAbException("7z: " + what, AbCode::Unknown, ErrorKind::DataError);
}

std::uint64_t idValue(const Coder& c) {
  if (c.id.size() > 8)
    return ~std::uint64_t{0};
  std::uint64_t v = 0;
  for (const std::uint8_t b : c.id)
    v = (v << 8) | b;
  return v;
}

// A coder's optional start offset (the branch converters): four little-endian bytes.
std::uint32_t startOffset(const Coder& c) {
  return c.props.size() >= 4 ? loadLe32(c.props.data()) : 0;
}

bool isBranch(Method m) {
  return m == Method::X86 || m == Method::PowerPc || m == Method::Ia64 || m == Method::Arm ||
         m == Method::ArmThumb || m == Method::Sparc || m == Method::Arm64;
}
codec::BranchArch archOf(Method m) {
  switch (m) {
  case Method::PowerPc:
    return codec::BranchArch::PowerPc;
  case Method::Ia64:
    return codec::BranchArch::Ia64;
  case Method::Arm:
    return codec::BranchArch::Arm;
  case Method::ArmThumb:
    return codec::BranchArch::ArmThumb;
  case Method::Sparc:
    return codec::BranchArch::Sparc;
  case Method::Arm64:
    return codec::BranchArch::Arm64;
  default:
    return codec::BranchArch::X86;
  }
}

using codec::BranchStage;
using codec::DeltaStage;
using Stage = codec::FilterStage;

class Bcj2Stage final : public Stage {
public:
  Bcj2Stage(std::unique_ptr<ByteSource> call, std::unique_ptr<ByteSource> jump,
            std::unique_ptr<ByteSource> range, ByteSink& next)
      : call_(std::move(call)), jump_(std::move(jump)), range_(std::move(range)),
        dec_(*call_, *jump_, *range_), next_(next) {}
  bool write(std::span<const std::byte> data) override { return check(dec_.decode(data, next_)); }
  bool finish() override { return check(dec_.finish(next_)); }

private:
  static bool check(codec::Bcj2Status s) {
    switch (s) {
    case codec::Bcj2Status::Ok:
      return true;
    case codec::Bcj2Status::WriteRefused:
      return false;
    case codec::Bcj2Status::CallEnded:
      damaged("BCJ2 CALL stream ends early");
    case codec::Bcj2Status::JumpEnded:
      damaged("BCJ2 jump stream ends early");
    case codec::Bcj2Status::RangeEnded:
      damaged("BCJ2 range-coded stream ends early");
    }
    return false;
  }
  std::unique_ptr<ByteSource> call_, jump_, range_;
  codec::Bcj2Decoder dec_;
  ByteSink& next_;
};

// Counts one coder output and holds it to its declared size: a coder that makes more is
// damaged (what fits is passed on first), one that makes less is found short afterwards.
class BoundedSink final : public ByteSink {
public:
  BoundedSink(ByteSink& next, std::uint64_t limit) : next_(next), limit_(limit) {}
  bool write(std::span<const std::byte> data) override {
    const bool over = data.size() > limit_ - count_;
    if (over)
      data = data.first(static_cast<std::size_t>(limit_ - count_));
    count_ += data.size();
    if (!data.empty() && !next_.write(data)) {
      refused_ = true;
      return false;
    }
    if (over)
      damaged("a coder makes more than its declared " + std::to_string(limit_) + " bytes");
    return true;
  }
  std::uint64_t count() const { return count_; }
  bool refused() const { return refused_; }

private:
  ByteSink& next_;
  std::uint64_t limit_;
  std::uint64_t count_ = 0;
  bool refused_ = false;
};

// A stage's output read on demand: its input pulled a piece at a time through the stage.
class StagedSource final : public ByteSource {
public:
  explicit StagedSource(std::unique_ptr<ByteSource> in) : in_(std::move(in)) {}
  void setStage(std::unique_ptr<Stage> stage) { stage_ = std::move(stage); }
  ByteSink& buffer() { return buffer_; }
  std::size_t read(std::span<std::byte> out) override {
    auto& held = buffer_.bytes();
    while (at_ == held.size() && !ended_) {
      held.clear();
      at_ = 0;
      std::array<std::byte, kChunk> piece;
      const std::size_t n = in_->read(piece);
      const bool ok = n == 0 ? stage_->finish() : stage_->write(std::span(piece).first(n));
      ended_ = n == 0;
      if (!ok)
        damaged("a coder stream could not be passed on");
    }
    const std::size_t n = std::min(out.size(), held.size() - at_);
    std::copy_n(held.begin() + static_cast<std::ptrdiff_t>(at_), n, out.begin());
    at_ += n;
    pos_ += n;
    return n;
  }
  bool seek(std::uint64_t) override { return false; }
  std::uint64_t size() const override { return 0; }
  std::uint64_t position() const override { return pos_; }

private:
  std::unique_ptr<ByteSource> in_;
  std::unique_ptr<Stage> stage_;
  VectorSink buffer_;
  std::size_t at_ = 0;
  std::uint64_t pos_ = 0;
  bool ended_ = false;
};

// A source over bytes it owns.
class OwnedSource final : public ByteSource {
public:
  explicit OwnedSource(std::vector<std::byte> bytes) : bytes_(std::move(bytes)), mem_(bytes_) {}
  std::size_t read(std::span<std::byte> out) override { return mem_.read(out); }
  bool seek(std::uint64_t offset) override { return mem_.seek(offset); }
  std::uint64_t size() const override { return mem_.size(); }
  std::uint64_t position() const override { return mem_.position(); }

private:
  std::vector<std::byte> bytes_;
  MemorySource mem_;
};

// A source that also owns the source under it (a packed range over the archive).
class PackedSource final : public ByteSource {
public:
  PackedSource(ByteSource& archive, const PackedRange& r) : sub_(archive, r.offset, r.size) {}
  std::size_t read(std::span<std::byte> out) override { return sub_.read(out); }
  bool seek(std::uint64_t offset) override { return sub_.seek(offset); }
  std::uint64_t size() const override { return sub_.size(); }
  std::uint64_t position() const override { return sub_.position(); }

private:
  SubRangeSource sub_;
};

// A decoder's output read on demand. Bytes decoded before a failure are given first and the
// failure is raised on the next read, unless the decoder's step gives none with it.
class DecoderSource : public ByteSource {
public:
  std::size_t read(std::span<std::byte> out) final {
    if (!failure_.empty())
      damaged(failure_);
    if (ended_ || out.empty())
      return 0;
    const Step step = decode(out);
    ended_ = step.ended;
    if (step.failure != nullptr) {
      failure_ = name_ + ": " + step.failure;
      if (step.n == 0)
        damaged(failure_);
    }
    pos_ += step.n;
    return step.n;
  }
  bool seek(std::uint64_t) final { return false; }
  std::uint64_t size() const final { return 0; }
  std::uint64_t position() const final { return pos_; }

protected:
  struct Step {
    std::size_t n = 0;
    bool ended = false;
    const char* failure = nullptr; // why the data is damaged, if it is
  };
  DecoderSource(std::unique_ptr<ByteSource> in, const Coder& coder)
      : in_(std::move(in)), name_(methodName(coder)) {}
  virtual Step decode(std::span<std::byte> out) = 0;

  std::unique_ptr<ByteSource> in_;
  std::string name_;

private:
  std::string failure_;
  std::uint64_t pos_ = 0;
  bool ended_ = false;
};

// Starts an LZMA or LZMA2 decoder from the coder's properties.
void startLzmaCoder(codec::LzmaDecoder& dec, const Coder& coder, Method m, std::uint64_t size) {
  codec::LzmaStatus s = codec::LzmaStatus::BadProperties;
  if (m == Method::Lzma) {
    if (const auto props = codec::parseLzmaProperties(coder.props))
      s = dec.startLzma(*props, size);
  } else if (coder.props.size() == 1) {
    if (const auto dict = codec::lzma2DictionarySize(std::to_integer<std::uint8_t>(coder.props[0])))
      s = dec.startLzma2(*dict, size);
  }
  if (s == codec::LzmaStatus::DictionaryTooLarge)
    throw EAbException("7z: " + methodName(coder) + " dictionary is over the memory cap",
                       AbCode::Unknown, ErrorKind::Limit);
  if (codec::isLzmaError(s))
    damaged(methodName(coder) + ": " + codec::lzmaStatusText(s));
}

class LzmaSource final : public DecoderSource {
public:
  LzmaSource(std::unique_ptr<ByteSource> in, const Coder& coder, Method m, std::uint64_t size)
      : DecoderSource(std::move(in), coder), buf_(*in_) {
    startLzmaCoder(dec_, coder, m, size);
  }

private:
  Step decode(std::span<std::byte> out) override {
    std::size_t n = 0;
    const codec::LzmaStatus s = dec_.read(buf_, out, n);
    // Damaged LZMA data is raised at once.
    if (codec::isLzmaError(s))
      return {0, false, codec::lzmaStatusText(s)};
    return {n, s == codec::LzmaStatus::StreamEnd, nullptr};
  }
  codec::InputBuffer buf_;
  codec::LzmaDecoder dec_;
};

class PpmdSource final : public DecoderSource {
public:
  PpmdSource(std::unique_ptr<ByteSource> in, const Coder& coder, std::uint64_t size)
      : DecoderSource(std::move(in), coder), buf_(*in_) {
    const codec::Ppmd7zStatus s = dec_.start(coder.props, size);
    if (s == codec::Ppmd7zStatus::MemoryTooLarge)
      throw EAbException("7z: PPMd model memory is over the memory cap", AbCode::Unknown,
                         ErrorKind::Limit);
    if (codec::isPpmd7zError(s))
      damaged(std::string("PPMd: ") + codec::ppmd7zStatusText(s));
  }

private:
  Step decode(std::span<std::byte> out) override {
    std::size_t n = 0;
    const codec::Ppmd7zStatus s = dec_.read(buf_, out, n);
    return {n, s == codec::Ppmd7zStatus::StreamEnd,
            codec::isPpmd7zError(s) ? codec::ppmd7zStatusText(s) : nullptr};
  }
  codec::InputBuffer buf_;
  codec::Ppmd7zDecoder dec_;
};

class Bzip2Source final : public DecoderSource {
public:
  Bzip2Source(std::unique_ptr<ByteSource> in, const Coder& coder)
      : DecoderSource(std::move(in), coder), dec_(*in_) {}

private:
  Step decode(std::span<std::byte> out) override {
    std::size_t n = 0;
    const codec::Bzip2Status s = dec_.read(out, n);
    const bool ended = s == codec::Bzip2Status::StreamEnd;
    return {n, ended, s != codec::Bzip2Status::Ok && !ended ? codec::bzip2StatusText(s) : nullptr};
  }
  codec::Bzip2Decoder dec_;
};

// The methods whose output can be pulled, and such a source over input `in`.
bool hasPullForm(Method m) {
  return m == Method::Lzma || m == Method::Lzma2 || m == Method::Ppmd || m == Method::BZip2;
}
std::unique_ptr<ByteSource> decoderSource(const Coder& coder, Method m,
                                          std::unique_ptr<ByteSource> in, std::uint64_t size) {
  if (m == Method::Ppmd)
    return std::make_unique<PpmdSource>(std::move(in), coder, size);
  if (m == Method::BZip2)
    return std::make_unique<Bzip2Source>(std::move(in), coder);
  return std::make_unique<LzmaSource>(std::move(in), coder, m, size);
}

// The filters: each a stage that its input is pushed through.
bool isStage(Method m) { return isBranch(m) || m == Method::Delta || m == Method::Bcj2; }

class Graph {
public:
  Graph(ByteSource& archive, const Folder& f, std::span<const PackedRange> packed)
      : archive_(archive), f_(f), packed_(packed) {}

  // Decodes the output of the coder that makes folder output `out` into sink.
  void push(std::uint32_t out, ByteSink& sink) {
    const std::uint32_t index = f_.coderOfOut(out);
    const Coder& coder = f_.coders[index];
    const Method m = methodOf(coder);
    const std::uint32_t in = f_.firstIn(index);
    BoundedSink bounded(sink, f_.unpackSizes[out]);
    if (isStage(m)) {
      auto stage = makeStage(coder, m, in, bounded);
      if (const auto bound = f_.bindForIn(in)) {
        push(*bound, *stage);
      } else {
        auto source = pull(in);
        copyAll(*source, *stage);
      }
      if (!stage->finish())
        throw Refused{};
    } else if (m == Method::Ppmd || m == Method::BZip2) {
      // No push form: their pulled output is copied into the sink.
      copyAll(*decoderSource(coder, m, pull(in), f_.unpackSizes[out]), bounded);
    } else {
      auto source = pull(in);
      runDecoder(coder, m, *source, bounded, f_.unpackSizes[out]);
    }
    if (bounded.refused())
      throw Refused{};
    if (bounded.count() != f_.unpackSizes[out])
      damaged(methodName(coder) + " output is " + std::to_string(bounded.count()) + " bytes, not " +
              std::to_string(f_.unpackSizes[out]));
  }

  // The sink refused: the caller asked to stop.
  struct Refused {};

private:
  std::unique_ptr<Stage> makeStage(const Coder& coder, Method m, std::uint32_t in, ByteSink& next) {
    if (m == Method::Delta) {
      if (coder.props.size() != 1)
        damaged("bad Delta properties");
      return std::make_unique<DeltaStage>(std::to_integer<std::uint32_t>(coder.props[0]) + 1, next);
    }
    if (m == Method::Bcj2) {
      if (coder.numIn != 4)
        damaged("BCJ2 without four inputs");
      return std::make_unique<Bcj2Stage>(pull(in + 1), pull(in + 2), pull(in + 3), next);
    }
    return std::make_unique<BranchStage>(archOf(m), startOffset(coder), next);
  }

  // A source over folder input `in`: a packed stream, or another coder's output.
  std::unique_ptr<ByteSource> pull(std::uint32_t in) {
    if (const auto p = f_.packedIndexOf(in))
      return std::make_unique<PackedSource>(archive_, packed_[*p]);
    const std::uint32_t out = *f_.bindForIn(in);
    const std::uint32_t index = f_.coderOfOut(out);
    const Coder& coder = f_.coders[index];
    const Method m = methodOf(coder);
    const std::uint32_t first = f_.firstIn(index);
    if (m == Method::Copy)
      return pull(first);
    if (isStage(m)) {
      auto staged = std::make_unique<StagedSource>(pull(first));
      staged->setStage(makeStage(coder, m, first, staged->buffer()));
      return staged;
    }
    if (hasPullForm(m))
      return decoderSource(coder, m, pull(first), f_.unpackSizes[out]);
    // A decoder that only pushes: its output into memory, within the cap.
    if (f_.unpackSizes[out] > kMaxBufferedOutput)
      throw EAbException("7z: a " + methodName(coder) + " side stream of " +
                             std::to_string(f_.unpackSizes[out]) + " bytes is over the memory cap",
                         AbCode::Unknown, ErrorKind::Limit);
    VectorSink held;
    push(out, held);
    return std::make_unique<OwnedSource>(std::move(held.bytes()));
  }

  static void copyAll(ByteSource& source, ByteSink& sink) {
    std::array<std::byte, kChunk> buf;
    for (std::size_t n; (n = source.read(buf)) > 0;)
      if (!sink.write(std::span(buf).first(n)))
        throw Refused{};
  }

  static void runDecoder(const Coder& coder, Method m, ByteSource& in, BoundedSink& out,
                         std::uint64_t size) {
    switch (m) {
    case Method::Copy:
      copyAll(in, out);
      return;
    case Method::Deflate:
    case Method::Deflate64: {
      if (size == 0)
        return;
      codec::Inflater inflater(
          in, {.deflate64 = m == Method::Deflate64, .outputLimit = size, .onWindowMove = {}});
      const codec::InflateStatus s = inflater.run(out);
      if (s == codec::InflateStatus::WriteRefused && out.refused())
        throw Refused{};
      if (s != codec::InflateStatus::Ok && s != codec::InflateStatus::LimitReached)
        damaged(methodName(coder) + " data is damaged");
      return;
    }
    case Method::Lzma:
    case Method::Lzma2: {
      codec::LzmaDecoder dec;
      startLzmaCoder(dec, coder, m, size);
      codec::InputBuffer buf(in);
      const codec::LzmaStatus s = dec.run(buf, out, size);
      if (s == codec::LzmaStatus::WriteRefused && out.refused())
        throw Refused{};
      if (codec::isLzmaError(s) || s == codec::LzmaStatus::WriteRefused)
        damaged(methodName(coder) + ": " + codec::lzmaStatusText(s));
      return;
    }
    default:
      throw EAbException("7z: method " + methodName(coder) + " is not supported", AbCode::Unknown,
                         ErrorKind::Unsupported);
    }
  }

  ByteSource& archive_;
  const Folder& f_;
  std::span<const PackedRange> packed_;
};

} // namespace

Method methodOf(const Coder& coder) {
  switch (idValue(coder)) {
  case 0x00:
    return Method::Copy;
  case 0x03:
    return Method::Delta;
  case 0x04:
  case 0x03030103:
    return Method::X86;
  case 0x0303011B:
    return Method::Bcj2;
  case 0x05:
  case 0x03030205:
    return Method::PowerPc;
  case 0x06:
  case 0x03030401:
    return Method::Ia64;
  case 0x07:
  case 0x03030501:
    return Method::Arm;
  case 0x08:
  case 0x03030701:
    return Method::ArmThumb;
  case 0x09:
  case 0x03030805:
    return Method::Sparc;
  case 0x0A:
    return Method::Arm64;
  case 0x030101:
    return Method::Lzma;
  case 0x21:
    return Method::Lzma2;
  case 0x030401:
    return Method::Ppmd;
  case 0x040108:
    return Method::Deflate;
  case 0x040109:
    return Method::Deflate64;
  case 0x040202:
    return Method::BZip2;
  case 0x06F10701:
    return Method::Aes;
  default:
    return Method::Unknown;
  }
}

std::string methodName(const Coder& coder) {
  static constexpr std::array<const char*, 17> kNames{
      "Copy",  "Delta", "BCJ",   "BCJ2", "PPC",     "IA64",      "ARM",   "ARMT", "SPARC",
      "ARM64", "LZMA",  "LZMA2", "PPMd", "Deflate", "Deflate64", "BZip2", "AES"};
  const Method m = methodOf(coder);
  if (m != Method::Unknown)
    return kNames[static_cast<std::size_t>(m)];
  std::string hex = "method ";
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const std::uint8_t b : coder.id) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return coder.id.empty() ? hex + "(empty id)" : hex;
}

std::optional<Refusal> refuseFolder(const Folder& folder) {
  for (const Coder& c : folder.coders) {
    const Method m = methodOf(c);
    if (m == Method::Aes)
      return Refusal{true, "encrypted (AES)"};
  }
  for (const Coder& c : folder.coders) {
    const Method m = methodOf(c);
    const bool known = m == Method::Copy || isStage(m) || hasPullForm(m) || m == Method::Deflate ||
                       m == Method::Deflate64;
    if (!known)
      return Refusal{false, "compression method " + methodName(c) + " is not supported"};
    // Every coder here has one output, and all but BCJ2 one input.
    if (c.numOut != 1 || c.numIn != (m == Method::Bcj2 ? 4u : 1u))
      return Refusal{false, "coder " + methodName(c) + " with an unexpected number of streams"};
  }
  return std::nullopt;
}

bool decodeFolder(ByteSource& archive, const Folder& folder, std::span<const PackedRange> packed,
                  ByteSink& out) {
  if (const auto refusal = refuseFolder(folder))
    throw EAbException("7z: " + refusal->reason, AbCode::Unknown, ErrorKind::Unsupported);
  Graph graph(archive, folder, packed);
  try {
    graph.push(folder.mainOutput, out);
  } catch (const Graph::Refused&) {
    return false;
  }
  return true;
}

} // namespace kyv::archive::sevenzip
