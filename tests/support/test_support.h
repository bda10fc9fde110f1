// Shared helpers for the unit and end-to-end tests.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::test {

// The third-party fixture folder (environment KYV_FIXTURES, else tests/fixtures). Throws
// when it is missing, so a test without its data fails instead of passing unseen.
std::filesystem::path fixturesDir();
// A fixture file by its path below the fixture folder; throws when the file is missing.
std::filesystem::path fixture(std::string_view relative);
// The source tree (environment KYV_SOURCE_DIR, else the tree this was built from).
std::filesystem::path sourceDir();

std::vector<std::byte> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes);
void writeFile(const std::filesystem::path& path, std::string_view text);

std::vector<std::byte> bytesOf(std::string_view text);
std::string textOf(std::span<const std::byte> bytes);
// Base64 in one line with "=" padding (the encoder tests need to make data; nothing decodes with
// it).
std::string base64Of(std::string_view bytes);

// A fresh folder for one test, removed with everything in it when the object goes.
class ScratchDir {
public:
  ScratchDir();
  // Inside parent rather than the temporary folder (a memory file system for many small files).
  explicit ScratchDir(const std::filesystem::path& parent);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

// Runs a shell command (native builds only); returns its exit status.
int run(const std::string& command);
// Whether a program is on PATH (native builds only; false on Windows).
bool haveProgram(const std::string& name);

} // namespace kyv::test

#define KYV_REQUIRE_FIXTURE(var, rel) const auto var = ::kyv::test::fixture(rel)
