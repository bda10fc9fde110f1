// Layout of a compiled-help container as the unpacker reads it. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kyv::chm::format {

// File header at offset 0.
constexpr std::string_view kFileSignature = "ITSF";
constexpr std::size_t kFileHeaderRead = 56;       // bytes read before the header-section table
constexpr std::size_t kHeaderLengthOffset = 8;    // 4 bytes
constexpr std::uint64_t kSectionTableOffset = 56; // two entries: offset (8), length (8)
constexpr std::size_t kSectionEntrySize = 16;
constexpr std::uint64_t kContentOffsetField = 88; // low 4 bytes of the content section 0 offset
constexpr std::size_t kHeaderSection0Size = 24;

// Directory header at the offset of header section 1.
constexpr std::string_view kDirectorySignature = "ITSP";
constexpr std::size_t kDirectoryHeaderSize = 84;
constexpr std::size_t kDirChunkSizeOffset = 16;  // 4 bytes
constexpr std::size_t kDirChunkCountOffset = 44; // 4 bytes, signed

// Directory chunks.
constexpr std::string_view kListingSignature = "PMGL";
constexpr std::size_t kChunkHeaderSize = 20;
constexpr std::size_t kChunkFreeSpaceOffset = 4; // 4 bytes
constexpr std::uint64_t kMaxNameLength = 1000;

// Section bookkeeping entries, all in content section 0.
constexpr std::string_view kNameListEntry = "::DataSpace/NameList";
constexpr std::string_view kStoragePrefix = "::DataSpace/Storage/";
constexpr std::string_view kContentSuffix = "/Content";
constexpr std::string_view kControlDataSuffix = "/ControlData";
constexpr std::string_view kResetTableSuffix =
    "/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";
constexpr std::size_t kMaxSectionNames = 100;

// Control data of a compressed section.
constexpr std::size_t kControlSignatureOffset = 4; // 4 characters, normally "LZXC"
constexpr std::size_t kControlWindowOffset = 16;   // window size in 32 KB units
constexpr std::string_view kLzxMethod = "LZXC";

// Reset table: low halves of the two 64-bit lengths.
constexpr std::size_t kResetUncompressedOffset = 16;
constexpr std::size_t kResetCompressedOffset = 24;

} // namespace kyv::chm::format
