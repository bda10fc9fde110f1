// The built module itself, loaded the way a caller loads it: on Windows by the system loader
// (exports looked up by their undecorated names, stdcall calls), elsewhere brought up from its
// bytes in memory. Then one archive is listed and a member extracted through the pointers.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/module.h"
#include "test_support.h"
#include "codec/checksum.h"
#include "unrar/unrar_abi.h"

namespace kyv::unrar {
namespace {

struct Module {
  void* handle = nullptr;
  bool shared = false;
  std::vector<std::byte> bytes;
  explicit Module(const std::string& path) {
    if (platform::canRunPeImages()) {
      handle = platform::loadSystemLibrary(path);
    } else {
      bytes = test::readFile(path);
      std::string error;
      handle = platform::loadSharedObjectFromMemory(bytes, error);
      shared = true;
    }
  }
  ~Module() {
    if (handle == nullptr)
      return;
    if (shared)
      platform::releaseSharedObject(handle);
    else
      platform::releaseSystemLibrary(handle);
  }
  void* proc(const char* name) const {
    return shared ? platform::sharedObjectSymbol(handle, name)
                  : platform::systemLibraryProc(handle, name);
  }
};

TEST(UnrarModule, ExportsTheFourFunctionsAndExtractsThroughThem) {
  KYV_REQUIRE_FIXTURE(path, "rar/koni-rar2_solid.rar");
  Module m(KYV_UNRAR_MODULE);
  ASSERT_NE(m.handle, nullptr) << KYV_UNRAR_MODULE;
  const auto open = reinterpret_cast<RAROpenArchiveExFn>(m.proc("RAROpenArchiveEx"));
  const auto close = reinterpret_cast<RARCloseArchiveFn>(m.proc("RARCloseArchive"));
  const auto read = reinterpret_cast<RARReadHeaderExFn>(m.proc("RARReadHeaderEx"));
  const auto process = reinterpret_cast<RARProcessFileFn>(m.proc("RARProcessFile"));
  ASSERT_TRUE(open && close && read && process);

  std::string name = path.string();
  std::vector<char> comment(16384);
  RAROpenArchiveDataEx data{};
  data.ArcName = name.data();
  data.OpenMode = kOpenExtract;
  data.CmtBuf = comment.data();
  data.CmtBufSize = 16384;
  RarHandle h = open(&data);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(data.OpenResult, 0u);
  test::ScratchDir dir;
  std::string target = (dir / "member.tmp").string();
  // Generous zeroed room past the record, as a careful caller allocates it.
  auto raw = std::make_unique<unsigned char[]>(sizeof(RARHeaderDataEx) + 4096);
  auto* header = reinterpret_cast<RARHeaderDataEx*>(raw.get());
  ASSERT_EQ(read(h, header), kSuccess); // PROSE.TXT, skipped
  EXPECT_EQ(process(h, kOpSkip, nullptr, nullptr), kSuccess);
  ASSERT_EQ(read(h, header), kSuccess); // REPEAT.TXT, solid: needs the skipped member's window
  EXPECT_EQ(header->UnpSize, 128200u);
  EXPECT_EQ(process(h, kOpExtract, nullptr, target.data()), kSuccess);
  EXPECT_EQ(codec::crc32Update(0, test::readFile(target)), 0x8B717527u);
  EXPECT_EQ(read(h, header), kEndArchive);
  EXPECT_EQ(close(h), kSuccess);
}

} // namespace
} // namespace kyv::unrar
