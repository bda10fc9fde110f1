#include "modload/dll_unit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "base/endian.h"
#include "base/error.h"
#include "base/text.h"
#include "modload/pe_format.h"
#include "platform/module.h"

namespace kyv::modload {

namespace {

// A library image larger than this is not a library we carry: the RAR module is well under
// a megabyte, and the cap keeps a forged SizeOfImage from reserving gigabytes.
constexpr std::uint32_t kMaxImageSize = 64u << 20;
// The system loader itself refuses images with more sections than this.
constexpr std::uint32_t kMaxSections = 96;
// Export, import and library names longer than this are not names but damage.
constexpr std::size_t kMaxNameLength = 4096;
// Import and export counts: ordinals are 16-bit, so no table can usefully hold more entries, and
// a real library imports from a few dozen libraries. The caps bound the work a forged table can
// ask for, since one array may be walked from many descriptors.
constexpr std::uint32_t kMaxExports = 65536;
constexpr std::uint32_t kMaxImportThunks = 65536;
constexpr std::uint32_t kMaxImportLibraries = 1024;
// Commitment is tracked in pages of this size; every system we run on commits at least this much.
constexpr std::uint32_t kGranule = 4096;

class Refused : public Error {
public:
  explicit Refused(const std::string& what) : Error(ErrorKind::BadHeader, what) {}
};

[[noreturn]] void refuse(const std::string& what) { throw Refused(what); }

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Section {
  std::uint32_t virtualSize;
  std::uint32_t virtualAddress;
  std::uint32_t sizeOfRawData;
  std::uint32_t pointerToRawData;
  std::uint32_t characteristics;
  std::uint32_t copied() const { return std::min(virtualSize, sizeOfRawData); }
  std::uint32_t committed() const { return std::max(virtualSize, sizeOfRawData); }
};

struct Headers {
  std::uint32_t entryPoint = 0;
  std::uint32_t imageBase = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t sizeOfHeaders = 0;
  DataDirectory exports, imports, relocations;
  std::vector<Section> sections;
};

// Reads the headers and the section table from the file's bytes, checking every field that a
// later step would use to address the file or the reservation.
Headers readHeaders(std::span<const std::byte> image) {
  const std::size_t n = image.size();
  if (n < pe::kDosHeaderSize)
    refuse("image of " + std::to_string(n) + " bytes is too short for a DOS header");
  const std::uint32_t nt = loadLe32(image.data() + pe::kDosNtHeaderOffset);
  if (!inRange(n, nt, pe::kNtOptionalHeader))
    refuse("NT headers at " + hex(nt) + " lie outside the image");
  const std::byte* ntp = image.data() + nt;
  if (loadLe32(ntp) != pe::kNtSignature)
    refuse("no PE signature at " + hex(nt));
  const std::uint32_t sectionCount = loadLe16(ntp + pe::kNtNumberOfSections);
  const std::uint32_t optionalSize = loadLe16(ntp + pe::kNtSizeOfOptionalHeader);
  const std::uint64_t optional = std::uint64_t{nt} + pe::kNtOptionalHeader;
  if (optionalSize < pe::kOptDataDirectories || !inRange(n, optional, optionalSize))
    refuse("optional header of " + std::to_string(optionalSize) + " bytes does not fit");
  const std::byte* opt = image.data() + optional;
  if (loadLe16(opt + pe::kOptMagic) != pe::kPe32Magic)
    refuse("not a 32-bit (PE32) image");

  Headers h;
  h.entryPoint = loadLe32(opt + pe::kOptAddressOfEntryPoint);
  h.imageBase = loadLe32(opt + pe::kOptImageBase);
  h.sizeOfImage = loadLe32(opt + pe::kOptSizeOfImage);
  h.sizeOfHeaders = loadLe32(opt + pe::kOptSizeOfHeaders);
  if (h.sizeOfImage == 0 || h.sizeOfImage > kMaxImageSize)
    refuse("SizeOfImage " + hex(h.sizeOfImage) + " out of bounds");
  if (h.sizeOfHeaders == 0 || h.sizeOfHeaders > h.sizeOfImage || h.sizeOfHeaders > n)
    refuse("SizeOfHeaders " + hex(h.sizeOfHeaders) + " exceeds the image");
  if (h.entryPoint >= h.sizeOfImage)
    refuse("entry point " + hex(h.entryPoint) + " outside the image");

  // Directories past NumberOfRvaAndSizes or past the optional header do not exist.
  const std::uint32_t dirCount = loadLe32(opt + pe::kOptNumberOfRvaAndSizes);
  auto directory = [&](unsigned index) {
    DataDirectory d;
    const std::uint64_t at =
        pe::kOptDataDirectories + std::uint64_t{index} * pe::kDataDirectorySize;
    if (index < dirCount && at + pe::kDataDirectorySize <= optionalSize) {
      d.rva = loadLe32(opt + at);
      d.size = loadLe32(opt + at + 4);
    }
    return d;
  };
  h.exports = directory(pe::kDirExport);
  h.imports = directory(pe::kDirImport);
  h.relocations = directory(pe::kDirBaseReloc);

  if (sectionCount > kMaxSections)
    refuse(std::to_string(sectionCount) + " sections, more than a loader accepts");
  const std::uint64_t table = optional + optionalSize;
  if (!inRange(n, table, std::uint64_t{sectionCount} * pe::kSectionEntrySize))
    refuse("section table runs past the image");
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::byte* s = image.data() + table + std::uint64_t{i} * pe::kSectionEntrySize;
    Section sec{loadLe32(s + pe::kSecVirtualSize), loadLe32(s + pe::kSecVirtualAddress),
                loadLe32(s + pe::kSecSizeOfRawData), loadLe32(s + pe::kSecPointerToRawData),
                loadLe32(s + pe::kSecCharacteristics)};
    const std::string which = "section " + std::to_string(i);
    if (!inRange(h.sizeOfImage, sec.virtualAddress, sec.copied()) ||
        !inRange(h.sizeOfImage, sec.virtualAddress, sec.virtualSize))
      refuse(which + " at " + hex(sec.virtualAddress) + " lies outside SizeOfImage");
    if (sec.copied() != 0 && !inRange(n, sec.pointerToRawData, sec.copied()))
      refuse(which + " raw data at " + hex(sec.pointerToRawData) + " lies outside the file");
    h.sections.push_back(sec);
  }
  return h;
}

platform::PageAccess accessFor(std::uint32_t characteristics) {
  using platform::PageAccess;
  static constexpr PageAccess table[2][2][2] = {
      // [execute][read][write]
      {{PageAccess::NoAccess, PageAccess::WriteCopy},
       {PageAccess::ReadOnly, PageAccess::ReadWrite}},
      {{PageAccess::Execute, PageAccess::ExecuteWriteCopy},
       {PageAccess::ExecuteRead, PageAccess::ExecuteReadWrite}},
  };
  return table[(characteristics & pe::kScnMemExecute) != 0]
              [(characteristics & pe::kScnMemRead) != 0][(characteristics & pe::kScnMemWrite) != 0];
}

// The reservation while it is being built. Owns the memory and the library references taken for
// the module until release() hands them over; a refused load gives everything back here.
class Mapping {
public:
  Mapping(std::uint32_t size, TModuleHost& host) : size_(size), host_(host) {
    reserved_ = (std::size_t{size} + kGranule - 1) / kGranule * kGranule;
    base_ = platform::reserveImageMemory(reserved_);
    if (base_ == nullptr)
      refuse("cannot reserve " + hex(size) + " bytes");
    committed_.assign(reserved_ / kGranule, false);
  }
  ~Mapping() {
    if (base_ == nullptr)
      return;
    for (const auto& name : libraries_)
      host_.ReleaseLibrary(name);
    platform::releaseImageMemory(base_, reserved_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  std::byte* base() const { return base_; }
  std::uint32_t size() const { return size_; }
  std::size_t reserved() const { return reserved_; }

  // Commits the pages that hold [rva, rva + length). Fresh pages come zero-filled from the
  // system; the answer tells whether any of them had been committed (and written) before.
  bool commit(std::uint32_t rva, std::uint32_t length, const char* what) {
    if (length == 0)
      return false;
    const std::uint32_t first = rva / kGranule;
    const std::uint32_t last =
        static_cast<std::uint32_t>((std::uint64_t{rva} + length - 1) / kGranule);
    if (!platform::commitImageMemory(base_ + std::size_t{first} * kGranule,
                                     std::size_t{last - first + 1} * kGranule))
      refuse(std::string("cannot commit ") + what);
    bool reused = false;
    for (std::uint32_t g = first; g <= last; ++g) {
      reused = reused || committed_[g];
      committed_[g] = true;
    }
    return reused;
  }

  // Whether [rva, rva + length) lies inside the image and in committed pages: the one test
  // before every read and write of the mapped image.
  bool has(std::uint64_t rva, std::uint64_t length) const {
    if (!inRange(size_, rva, length))
      return false;
    if (length == 0)
      return true;
    for (std::uint64_t g = rva / kGranule; g <= (rva + length - 1) / kGranule; ++g)
      if (!committed_[static_cast<std::size_t>(g)])
        return false;
    return true;
  }
  std::uint32_t u32(std::uint64_t rva, const char* what) const {
    if (!has(rva, 4))
      refuse(std::string(what) + " at " + hex(static_cast<std::uint32_t>(rva)) +
             " lies outside the image");
    return loadLe32(base_ + rva);
  }
  std::uint16_t u16(std::uint64_t rva, const char* what) const {
    if (!has(rva, 2))
      refuse(std::string(what) + " at " + hex(static_cast<std::uint32_t>(rva)) +
             " lies outside the image");
    return loadLe16(base_ + rva);
  }
  void put32(std::uint64_t rva, std::uint32_t value, const char* what) {
    if (!has(rva, 4))
      refuse(std::string(what) + " at " + hex(static_cast<std::uint32_t>(rva)) +
             " lies outside the image");
    storeLe32(base_ + rva, value);
  }
  // A zero-terminated name inside the image.
  std::string_view text(std::uint64_t rva, const char* what) const {
    for (std::uint64_t end = rva; end < size_ && end - rva <= kMaxNameLength; ++end) {
      if (!committed_[static_cast<std::size_t>(end / kGranule)])
        break;
      if (base_[end] == std::byte{0})
        return {reinterpret_cast<const char*>(base_ + rva), static_cast<std::size_t>(end - rva)};
    }
    refuse(std::string(what) + " at " + hex(static_cast<std::uint32_t>(rva)) +
           " is not a terminated name inside the image");
  }

  // A library by the loader's rule: one that this module already loaded is asked of the system by
  // name (no new reference); any other is loaded and recorded.
  void* library(std::string_view name) {
    const std::string key(name);
    for (const auto& loaded : libraries_)
      if (EqualsIgnoreAsciiCase(loaded, key))
        return host_.FindLibrary(key);
    void* handle = host_.LoadLibrary(key);
    // Only a load that took a reference is recorded, so the release never drops someone else's.
    if (handle != nullptr)
      libraries_.push_back(key);
    return handle;
  }

  TStringArray takeLibraries() { return std::move(libraries_); }
  std::byte* release() { return std::exchange(base_, nullptr); }

private:
  std::byte* base_ = nullptr;
  std::uint32_t size_;
  std::size_t reserved_ = 0;
  std::vector<bool> committed_;
  TModuleHost& host_;
  TStringArray libraries_;
};

void mapSections(Mapping& m, const Headers& h, std::span<const std::byte> image) {
  m.commit(0, h.sizeOfHeaders, "headers");
  std::memcpy(m.base(), image.data(), h.sizeOfHeaders);
  for (const auto& s : h.sections) {
    // The committed size may run past SizeOfImage when raw data is rounded up further than the
    // image; only what lies inside the reservation is committed.
    const std::uint32_t room = h.sizeOfImage - s.virtualAddress;
    const std::uint32_t committed = std::min(s.committed(), room);
    if (m.commit(s.virtualAddress, committed, "a section"))
      std::memset(m.base() + s.virtualAddress, 0, committed);
    if (s.copied() != 0)
      std::memcpy(m.base() + s.virtualAddress, image.data() + s.pointerToRawData, s.copied());
  }
}

// Walks the relocation blocks; with apply false it only proves that every block and every
// target lies inside the committed image.
void relocate(Mapping& m, const DataDirectory& dir, std::uint32_t delta, bool apply) {
  if (dir.rva == 0)
    return;
  if (!m.has(dir.rva, dir.size))
    refuse("relocation directory at " + hex(dir.rva) + " lies outside the image");
  std::uint64_t walked = 0;
  while (walked < dir.size) {
    const std::uint64_t block = std::uint64_t{dir.rva} + walked;
    if (dir.size - walked < pe::kRelocBlockHeader)
      refuse("relocation block at " + hex(static_cast<std::uint32_t>(block)) + " is cut off");
    const std::uint32_t page = m.u32(block, "relocation block");
    const std::uint32_t blockSize = m.u32(block + 4, "relocation block");
    // A size below the header would never advance; one past the directory would read outside it.
    if (blockSize < pe::kRelocBlockHeader || blockSize > dir.size - walked)
      refuse("relocation block at " + hex(static_cast<std::uint32_t>(block)) + " has size " +
             hex(blockSize));
    const std::uint32_t entries = (blockSize - pe::kRelocBlockHeader) / 2;
    for (std::uint32_t i = 0; i < entries; ++i) {
      const std::uint16_t entry = m.u16(block + pe::kRelocBlockHeader + 2 * i, "relocation entry");
      if ((entry >> 12) == 0)
        continue;
      const std::uint64_t target = std::uint64_t{page} + (entry & 0x0FFF);
      if (!m.has(target, 4))
        refuse("relocation target " + hex(static_cast<std::uint32_t>(target)) +
               " lies outside the image");
      if (apply)
        m.put32(target, m.u32(target, "relocation target") + delta, "relocation target");
    }
    walked += blockSize;
  }
}

// Walks the import descriptors and their thunk arrays; with bind false it only checks them. With
// bind true every import must resolve, else the image is refused.
void linkImports(Mapping& m, const DataDirectory& dir, TModuleHost& host, bool bind) {
  if (dir.rva == 0)
    return;
  std::uint32_t libraries = 0, thunks = 0;
  for (std::uint64_t d = dir.rva;; d += pe::kImportDescriptorSize) {
    if (++libraries > kMaxImportLibraries)
      refuse("more than " + std::to_string(kMaxImportLibraries) + " import descriptors");
    if (!m.has(d, pe::kImportDescriptorSize))
      refuse("import descriptor at " + hex(static_cast<std::uint32_t>(d)) +
             " lies outside the image");
    const std::uint32_t nameRva = m.u32(d + pe::kImpName, "import descriptor");
    if (nameRva == 0)
      break;
    const std::string_view name = m.text(nameRva, "import library name");
    const std::uint32_t addressTable = m.u32(d + pe::kImpFirstThunk, "import descriptor");
    const std::uint32_t lookupTable =
        m.u32(d + pe::kImpTimeDateStamp, "import descriptor") != 0
            ? m.u32(d + pe::kImpOriginalFirstThunk, "import descriptor")
            : addressTable;
    void* library = bind ? m.library(name) : nullptr;
    for (std::uint64_t i = 0;; ++i) {
      const std::uint32_t thunk = m.u32(lookupTable + 4 * i, "import lookup entry");
      if (thunk == 0)
        break;
      if (++thunks > kMaxImportThunks)
        refuse("more than " + std::to_string(kMaxImportThunks) + " imported functions");
      const std::uint64_t slot = addressTable + 4 * i;
      if (!m.has(slot, 4))
        refuse("import address slot " + hex(static_cast<std::uint32_t>(slot)) +
               " lies outside the image");
      void* address = nullptr;
      if ((thunk & pe::kImportByOrdinal) != 0) {
        if (bind && library != nullptr)
          address = host.ProcByOrdinal(library, static_cast<std::uint16_t>(thunk & 0xFFFF));
      } else {
        const std::string_view procName = m.text(std::uint64_t{thunk} + 2, "imported name");
        if (bind && library != nullptr)
          address = host.ProcByName(library, std::string(procName));
      }
      // Code that calls through an empty slot jumps to address 0: an image whose imports do
      // not all resolve is refused before any of its code runs.
      if (bind && library == nullptr)
        refuse("cannot load " + std::string(name) + ", which the image imports from");
      if (bind && address == nullptr)
        refuse((thunk & pe::kImportByOrdinal) != 0
                   ? std::string(name) + " has no export of ordinal " +
                         std::to_string(thunk & 0xFFFF)
                   : std::string(name) + " has no export named " +
                         std::string(m.text(std::uint64_t{thunk} + 2, "imported name")));
      // Address table slots are 32 bits wide: the module is 32-bit code.
      if (bind)
        m.put32(slot, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address)),
                "import address slot");
    }
  }
}

struct ExportTable {
  std::uint32_t functions = 0, names = 0, ordinals = 0, functionCount = 0, nameCount = 0;
};

ExportTable checkExports(const Mapping& m, const DataDirectory& dir) {
  ExportTable t;
  if (dir.rva == 0)
    return t;
  if (!m.has(dir.rva, pe::kExportDirectorySize))
    refuse("export directory at " + hex(dir.rva) + " lies outside the image");
  t.functionCount = m.u32(dir.rva + std::uint64_t{pe::kExpNumberOfFunctions}, "export directory");
  t.nameCount = m.u32(dir.rva + std::uint64_t{pe::kExpNumberOfNames}, "export directory");
  t.functions = m.u32(dir.rva + std::uint64_t{pe::kExpAddressOfFunctions}, "export directory");
  t.names = m.u32(dir.rva + std::uint64_t{pe::kExpAddressOfNames}, "export directory");
  t.ordinals = m.u32(dir.rva + std::uint64_t{pe::kExpAddressOfNameOrdinals}, "export directory");
  if (t.functionCount > kMaxExports || t.nameCount > kMaxExports)
    refuse("export directory claims more than " + std::to_string(kMaxExports) + " entries");
  if (t.nameCount != 0 && (!m.has(t.names, std::uint64_t{t.nameCount} * 4) ||
                           !m.has(t.ordinals, std::uint64_t{t.nameCount} * 2)))
    refuse("export name tables lie outside the image");
  if (!m.has(t.functions, std::uint64_t{t.functionCount} * 4))
    refuse("export address table lies outside the image");
  for (std::uint32_t i = 0; i < t.nameCount; ++i) {
    m.text(m.u32(t.names + std::uint64_t{i} * 4, "export name"), "export name");
    if (m.u16(t.ordinals + std::uint64_t{i} * 2, "export ordinal") >= t.functionCount)
      refuse("export " + std::to_string(i) + " names a function past the address table");
  }
  return t;
}

std::optional<std::uint16_t> parseOrdinal(std::string_view digits) {
  if (digits.empty() || digits.size() > 5)
    return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > 0xFFFF)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// A forwarder "LIBRARY.Name" or "LIBRARY.#ordinal" resolved through the host.
void* forward(Mapping& m, TModuleHost& host, std::string_view text) {
  const auto dot = text.find('.');
  if (dot == std::string_view::npos)
    return nullptr;
  void* library = m.library(text.substr(0, dot));
  if (library == nullptr)
    return nullptr;
  const std::string_view symbol = text.substr(dot + 1);
  if (!symbol.empty() && symbol.front() == '#') {
    const auto ordinal = parseOrdinal(symbol.substr(1));
    return ordinal ? host.ProcByOrdinal(library, *ordinal) : nullptr;
  }
  return host.ProcByName(library, std::string(symbol));
}

// What each wanted export resolves to, read while the whole image is still readable: the page
// protections may leave the export table unreadable, and the module must not be read after it
// runs anyway.
struct PlannedExport {
  void** target;
  std::uint32_t rva;     // inside the image, when forwarder is empty
  std::string forwarder; // "LIBRARY.Name" or "LIBRARY.#ordinal"
};

std::vector<PlannedExport> planExports(const Mapping& m, const DataDirectory& dir,
                                       const ExportTable& t, std::span<const TImportItem> wanted) {
  std::vector<PlannedExport> plan;
  for (std::uint32_t i = 0; i < t.nameCount; ++i) {
    const std::string_view name =
        m.text(m.u32(t.names + std::uint64_t{i} * 4, "export name"), "export name");
    for (const auto& item : wanted) {
      if (item.Target == nullptr || item.Name != name)
        continue;
      const std::uint16_t ordinal = m.u16(t.ordinals + std::uint64_t{i} * 2, "export ordinal");
      const std::uint32_t rva = m.u32(t.functions + std::uint64_t{ordinal} * 4, "export address");
      if (rva >= dir.rva && rva - dir.rva < dir.size)
        plan.push_back({item.Target, rva, std::string(m.text(rva, "export forwarder"))});
      else if (rva < m.size())
        plan.push_back({item.Target, rva, {}});
      // An address outside the image is no address; the target keeps its value.
    }
  }
  return plan;
}

void resolveExports(Mapping& m, TModuleHost& host, const std::vector<PlannedExport>& plan) {
  for (const auto& p : plan)
    *p.target =
        p.forwarder.empty() ? static_cast<void*>(m.base() + p.rva) : forward(m, host, p.forwarder);
}

void protect(Mapping& m, const Headers& h, bool mayExecute) {
  using platform::PageAccess;
  platform::protectImageMemory(m.base(), h.sizeOfHeaders, PageAccess::ReadOnly, false);
  for (const auto& s : h.sections) {
    PageAccess access = accessFor(s.characteristics);
    if (!mayExecute) {
      // Where image code is never run, its pages are never executable either.
      switch (access) {
      case PageAccess::Execute:
      case PageAccess::ExecuteRead:
        access = PageAccess::ReadOnly;
        break;
      case PageAccess::ExecuteReadWrite:
        access = PageAccess::ReadWrite;
        break;
      case PageAccess::ExecuteWriteCopy:
        access = PageAccess::WriteCopy;
        break;
      default:
        break;
      }
    }
    platform::protectImageMemory(m.base() + s.virtualAddress, s.virtualSize, access,
                                 (s.characteristics & pe::kScnMemNotCached) != 0);
  }
}

class SystemHost final : public TModuleHost {
public:
  void* LoadLibrary(const std::string& name) override { return platform::loadSystemLibrary(name); }
  void* FindLibrary(const std::string& name) override { return platform::findSystemLibrary(name); }
  void* ProcByName(void* library, const std::string& name) override {
    return platform::systemLibraryProc(library, name);
  }
  void* ProcByOrdinal(void* library, std::uint16_t ordinal) override {
    return platform::systemLibraryOrdinal(library, ordinal);
  }
  void ReleaseLibrary(const std::string& name) override {
    platform::releaseSystemLibrary(platform::findSystemLibrary(name));
  }
  bool CallEntry(void* entry, void* module, std::uint32_t reason) override {
    return platform::callPeEntryPoint(entry, module, reason);
  }
};

bool isSharedObject(std::span<const std::byte> image) {
  static constexpr std::string_view kElfMagic{"\x7F"
                                              "ELF",
                                              4};
  return image.size() >= kElfMagic.size() &&
         std::memcmp(image.data(), kElfMagic.data(), kElfMagic.size()) == 0;
}

void loadSharedObject(std::span<const std::byte> image, std::span<const TImportItem> wanted,
                      TLibInfo& result) {
  std::string error;
  void* object = platform::loadSharedObjectFromMemory(image, error);
  if (object == nullptr)
    refuse("shared object refused: " + error);
  for (const auto& item : wanted)
    if (item.Target != nullptr)
      if (void* address = platform::sharedObjectSymbol(object, item.Name))
        *item.Target = address;
  result = TLibInfo{};
  result.ModuleBase = object;
  result.SharedObject = true;
}

void loadPeImage(std::span<const std::byte> image, std::span<const TImportItem> wanted,
                 TLibInfo& result, TModuleHost& host, bool mayExecute) {
  const Headers h = readHeaders(image);
  Mapping m(h.sizeOfImage, host);
  mapSections(m, h, image);

  // Every directory is proven sound before anything is patched, bound or run.
  relocate(m, h.relocations, 0, false);
  linkImports(m, h.imports, host, false);
  const ExportTable exports = checkExports(m, h.exports);

  // The delta is applied even when it is zero; the image is 32-bit, so it wraps at 32 bits.
  const auto delta =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m.base())) - h.imageBase;
  relocate(m, h.relocations, delta, true);
  linkImports(m, h.imports, host, true);
  const auto plan = planExports(m, h.exports, exports, wanted);
  protect(m, h, mayExecute);

  void* entry = h.entryPoint != 0 ? m.base() + h.entryPoint : nullptr;
  if (entry != nullptr && !host.CallEntry(entry, m.base(), kDllProcessAttach))
    refuse("the entry point refused to attach");

  resolveExports(m, host, plan);

  TLibInfo loaded;
  loaded.EntryPoint = entry;
  loaded.LoadedLibraries = m.takeLibraries();
  loaded.ImageSize = m.reserved();
  loaded.Host = &host;
  loaded.ModuleBase = m.release();
  result = std::move(loaded);
}

} // namespace

TModuleHost& SystemModuleHost() {
  static SystemHost host;
  return host;
}

void LoadModuleImage(std::span<const std::byte> image, std::span<const TImportItem> wanted,
                     TLibInfo& result, TModuleHost* host, std::string* refusal) {
  try {
    // Hosts link PE images; a shared object goes to the system's own dynamic linker only.
    if (host == nullptr && isSharedObject(image)) {
      loadSharedObject(image, wanted, result);
      return;
    }
    if (host == nullptr && !platform::canRunPeImages())
      refuse("PE images are mapped but not run on this system");
    loadPeImage(image, wanted, result, host != nullptr ? *host : SystemModuleHost(),
                host == nullptr);
  } catch (const Refused& e) {
    if (refusal != nullptr)
      *refusal = e.what();
  }
}

bool FreeModuleImage(TLibInfo& module) {
  if (module.SharedObject) {
    platform::releaseSharedObject(module.ModuleBase);
  } else if (module.ModuleBase != nullptr) {
    TModuleHost& host = module.Host != nullptr ? *module.Host : SystemModuleHost();
    if (module.EntryPoint != nullptr)
      host.CallEntry(module.EntryPoint, module.ModuleBase, kDllProcessDetach);
    for (const auto& name : module.LoadedLibraries)
      host.ReleaseLibrary(name);
    platform::releaseImageMemory(static_cast<std::byte*>(module.ModuleBase), module.ImageSize);
  }
  module = TLibInfo{};
  return true;
}

} // namespace kyv::modload
