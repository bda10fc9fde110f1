// The one I/O interface every reader and decoder of the system works through: a source of bytes
// to read and a sink to write, with memory and sub-range implementations here and the file ones
// in platform/file.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kyv {

struct ByteSource {
  virtual ~ByteSource() = default;
  // Reads up to out.size() bytes at the current position; 0 means end of data (or a failed read).
  virtual std::size_t read(std::span<std::byte> out) = 0;
  // Moves to an absolute offset; false (position unchanged) when it lies past the end.
  virtual bool seek(std::uint64_t offset) = 0;
  virtual std::uint64_t size() const = 0;
  virtual std::uint64_t position() const = 0;

  // Reads exactly out.size() bytes or returns false (the position then stands after what was read).
  bool readExact(std::span<std::byte> out);
};

struct ByteSink {
  virtual ~ByteSink() = default;
  // Appends all of data; false when the sink refuses (full, over its budget, or a failed write).
  [[nodiscard]] virtual bool write(std::span<const std::byte> data) = 0;
};

// A source over bytes held by someone else; the bytes must outlive the source.
class MemorySource final : public ByteSource {
public:
  explicit MemorySource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t offset) override;
  std::uint64_t size() const override { return bytes_.size(); }
  std::uint64_t position() const override { return pos_; }

private:
  std::span<const std::byte> bytes_;
  std::size_t pos_ = 0;
};

// A window [offset, offset + length) of another source, seen as a source of its own: a member
// inside a container. Reads never leave the window, whatever the container claims.
class SubRangeSource final : public ByteSource {
public:
  SubRangeSource(ByteSource& base, std::uint64_t offset, std::uint64_t length);
  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t offset) override;
  std::uint64_t size() const override { return length_; }
  std::uint64_t position() const override { return pos_; }

private:
  ByteSource& base_;
  std::uint64_t offset_;
  std::uint64_t length_;
  std::uint64_t pos_ = 0;
};

// Collects everything written, up to an optional limit.
class VectorSink final : public ByteSink {
public:
  explicit VectorSink(std::size_t limit = SIZE_MAX) : limit_(limit) {}
  bool write(std::span<const std::byte> data) override;
  const std::vector<std::byte>& bytes() const { return bytes_; }
  std::vector<std::byte>& bytes() { return bytes_; }

private:
  std::vector<std::byte> bytes_;
  std::size_t limit_;
};

// Counts and discards: the test-only target.
class NullSink final : public ByteSink {
public:
  bool write(std::span<const std::byte> data) override {
    count_ += data.size();
    return true;
  }
  std::uint64_t count() const { return count_; }

private:
  std::uint64_t count_ = 0;
};

// Copies a source from its current position to its end into a sink; false when the sink refused
// bytes. copied counts what the sink took.
bool copyAll(ByteSource& source, ByteSink& sink, std::uint64_t& copied);

// Reads a whole source (from its current position) into memory, refusing more than limit bytes.
std::optional<std::vector<std::byte>> readAll(ByteSource& source, std::uint64_t limit);

} // namespace kyv
