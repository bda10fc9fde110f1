// The verdict text of one file with very many findings (an archive of tens of thousands of
// infected members): the time to build it for 10,000 to 80,000 findings, beside the way that
// asked the whole list for its trimmed copy before each name (which grows with the square of
// the count). Linear building keeps time per finding flat as the count doubles.
//
//   verdict_bench [largest count]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text.h"
#include "plugin/verdict.h"

using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> names(std::size_t n) {
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t k = 0; k < n; ++k)
    out.push_back("Trojan.Generic." + std::to_string(100000 + k));
  return out;
}

// Every tenth finding suspicious, as a partial match would be.
double buildNow(const std::vector<std::string>& found, std::size_t& length) {
  const auto start = Clock::now();
  std::string text;
  std::int32_t code = 0;
  for (std::size_t k = 0; k < found.size(); ++k)
    kyv::plugin::AddFinding(text, code, k % 10 == 9 ? 2 : 1, found[k]);
  length = text.size();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The former rule: the list was trimmed into a copy before every name.
double buildCopying(const std::vector<std::string>& found, std::size_t& length) {
  const auto start = Clock::now();
  std::string text;
  for (std::size_t k = 0; k < found.size(); ++k) {
    const std::string item = k % 10 == 9 ? "Suspictios: " + found[k] : found[k];
    if (kyv::TrimBlanks(item).empty())
      continue;
    if (!kyv::TrimBlanks(text).empty())
      text += ',';
    text += item;
  }
  length = text.size();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 80000;
  std::printf("%10s %12s %14s %14s %16s %10s\n", "findings", "text bytes", "now (ms)", "ns/finding",
              "copying (ms)", "copy/now");
  double first = 0;
  double last = 0;
  std::size_t firstCount = 0;
  std::size_t lastCount = 0;
  for (std::size_t n = 10000; n <= largest; n *= 2) {
    const auto found = names(n);
    std::size_t lengthNow = 0;
    std::size_t lengthCopy = 0;
    double now = 1e9;
    for (int rep = 0; rep < 25; ++rep)
      now = std::min(now, buildNow(found, lengthNow));
    const double copying = buildCopying(found, lengthCopy);
    if (lengthNow != lengthCopy) {
      std::fprintf(stderr, "texts differ: %zu and %zu bytes\n", lengthNow, lengthCopy);
      return 1;
    }
    std::printf("%10zu %12zu %14.3f %14.1f %16.1f %10.0f\n", n, lengthNow, now * 1e3,
                now * 1e9 / static_cast<double>(n), copying * 1e3, copying / now);
    if (first == 0) {
      first = now;
      firstCount = n;
    }
    last = now;
    lastCount = n;
  }
  // Linear: the time grows as the count does (ratio near 1); quadratic: as its square.
  const double growth = static_cast<double>(lastCount) / static_cast<double>(firstCount);
  std::printf("time grew %.1fx for %.0fx the findings (per-finding ratio %.2f)\n", last / first,
              growth, last / first / growth);
  return 0;
}
