// Offsets and constants of the 32-bit PE/COFF image format that the module loader reads.
#pragma once

#include <cstdint>

namespace kyv::modload::pe {

constexpr std::uint32_t kDosNtHeaderOffset = 0x3C; // e_lfanew
constexpr std::uint32_t kDosHeaderSize = 0x40;
constexpr std::uint32_t kNtSignature = 0x00004550; // "PE\0\0"

// Inside the NT headers: signature, then the file header, then the optional header.
constexpr std::uint32_t kNtNumberOfSections = 4 + 2;
constexpr std::uint32_t kNtSizeOfOptionalHeader = 4 + 16;
constexpr std::uint32_t kNtOptionalHeader = 24;

// Inside the PE32 optional header.
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint32_t kOptMagic = 0;
constexpr std::uint32_t kOptAddressOfEntryPoint = 16;
constexpr std::uint32_t kOptImageBase = 28;
constexpr std::uint32_t kOptSizeOfImage = 56;
constexpr std::uint32_t kOptSizeOfHeaders = 60;
constexpr std::uint32_t kOptNumberOfRvaAndSizes = 92;
constexpr std::uint32_t kOptDataDirectories = 96;
constexpr std::uint32_t kDataDirectorySize = 8;

constexpr unsigned kDirExport = 0;
constexpr unsigned kDirImport = 1;
constexpr unsigned kDirBaseReloc = 5;

// Section table entry.
constexpr std::uint32_t kSectionEntrySize = 40;
constexpr std::uint32_t kSecVirtualSize = 8;
constexpr std::uint32_t kSecVirtualAddress = 12;
constexpr std::uint32_t kSecSizeOfRawData = 16;
constexpr std::uint32_t kSecPointerToRawData = 20;
constexpr std::uint32_t kSecCharacteristics = 36;

constexpr std::uint32_t kScnMemNotCached = 0x04000000;
constexpr std::uint32_t kScnMemExecute = 0x20000000;
constexpr std::uint32_t kScnMemRead = 0x40000000;
constexpr std::uint32_t kScnMemWrite = 0x80000000;

// Base relocation block: page address, block size, then 16-bit entries (type in the top 4 bits).
constexpr std::uint32_t kRelocBlockHeader = 8;

// Import descriptor (20 bytes): lookup table, time stamp, forwarder chain, name, address table.
constexpr std::uint32_t kImportDescriptorSize = 20;
constexpr std::uint32_t kImpOriginalFirstThunk = 0;
constexpr std::uint32_t kImpTimeDateStamp = 4;
constexpr std::uint32_t kImpName = 12;
constexpr std::uint32_t kImpFirstThunk = 16;
constexpr std::uint32_t kImportByOrdinal = 0x80000000;

// Export directory (40 bytes).
constexpr std::uint32_t kExportDirectorySize = 40;
constexpr std::uint32_t kExpNumberOfFunctions = 20;
constexpr std::uint32_t kExpNumberOfNames = 24;
constexpr std::uint32_t kExpAddressOfFunctions = 28;
constexpr std::uint32_t kExpAddressOfNames = 32;
constexpr std::uint32_t kExpAddressOfNameOrdinals = 36;

} // namespace kyv::modload::pe
