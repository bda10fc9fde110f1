#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace kyv::test {

namespace fs = std::filesystem;

// Missing test data is a failure, never a quiet skip: a test that cannot see its input has not
// shown anything.
fs::path fixturesDir() {
  const char* dir = std::getenv("KYV_FIXTURES");
  if (dir == nullptr || *dir == '\0')
    dir = KYV_DEFAULT_FIXTURES;
  if (!fs::is_directory(dir))
    throw std::runtime_error(std::string("fixture folder missing: ") + dir);
  return dir;
}

fs::path fixture(std::string_view relative) {
  fs::path p = fixturesDir() / relative;
  if (!fs::exists(p))
    throw std::runtime_error("fixture missing: " + p.string());
  return p;
}

fs::path sourceDir() {
  const char* dir = std::getenv("KYV_SOURCE_DIR");
  return dir != nullptr && *dir != '\0' ? fs::path(dir) : fs::path(KYV_DEFAULT_SOURCE_DIR);
}

std::vector<std::byte> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i)
    bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

void writeFile(const fs::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
}

void writeFile(const fs::path& path, std::string_view text) {
  writeFile(path, std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()));
}

std::vector<std::byte> bytesOf(std::string_view text) {
  std::vector<std::byte> bytes(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    bytes[i] = static_cast<std::byte>(text[i]);
  return bytes;
}

std::string textOf(std::span<const std::byte> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string base64Of(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k)
      text += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

ScratchDir::ScratchDir() : ScratchDir(fs::temp_directory_path()) {}

ScratchDir::ScratchDir(const fs::path& parent) {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  for (;;) {
    path_ = parent / ("kyvtest_" + std::to_string(rd()) + "_" + std::to_string(counter++));
    if (fs::create_directory(path_))
      break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
#ifdef _WIN32
  return status;
#else
  if (status == -1)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

bool haveProgram(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return false;
#else
  return run("command -v " + name + " >/dev/null 2>&1") == 0;
#endif
}

} // namespace kyv::test
