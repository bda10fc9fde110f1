// Layout of the two RAR archive formats: the block format of RAR 1.5 to 4.x ("old") and the
// RAR 5 format, as the published format notes describe them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kyv::unrar::format {

inline constexpr std::array<std::uint8_t, 7> kSignatureOld{0x52, 0x61, 0x72, 0x21,
                                                           0x1A, 0x07, 0x00};
inline constexpr std::array<std::uint8_t, 8> kSignature5{0x52, 0x61, 0x72, 0x21,
                                                         0x1A, 0x07, 0x01, 0x00};
// RAR 1.4 archives start "RE~^": a RAR archive, just one of a format nobody writes any more.
inline constexpr std::array<std::uint8_t, 4> kSignature14{0x52, 0x45, 0x7E, 0x5E};
// Self-extractor stubs are a few hundred KiB; the signature is looked for this far in.
inline constexpr std::uint64_t kMaxSignatureSearch = 4u << 20;

inline constexpr std::uint8_t kMethodStore = 0x30;

// ---- Old format: blocks of crc16(2) type(1) flags(2) size(2) [data size(4) for long blocks]. ----
inline constexpr std::size_t kOldBlockHead = 7;
inline constexpr std::size_t kOldCrcStart = 2; // the CRC covers the block from its type on
// The fixed part of the main header; archives with an embedded comment checksum only this much.
inline constexpr std::size_t kOldMainHead = 13;

inline constexpr std::uint8_t kOldTypeMain = 0x73;
inline constexpr std::uint8_t kOldTypeFile = 0x74;
inline constexpr std::uint8_t kOldTypeNewSub = 0x7A;
inline constexpr std::uint8_t kOldTypeEnd = 0x7B;

// Every block: a 32-bit data size follows the head (file and new sub-blocks always have one).
inline constexpr std::uint16_t kOldLongBlock = 0x8000;

// Main header flags.
inline constexpr std::uint16_t kOldMainVolume = 0x0001;
inline constexpr std::uint16_t kOldMainComment = 0x0002;
inline constexpr std::uint16_t kOldMainLock = 0x0004;
inline constexpr std::uint16_t kOldMainSolid = 0x0008;
inline constexpr std::uint16_t kOldMainNewNumbering = 0x0010;
inline constexpr std::uint16_t kOldMainSigned = 0x0020;
inline constexpr std::uint16_t kOldMainRecovery = 0x0040;
inline constexpr std::uint16_t kOldMainPassword = 0x0080; // the headers that follow are encrypted
inline constexpr std::uint16_t kOldMainFirstVolume = 0x0100;

// File header flags.
inline constexpr std::uint16_t kOldFileSplitBefore = 0x0001;
inline constexpr std::uint16_t kOldFileSplitAfter = 0x0002;
inline constexpr std::uint16_t kOldFileEncrypted = 0x0004;
inline constexpr std::uint16_t kOldFileComment = 0x0008; // a comment inside the header
inline constexpr std::uint16_t kOldFileSolid = 0x0010;
// Bits 5-7: the dictionary, 64 KiB << n, or all set for a directory.
inline constexpr unsigned kOldFileDictShift = 5;
inline constexpr std::uint16_t kOldFileDictMask = 0x00E0;
inline constexpr std::uint16_t kOldFileDirectory = 0x00E0;
inline constexpr std::uint16_t kOldFileLarge = 0x0100;   // high halves of both sizes follow
inline constexpr std::uint16_t kOldFileUnicode = 0x0200; // the name carries a Unicode form

// ---- RAR 5: crc32(4) size(vint) type(vint) flags(vint) [extra size] [data size] fields extra.
// ----
inline constexpr std::size_t kHeadCrc5 = 4;
// Headers are at most 2 MiB by the format.
inline constexpr std::uint64_t kMaxHeader5 = 2u << 20;

inline constexpr std::uint64_t kType5Main = 1;
inline constexpr std::uint64_t kType5File = 2;
inline constexpr std::uint64_t kType5Service = 3;
inline constexpr std::uint64_t kType5Encryption = 4; // every later header is encrypted
inline constexpr std::uint64_t kType5End = 5;

// Flags of every header.
inline constexpr std::uint64_t kHead5Extra = 0x01;
inline constexpr std::uint64_t kHead5Data = 0x02;
inline constexpr std::uint64_t kHead5SplitBefore = 0x08;
inline constexpr std::uint64_t kHead5SplitAfter = 0x10;

// Main header flags.
inline constexpr std::uint64_t kMain5Volume = 0x01;
inline constexpr std::uint64_t kMain5VolumeNumber = 0x02; // a volume number follows
inline constexpr std::uint64_t kMain5Solid = 0x04;
inline constexpr std::uint64_t kMain5Recovery = 0x08;
inline constexpr std::uint64_t kMain5Locked = 0x10;

// File header flags.
inline constexpr std::uint64_t kFile5Directory = 0x01;
inline constexpr std::uint64_t kFile5UnixTime = 0x02; // 32-bit modification time follows
inline constexpr std::uint64_t kFile5Crc = 0x04;      // 32-bit CRC follows
inline constexpr std::uint64_t kFile5UnknownSize = 0x08;

// Compression information of a file header.
inline constexpr std::uint64_t kComp5VersionMask = 0x3F; // 0 is the RAR 5.0 algorithm
inline constexpr std::uint64_t kComp5Solid = 0x40;
inline constexpr unsigned kComp5MethodShift = 7;
inline constexpr std::uint64_t kComp5MethodMask = 0x7;
inline constexpr unsigned kComp5DictShift = 10; // dictionary 128 KiB << n
inline constexpr std::uint64_t kComp5DictMask = 0x1F;

// Extra records of a file header.
inline constexpr std::uint64_t kExtra5Encryption = 1;
inline constexpr std::uint64_t kExtra5Hash = 2;
inline constexpr std::uint64_t kExtra5Redirection = 5;
inline constexpr std::uint64_t kHash5Blake2 = 0;
inline constexpr std::size_t kBlake2Size = 32;
// Redirection types that carry an earlier member's data.
inline constexpr std::uint32_t kRedirHardLink = 4;
inline constexpr std::uint32_t kRedirFileCopy = 5;

} // namespace kyv::unrar::format
