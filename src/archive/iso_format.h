// ISO 9660 (ECMA-119) structures: volume descriptors, directory records, the System Use Sharing
// Protocol with its Rock Ridge entries, and the El Torito boot catalog. Pure parsing of bytes
// already read; the reader does the I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kyv::archive::iso {

inline constexpr std::uint8_t kBootRecord = 0;
inline constexpr std::uint8_t kPrimary = 1;
inline constexpr std::uint8_t kSupplementary = 2;
inline constexpr std::uint8_t kTerminator = 255;

// File flags of a directory record.
inline constexpr std::uint8_t kFlagDirectory = 0x02;
inline constexpr std::uint8_t kFlagMultiExtent = 0x80;

inline constexpr std::size_t kMinRecordSize = 34;

struct DirRecord {
  std::uint32_t recordLength = 0;
  std::uint32_t extent = 0;          // first logical block
  std::uint32_t attributeBlocks = 0; // extended attribute record before the data
  std::uint32_t dataLength = 0;
  std::uint8_t flags = 0;
  std::uint8_t unitSize = 0; // interleaving: blocks per unit, 0 when not interleaved
  std::uint8_t gapSize = 0;  // blocks skipped between units
  std::span<const std::byte> name;
  std::span<const std::byte> systemUse;

  bool isDirectory() const { return (flags & kFlagDirectory) != 0; }
  bool isSelfOrParent() const;
};

// The record at the start of bytes, or nothing when its length fields do not fit.
std::optional<DirRecord> parseDirRecord(std::span<const std::byte> bytes);

struct VolumeDescriptor {
  std::uint8_t type = 0;
  std::uint8_t version = 0;
  bool joliet = false; // a supplementary descriptor whose names are UCS-2
  std::uint32_t blockSize = 0;
  std::uint32_t volumeBlocks = 0;
  std::optional<DirRecord> root;
  std::uint32_t bootCatalog = 0; // block of the El Torito catalog (boot record only)
  bool elTorito = false;
};

// A 2048-byte descriptor; nothing when it is not an ISO 9660 descriptor.
std::optional<VolumeDescriptor> parseVolumeDescriptor(std::span<const std::byte> sector);

// A name as the directory stores it: d-characters with a ";version" suffix (and a lone trailing
// dot) removed, or UCS-2 big-endian for Joliet, in the system's narrow code page.
std::string plainName(std::span<const std::byte> name);
std::string jolietName(std::span<const std::byte> name);

// What the System Use entries of one record said (Rock Ridge, over SUSP).
struct SystemUse {
  std::string name; // NM parts joined
  bool hasName = false;
  bool nameOpen = false;                  // the last NM part asked for a continuation
  std::optional<std::uint32_t> childLink; // CL: the directory moved elsewhere
  bool relocated = false;                 // RE: this directory's real place is a CL elsewhere
  bool sharingProtocol = false;           // SP: System Use entries are in use
  std::uint8_t skip = 0;                  // SP: bytes to skip at the start of each area
  // CE: where the entries go on (block, offset in it, length).
  struct Continuation {
    std::uint32_t block = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
  };
  std::optional<Continuation> continuation;
};

// Reads the entries of one area into use; a continuation found replaces use.continuation.
void parseSystemUse(std::span<const std::byte> area, SystemUse& use);

// One image of the boot catalog: where it starts and how many bytes a firmware loads.
struct BootImage {
  std::uint32_t block = 0;
  std::uint64_t size = 0;
  std::uint8_t media = 0;
};

// The bootable and non-bootable entries of a catalog whose bytes are given (validation entry
// first, then the default entry and any sections). Nothing when the validation entry is wrong.
std::optional<std::vector<BootImage>> parseBootCatalog(std::span<const std::byte> catalog);

} // namespace kyv::archive::iso
