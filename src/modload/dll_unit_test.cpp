#include "modload/dll_unit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "base/endian.h"
#include "test_modules.h"
#include "platform/module.h"
#include "test_support.h"

namespace kyv::modload {
namespace {

using test::readFile;

// A host that links against addresses it makes up and records what the loader asks of it. It
// never runs image code: the entry point "answers" what the test says.
class FakeHost final : public TModuleHost {
public:
  static constexpr std::uintptr_t kHandle = 0x1000;
  static std::uintptr_t nameAddress(const std::string& name) {
    return 0x70000000u + static_cast<std::uintptr_t>(std::hash<std::string>{}(name)&0xFFFFF0u);
  }
  static std::uintptr_t ordinalAddress(std::uint16_t ordinal) {
    return 0x71000000u + ordinal * 16u;
  }

  void* LoadLibrary(const std::string& name) override {
    loads.push_back(name);
    return refuseLoads ? nullptr : reinterpret_cast<void*>(kHandle);
  }
  void* FindLibrary(const std::string& name) override {
    finds.push_back(name);
    return reinterpret_cast<void*>(kHandle);
  }
  void* ProcByName(void*, const std::string& name) override {
    if (name == missingName)
      return nullptr;
    return reinterpret_cast<void*>(nameAddress(name));
  }
  void* ProcByOrdinal(void*, std::uint16_t ordinal) override {
    return reinterpret_cast<void*>(ordinalAddress(ordinal));
  }
  void ReleaseLibrary(const std::string& name) override { releases.push_back(name); }
  bool CallEntry(void* entry, void* module, std::uint32_t reason) override {
    entryCalls.push_back(reason);
    lastEntry = entry;
    lastModule = module;
    return attachAnswer;
  }

  std::vector<std::string> loads, finds, releases;
  std::vector<std::uint32_t> entryCalls;
  void* lastEntry = nullptr;
  void* lastModule = nullptr;
  bool attachAnswer = true;
  bool refuseLoads = false;
  std::string missingName; // a name the library does not export
};

// Minimal PE walking for the tests' own patching: file offset of an RVA through the sections.
struct PeFile {
  std::vector<std::byte> bytes;
  std::uint32_t nt() const { return loadLe32(bytes.data() + 0x3C); }
  std::uint32_t opt() const { return nt() + 24; }
  std::uint32_t dirField(unsigned index) const { return opt() + 96 + index * 8; }
  std::uint32_t u32(std::size_t at) const { return loadLe32(bytes.data() + at); }
  void put32(std::size_t at, std::uint32_t v) { storeLe32(bytes.data() + at, v); }
  std::uint32_t sectionTable() const { return opt() + loadLe16(bytes.data() + nt() + 20); }
  unsigned sectionCount() const { return loadLe16(bytes.data() + nt() + 6); }
  std::uint32_t section(std::string_view name) const {
    for (unsigned i = 0; i < sectionCount(); ++i) {
      const std::uint32_t s = sectionTable() + 40 * i;
      if (std::string_view(reinterpret_cast<const char*>(bytes.data() + s)).substr(0, 8) == name)
        return s;
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
  std::size_t fileOffset(std::uint32_t rva) const {
    for (unsigned i = 0; i < sectionCount(); ++i) {
      const std::uint32_t s = sectionTable() + 40 * i;
      const std::uint32_t va = u32(s + 12), raw = u32(s + 16), ptr = u32(s + 20);
      if (rva >= va && rva < va + raw)
        return ptr + (rva - va);
    }
    ADD_FAILURE() << "rva not in the file";
    return 0;
  }
};

std::uint32_t low32(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}
// The 32-bit value stored at a mapped address.
std::uint32_t at32(const void* p) { return loadLe32(static_cast<const std::byte*>(p)); }
// A 32-bit address inside a mapping turned back into a native pointer.
const std::byte* inside(const TLibInfo& lib, std::uint32_t address) {
  return static_cast<const std::byte*>(lib.ModuleBase) + (address - low32(lib.ModuleBase));
}

struct Wanted {
  void* value = nullptr;
  void* pointer = nullptr;
  void* addSlot = nullptr;
  void* twelveSlot = nullptr;
  void* noteSlot = nullptr;
  void* forwardedAdd = nullptr;
  void* forwardedTwelve = nullptr;
  void* missing = reinterpret_cast<void*>(0xBADC0DE);
  std::vector<TImportItem> items() {
    return {{"TestValue", &value},
            {"TestPointer", &pointer},
            {"TestAddSlot", &addSlot},
            {"TestTwelveSlot", &twelveSlot},
            {"TestNoteSlot", &noteSlot},
            {"ForwardedAdd", &forwardedAdd},
            {"ForwardedTwelve", &forwardedTwelve},
            {"NotExported", &missing}};
  }
};

TEST(ModuleLoader, MapsRelocatesBindsAndExportsThroughAHost) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  const auto image = readFile(path);
  FakeHost host;
  Wanted w;
  const auto items = w.items();
  TLibInfo lib;
  std::string why;
  LoadModuleImage(image, items, lib, &host, &why);
  ASSERT_NE(lib.ModuleBase, nullptr) << why;

  // The relocated pointer holds the mapped address of the value, whatever the delta was.
  ASSERT_NE(w.value, nullptr);
  EXPECT_EQ(at32(w.value), 0x5A5A1234u);
  EXPECT_EQ(at32(w.pointer), low32(w.value));

  // Imports by name and by ordinal, from two descriptors naming one library in two letter cases:
  // loaded once, recorded once, the second one asked of the system by name.
  EXPECT_EQ(at32(inside(lib, at32(w.addSlot))),
            low32(reinterpret_cast<void*>(FakeHost::nameAddress("HelperAdd"))));
  EXPECT_EQ(at32(inside(lib, at32(w.twelveSlot))),
            low32(reinterpret_cast<void*>(FakeHost::ordinalAddress(12))));
  EXPECT_EQ(at32(inside(lib, at32(w.noteSlot))),
            low32(reinterpret_cast<void*>(FakeHost::nameAddress("HelperNote"))));
  EXPECT_EQ(host.loads.front(), "kyvmodhelp.dll");
  EXPECT_EQ(std::count(host.loads.begin(), host.loads.end(), "kyvmodhelp.dll"), 1);
  EXPECT_EQ(host.finds.front(), "KYVMODHELP.DLL");

  // Forwarders to a name and to "#12" go through the named library ("kyvmodhelp", a new name).
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w.forwardedAdd), FakeHost::nameAddress("HelperAdd"));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w.forwardedTwelve), FakeHost::ordinalAddress(12));
  EXPECT_EQ(lib.LoadedLibraries, (TStringArray{"kyvmodhelp.dll", "kyvmodhelp"}));
  EXPECT_EQ(w.missing, reinterpret_cast<void*>(0xBADC0DE));

  // Attached once with the reservation as module handle.
  EXPECT_EQ(host.entryCalls, (std::vector<std::uint32_t>{kDllProcessAttach}));
  EXPECT_EQ(host.lastModule, lib.ModuleBase);
  EXPECT_EQ(host.lastEntry, lib.EntryPoint);

  EXPECT_TRUE(FreeModuleImage(lib));
  EXPECT_EQ(host.entryCalls, (std::vector<std::uint32_t>{kDllProcessAttach, kDllProcessDetach}));
  EXPECT_EQ(host.releases, (std::vector<std::string>{"kyvmodhelp.dll", "kyvmodhelp"}));
  EXPECT_EQ(lib.ModuleBase, nullptr);
  EXPECT_TRUE(lib.LoadedLibraries.empty());
}

TEST(ModuleLoader, RefusedAttachReleasesTheModuleAndLeavesTargetsAlone) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  const auto image = readFile(path);
  FakeHost host;
  host.attachAnswer = false;
  Wanted w;
  const auto items = w.items();
  TLibInfo lib;
  std::string why;
  LoadModuleImage(image, items, lib, &host, &why);
  EXPECT_EQ(lib.ModuleBase, nullptr);
  EXPECT_EQ(lib.EntryPoint, nullptr);
  EXPECT_EQ(w.value, nullptr);
  EXPECT_EQ(w.forwardedAdd, nullptr);
  EXPECT_NE(why.find("refused to attach"), std::string::npos) << why;
  // No detach after a refused attach, and the library reference taken is given back.
  EXPECT_EQ(host.entryCalls, (std::vector<std::uint32_t>{kDllProcessAttach}));
  EXPECT_EQ(host.releases, (std::vector<std::string>{"kyvmodhelp.dll"}));
}

// An import that does not resolve would send the module's code to address 0: the image is
// refused before its entry point runs, and what was loaded for it is given back.
TEST(ModuleLoader, UnresolvedImportsRefuseTheImageBeforeItsEntryPoint) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  struct Case {
    const char* what;
    bool refuseLoads;
    const char* missingName;
    const char* reason;
    std::vector<std::string> releases;
  } cases[] = {
      {"library missing", true, "", "cannot load kyvmodhelp.dll", {}},
      {"function missing", false, "HelperAdd", "kyvmodhelp.dll has no export", {"kyvmodhelp.dll"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host;
    host.refuseLoads = c.refuseLoads;
    host.missingName = c.missingName;
    Wanted w;
    const auto items = w.items();
    TLibInfo lib;
    std::string why;
    LoadModuleImage(readFile(path), items, lib, &host, &why);
    EXPECT_EQ(lib.ModuleBase, nullptr);
    EXPECT_TRUE(host.entryCalls.empty());
    EXPECT_EQ(w.value, nullptr);
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_EQ(host.releases, c.releases);
  }
}

// The .data section has a small VirtualSize and raw data rounded up to the file alignment; the
// padding is filled with a marker that must not reach the mapping, which is committed and zero.
TEST(ModuleLoader, SectionCopiesVirtualSizeAndCommitsRawSize) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  PeFile pe{readFile(path)};
  const std::uint32_t s = pe.section(".data");
  const std::uint32_t virtualSize = pe.u32(s + 8), va = pe.u32(s + 12), raw = pe.u32(s + 16),
                      ptr = pe.u32(s + 20);
  ASSERT_LT(virtualSize, raw);
  std::memset(pe.bytes.data() + ptr + virtualSize, 0xCC, raw - virtualSize);
  FakeHost host;
  TLibInfo lib;
  LoadModuleImage(pe.bytes, {}, lib, &host);
  ASSERT_NE(lib.ModuleBase, nullptr);
  const auto* mapped = static_cast<const std::byte*>(lib.ModuleBase) + va;
  for (std::uint32_t i = virtualSize; i < raw; ++i)
    ASSERT_EQ(mapped[i], std::byte{0}) << "offset " << i;
  FreeModuleImage(lib);
}

TEST(ModuleLoader, ImageWithoutDirectoriesOrEntryLoads) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  PeFile pe{readFile(path)};
  for (unsigned dir : {0u, 1u, 5u}) {
    pe.put32(pe.dirField(dir), 0);
    pe.put32(pe.dirField(dir) + 4, 0);
  }
  pe.put32(pe.opt() + 16, 0); // AddressOfEntryPoint
  FakeHost host;
  void* target = reinterpret_cast<void*>(0x1234);
  const std::vector<TImportItem> items{{"TestAdd", &target}};
  TLibInfo lib;
  std::string why;
  LoadModuleImage(pe.bytes, items, lib, &host, &why);
  ASSERT_NE(lib.ModuleBase, nullptr) << why;
  EXPECT_EQ(lib.EntryPoint, nullptr);
  EXPECT_EQ(target, reinterpret_cast<void*>(0x1234));
  EXPECT_TRUE(host.loads.empty());
  EXPECT_TRUE(host.entryCalls.empty());
  FreeModuleImage(lib);
  EXPECT_TRUE(host.entryCalls.empty());
}

// Exports are read before the sections get their protections, so a table in a section that
// ends up with no access still resolves.
TEST(ModuleLoader, ExportsInANoAccessSectionResolve) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  PeFile pe{readFile(path)};
  pe.put32(pe.section(".edata") + 36, 0);
  FakeHost host;
  Wanted w;
  const auto items = w.items();
  TLibInfo lib;
  std::string why;
  LoadModuleImage(pe.bytes, items, lib, &host, &why);
  ASSERT_NE(lib.ModuleBase, nullptr) << why;
  EXPECT_NE(w.value, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w.forwardedTwelve), FakeHost::ordinalAddress(12));
  FreeModuleImage(lib);
}

// Each damage must be refused before anything runs: nothing mapped, no target written, every
// library reference given back, and the reason names what failed.
TEST(ModuleLoader, RefusesImagesThatPointOutside) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  const PeFile good{readFile(path)};
  const std::uint32_t sizeOfImage = good.u32(good.opt() + 56);
  struct Case {
    const char* what;
    const char* reason;
    void (*damage)(PeFile&, std::uint32_t sizeOfImage);
  };
  const Case cases[] = {
      {"NT header offset past the file", "NT headers",
       [](PeFile& pe, std::uint32_t) {
         pe.put32(0x3C, static_cast<std::uint32_t>(pe.bytes.size()));
       }},
      {"huge SizeOfImage", "SizeOfImage",
       [](PeFile& pe, std::uint32_t) { pe.put32(pe.opt() + 56, 0x7FFFFFFF); }},
      {"SizeOfHeaders past the image", "SizeOfHeaders",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.opt() + 60, size + 1); }},
      {"too many sections", "sections",
       [](PeFile& pe, std::uint32_t) { storeLe16(pe.bytes.data() + pe.nt() + 6, 200); }},
      {"section raw data past the file", "outside the file",
       [](PeFile& pe, std::uint32_t) {
         pe.put32(pe.section(".text") + 20, static_cast<std::uint32_t>(pe.bytes.size()));
       }},
      {"section past SizeOfImage", "outside SizeOfImage",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.section(".data") + 12, size - 4); }},
      {"relocation directory outside", "relocation directory",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.dirField(5), size); }},
      {"relocation block of size 0", "relocation block",
       [](PeFile& pe, std::uint32_t) { pe.put32(pe.fileOffset(pe.u32(pe.dirField(5))) + 4, 0); }},
      {"relocation block longer than the directory", "relocation block",
       [](PeFile& pe, std::uint32_t) {
         pe.put32(pe.fileOffset(pe.u32(pe.dirField(5))) + 4, 0x10000);
       }},
      {"relocation page outside", "relocation target",
       [](PeFile& pe, std::uint32_t size) {
         pe.put32(pe.fileOffset(pe.u32(pe.dirField(5))), size);
       }},
      {"import descriptors outside", "import descriptor",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.dirField(1), size - 8); }},
      {"import library name outside", "import library name",
       [](PeFile& pe, std::uint32_t size) {
         pe.put32(pe.fileOffset(pe.u32(pe.dirField(1))) + 12, size + 100);
       }},
      {"import thunks outside", "import lookup entry",
       [](PeFile& pe, std::uint32_t size) {
         pe.put32(pe.fileOffset(pe.u32(pe.dirField(1))) + 16, size);
       }},
      {"export directory outside", "export directory",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.dirField(0), size - 4); }},
      {"export names outside", "export name tables",
       [](PeFile& pe, std::uint32_t size) {
         pe.put32(pe.fileOffset(pe.u32(pe.dirField(0))) + 32, size - 4);
       }},
      {"export ordinal past the address table", "past the address table",
       [](PeFile& pe, std::uint32_t) { pe.put32(pe.fileOffset(pe.u32(pe.dirField(0))) + 20, 1); }},
      {"entry point outside", "entry point",
       [](PeFile& pe, std::uint32_t size) { pe.put32(pe.opt() + 16, size); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PeFile pe = good;
    c.damage(pe, sizeOfImage);
    FakeHost host;
    Wanted w;
    const auto items = w.items();
    TLibInfo lib;
    std::string why;
    LoadModuleImage(pe.bytes, items, lib, &host, &why);
    EXPECT_EQ(lib.ModuleBase, nullptr);
    EXPECT_EQ(w.value, nullptr);
    EXPECT_TRUE(host.entryCalls.empty());
    EXPECT_EQ(host.releases.size(), lib.LoadedLibraries.size() + host.loads.size());
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

// Random damage of the test module never crashes the mapping and linking (the host runs nothing).
TEST(ModuleLoader, RandomDamageIsHandled) {
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  const auto good = readFile(path);
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    auto image = good;
    const int flips = 1 + static_cast<int>(random() % 16);
    for (int i = 0; i < flips; ++i) {
      // Most damage goes to the first 0x1000 bytes (headers) and the tables at the end.
      const std::size_t at = (random() % 2 == 0) ? random() % 0x400 : random() % image.size();
      image[at] = static_cast<std::byte>(random());
    }
    FakeHost host;
    Wanted w;
    const auto items = w.items();
    TLibInfo lib;
    LoadModuleImage(image, items, lib, &host);
    FreeModuleImage(lib);
    EXPECT_EQ(lib.ModuleBase, nullptr);
  }
}

// The mapped module's TLS callbacks are never run, so no test module may have a TLS directory.
TEST(ModuleLoader, TestModulesHaveNoThreadLocalStorage) {
  int checked = 0;
  for (const char* name : {"kyvmodhelp.dll", "kyvmodtest.dll", "kyvrarscript.dll"}) {
    const auto path = test::testModule(name);
    if (path.empty())
      continue;
    const PeFile pe{readFile(path)};
    EXPECT_EQ(pe.u32(pe.dirField(9)), 0u) << name;
    EXPECT_EQ(pe.u32(pe.dirField(9) + 4), 0u) << name;
    ++checked;
  }
  if (checked == 0)
    GTEST_SKIP() << "no PE test module built";
}

TEST(ModuleLoader, SystemHostRunsPeImagesOnlyWhereTheyCanRun) {
  if (platform::canRunPeImages())
    GTEST_SKIP() << "this system runs PE images";
  KYV_REQUIRE_TEST_MODULE(path, "kyvmodtest.dll");
  void* target = nullptr;
  const std::vector<TImportItem> items{{"TestAdd", &target}};
  TLibInfo lib;
  std::string why;
  LoadModuleImage(readFile(path), items, lib, nullptr, &why);
  EXPECT_EQ(lib.ModuleBase, nullptr);
  EXPECT_EQ(target, nullptr);
  EXPECT_NE(why.find("not run on this system"), std::string::npos) << why;
}

TEST(ModuleLoader, SharedObjectFromMemory) {
  KYV_REQUIRE_TEST_MODULE(path, "libkyvrarscript.so");
  void* open = nullptr;
  void* close = nullptr;
  void* absent = reinterpret_cast<void*>(0x77);
  const std::vector<TImportItem> items{
      {"RAROpenArchiveEx", &open}, {"RARCloseArchive", &close}, {"NoSuchFunction", &absent}};
  TLibInfo lib;
  std::string why;
  LoadModuleImage(readFile(path), items, lib, nullptr, &why);
  ASSERT_NE(lib.ModuleBase, nullptr) << why;
  EXPECT_NE(open, nullptr);
  EXPECT_NE(close, nullptr);
  EXPECT_EQ(absent, reinterpret_cast<void*>(0x77));
  EXPECT_EQ(lib.EntryPoint, nullptr);
  EXPECT_TRUE(FreeModuleImage(lib));
  EXPECT_EQ(lib.ModuleBase, nullptr);
}

TEST(ModuleLoader, DamagedSharedObjectIsRefused) {
  KYV_REQUIRE_TEST_MODULE(path, "libkyvrarscript.so");
  auto image = readFile(path);
  image.resize(200); // the ELF magic stays, the rest is gone
  void* open = nullptr;
  const std::vector<TImportItem> items{{"RAROpenArchiveEx", &open}};
  TLibInfo lib;
  std::string why;
  LoadModuleImage(image, items, lib, nullptr, &why);
  EXPECT_EQ(lib.ModuleBase, nullptr);
  EXPECT_EQ(open, nullptr);
  EXPECT_FALSE(why.empty());
}

// Under Wine (or Windows) the module runs for real, bound to the real helper library.
class RunningModule : public ::testing::Test {
protected:
  void SetUp() override {
    if (!platform::canRunPeImages())
      GTEST_SKIP() << "PE images are not run on this system";
    path_ = test::testModule("kyvmodtest.dll");
    if (path_.empty())
      GTEST_SKIP() << "test module not built";
    helper_ = platform::loadSystemLibrary("kyvmodhelp.dll");
    ASSERT_NE(helper_, nullptr);
    attachCalls_ =
        reinterpret_cast<int (*)()>(platform::systemLibraryProc(helper_, "HelperAttachCalls"));
    detachCalls_ =
        reinterpret_cast<int (*)()>(platform::systemLibraryProc(helper_, "HelperDetachCalls"));
    setRefuse_ =
        reinterpret_cast<void (*)(int)>(platform::systemLibraryProc(helper_, "HelperSetRefuse"));
    ASSERT_TRUE(attachCalls_ && detachCalls_ && setRefuse_);
  }
  void TearDown() override {
    if (helper_ == nullptr)
      return;
    setRefuse_(0);
    platform::releaseSystemLibrary(helper_);
    // Every reference the loader took has been given back with ours.
    EXPECT_EQ(platform::findSystemLibrary("kyvmodhelp.dll"), nullptr);
  }

  std::filesystem::path path_;
  void* helper_ = nullptr;
  int (*attachCalls_)() = nullptr;
  int (*detachCalls_)() = nullptr;
  void (*setRefuse_)(int) = nullptr;
};

TEST_F(RunningModule, CallsThroughRelocatedImportsAndForwarders) {
  void *add = nullptr, *ordinal = nullptr, *readPointer = nullptr, *fAdd = nullptr,
       *fTwelve = nullptr;
  const std::vector<TImportItem> items{{"TestAdd", &add},
                                       {"TestOrdinal", &ordinal},
                                       {"TestReadPointer", &readPointer},
                                       {"ForwardedAdd", &fAdd},
                                       {"ForwardedTwelve", &fTwelve}};
  const int attached = attachCalls_(), detached = detachCalls_();
  TLibInfo lib;
  std::string why;
  LoadModuleImage(readFile(path_), items, lib, nullptr, &why);
  ASSERT_NE(lib.ModuleBase, nullptr) << why;
  EXPECT_EQ(attachCalls_(), attached + 1);
  ASSERT_TRUE(add && ordinal && readPointer && fAdd && fTwelve);
  EXPECT_EQ(reinterpret_cast<int (*)(int, int)>(add)(2, 3), 5);
  EXPECT_EQ(reinterpret_cast<int (*)()>(ordinal)(), 12);
  EXPECT_EQ(reinterpret_cast<int (*)()>(readPointer)(), 0x5A5A1234);
  EXPECT_EQ(reinterpret_cast<int (*)(int, int)>(fAdd)(40, 2), 42);
  EXPECT_EQ(reinterpret_cast<int (*)()>(fTwelve)(), 12);
  EXPECT_EQ(lib.LoadedLibraries, (TStringArray{"kyvmodhelp.dll", "kyvmodhelp"}));
  EXPECT_TRUE(FreeModuleImage(lib));
  EXPECT_EQ(detachCalls_(), detached + 1);
  EXPECT_TRUE(lib.LoadedLibraries.empty());
}

TEST_F(RunningModule, RefusedAttachGetsNoDetach) {
  setRefuse_(1);
  void* add = nullptr;
  const std::vector<TImportItem> items{{"TestAdd", &add}};
  const int attached = attachCalls_(), detached = detachCalls_();
  TLibInfo lib;
  LoadModuleImage(readFile(path_), items, lib);
  EXPECT_EQ(lib.ModuleBase, nullptr);
  EXPECT_EQ(add, nullptr);
  EXPECT_EQ(attachCalls_(), attached + 1);
  FreeModuleImage(lib);
  EXPECT_EQ(detachCalls_(), detached);
}

} // namespace
} // namespace kyv::modload
