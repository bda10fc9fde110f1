// The text input of the decoder benchmarks: every gzip'd file under /usr/share/doc, decompressed
// (by zlib) and concatenated in name order, up to a limit. Real prose, manuals and change logs,
// the same on every machine with the same packages.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <vector>

namespace kyv::bench {

inline std::vector<char> gunzipFile(const std::filesystem::path& path) {
  std::vector<char> out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr)
    return out;
  char buf[65536];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0)
    out.insert(out.end(), buf, buf + n);
  gzclose(f);
  return out;
}

inline std::vector<char> docText(std::size_t limit) {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(
           "/usr/share/doc", std::filesystem::directory_options::skip_permission_denied))
    if (e.is_regular_file() && e.path().extension() == ".gz")
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<char> all;
  for (const auto& f : files) {
    const std::vector<char> t = gunzipFile(f);
    all.insert(all.end(), t.begin(), t.end());
    if (all.size() >= limit)
      break;
  }
  all.resize(std::min(all.size(), limit));
  return all;
}

} // namespace kyv::bench
