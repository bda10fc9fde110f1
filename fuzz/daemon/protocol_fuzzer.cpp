// A client's bytes as the daemon reads them: commands one after another, the data of an
// INSTREAM fed in pieces of whatever size the network gives, and finding names turned into wire
// NAMEs. Besides memory errors it checks the parser's and the decoder's own promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/command.h"
#include "daemon/instream.h"
#include "daemon/reply.h"

namespace {

constexpr std::size_t kMaxInput = 1 << 20;

void checkCommands(std::string_view text) {
  bool first = true;
  while (!text.empty()) {
    const kyv::daemon::ParseResult r = kyv::daemon::ParseCommand(text, first);
    if (r.status != kyv::daemon::ParseStatus::Complete)
      return;
    if (r.consumed == 0 || r.consumed > text.size() || r.command.argument.size() >= r.consumed)
      std::abort();
    text.remove_prefix(r.consumed);
    first = false;
  }
}

// The first byte picks the limit and the piece size, as a slow or greedy client would.
void checkStream(std::string_view text, std::uint64_t limit, std::size_t piece) {
  kyv::daemon::ChunkDecoder decoder(limit);
  std::uint64_t payload = 0;
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  for (std::size_t at = 0; at < text.size() && !decoder.Finished();) {
    std::span<const std::byte> in(bytes + at, std::min(piece, text.size() - at));
    const kyv::daemon::ChunkDecoder::Step s = decoder.Feed(in);
    if (s.consumed > in.size() || s.data.size() > s.consumed)
      std::abort();
    payload += s.data.size();
    at += s.consumed;
    if (s.consumed == 0 && !decoder.Finished())
      std::abort(); // no progress on bytes it could take
  }
  if (payload > limit || payload > decoder.Total())
    std::abort();
}

void checkNames(std::string_view text) {
  std::vector<kyv::daemon::NamedFinding> findings;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == '\n') {
      const std::string_view name = text.substr(start, i - start);
      findings.push_back({name.size() % 2 == 0 ? 1 : 2, name});
      start = i + 1;
    }
  const std::string wire = kyv::daemon::WireName(findings);
  if (wire.empty() || wire.size() > kyv::daemon::kMaxWireName)
    std::abort();
  for (const char c : wire)
    if (c == ' ' || c == ':' || c == '\0' || c == '\n')
      std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxInput)
    return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const unsigned mode = data[0];
  checkCommands(text);
  checkStream(text, (mode & 0x0F) == 0 ? ~std::uint64_t{0} : (mode & 0x0F) * 97u, 1 + (mode >> 4));
  checkNames(text.substr(0, 4096));
  return 0;
}
