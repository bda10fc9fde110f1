// Where the test modules stand: beside the test executables, in the build's bin folder.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/system.h"

namespace kyv::test {

// The path of a test module, empty when this build did not make it.
inline std::filesystem::path testModule(std::string_view name) {
  const std::filesystem::path exe = platform::moduleFileName();
  const std::filesystem::path path = exe.parent_path() / name;
  return std::filesystem::exists(path) ? path : std::filesystem::path{};
}

} // namespace kyv::test

#define KYV_REQUIRE_TEST_MODULE(var, name)                                                         \
  const auto var = ::kyv::test::testModule(name);                                                  \
  if (var.empty())                                                                                 \
  GTEST_SKIP() << "test module not built: " << (name)
