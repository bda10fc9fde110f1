#include "engine/messages.h"

namespace kyv::engine {

namespace {
// Windows-1251: " Файл ", " поврежден", and the version text up to the address.
constexpr std::string_view kFile = " \xD4\xE0\xE9\xEB ";
constexpr std::string_view kDamaged = " \xEF\xEE\xE2\xF0\xE5\xE6\xE4\xE5\xED";
constexpr std::string_view kNewer =
    " \xED\xE5 \xEC\xEE\xE6\xE5\xF2 \xE8\xF1\xEF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xFC\xF1\xFF "
    "\xF2\xE5\xEA\xF3\xF9\xE5\xE9 \xE2\xE5\xF0\xF1\xE8\xE5\xE9 KYV. "
    "\xCF\xEE\xE6\xE0\xEB\xF3\xE9\xF1\xF2\xE0 \xEE\xE1\xED\xEE\xE2\xE8\xF2\xE5 "
    "\xE2\xE5\xF0\xF1\xE8\xFE KYV \xF1 ";
} // namespace

std::string DamagedFileMessage(std::string_view fileName) {
  std::string text = "KYV-001";
  text.append(kFile).append(fileName).append(kDamaged);
  return text;
}

std::string NewerVersionMessage(std::string_view fileName) {
  std::string text = "KYV-002";
  text.append(kFile).append(fileName).append(kNewer).append(kMakerAddress);
  return text;
}

std::string_view FileNameOf(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace kyv::engine
