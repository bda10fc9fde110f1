// BLAKE2sp (BLAKE2s, RFC 7693, in the 8-leaf parallel tree of the BLAKE2 paper): the 32-byte
// member hash that RAR 5 archives may store instead of a CRC-32.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::unrar {

class Blake2sp {
public:
  Blake2sp();
  void update(std::span<const std::byte> data);
  std::array<std::uint8_t, 32> finish();

private:
  struct State {
    std::array<std::uint32_t, 8> h{};
    std::uint64_t count = 0;
    std::array<std::uint8_t, 64> buf{};
    std::size_t bufLen = 0;
    bool lastNode = false;
    void init(std::uint32_t nodeOffset, std::uint32_t nodeDepth, bool last);
    void update(const std::uint8_t* p, std::size_t n);
    std::array<std::uint8_t, 32> finish();
    void compress(const std::uint8_t* block, bool final);
  };
  std::array<State, 8> leaves_;
  State root_;
  // Input is dealt to the leaves in 64-byte blocks, round robin.
  std::uint64_t total_ = 0;
};

} // namespace kyv::unrar
