// cpio archives written field by field, in the newc and crc, odc and binary (either byte order)
// forms, with any header field able to lie: for the reader's and the kernel's tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kyv::test::cpio {

inline std::string hex(std::uint64_t v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(v));
  return buf;
}
inline std::string octal(std::uint64_t v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llo", width, static_cast<unsigned long long>(v));
  return buf;
}

struct Entry {
  std::string name;
  std::string data;
  std::uint32_t mode = 0100644;
  // Lies: what the header says instead of the truth (when set).
  std::optional<std::uint64_t> size, nameSize, check;
};

inline void pad(std::string& s, std::size_t to) {
  while (s.size() % to != 0)
    s += '\0';
}

inline std::string newc(const std::vector<Entry>& entries, bool crc = false, bool trailer = true) {
  std::string out;
  std::vector<Entry> all = entries;
  if (trailer)
    all.push_back({"TRAILER!!!", "", 0});
  for (const Entry& e : all) {
    std::uint32_t sum = 0;
    for (const char c : e.data)
      sum += static_cast<unsigned char>(c);
    out += crc ? "070702" : "070701";
    out += hex(1, 8) + hex(e.mode, 8) + hex(0, 8) + hex(0, 8) + hex(1, 8) + hex(0, 8);
    out += hex(e.size.value_or(e.data.size()), 8) + hex(0, 8) + hex(0, 8) + hex(0, 8) + hex(0, 8);
    out += hex(e.nameSize.value_or(e.name.size() + 1), 8) + hex(e.check.value_or(crc ? sum : 0), 8);
    out += e.name;
    out += '\0';
    pad(out, 4);
    out += e.data;
    pad(out, 4);
  }
  return out;
}

inline std::string odc(const std::vector<Entry>& entries) {
  std::string out;
  std::vector<Entry> all = entries;
  all.push_back({"TRAILER!!!", "", 0});
  for (const Entry& e : all) {
    out += "070707" + octal(0, 6) + octal(1, 6) + octal(e.mode, 6) + octal(0, 6) + octal(0, 6) +
           octal(1, 6) + octal(0, 6) + octal(0, 11) +
           octal(e.nameSize.value_or(e.name.size() + 1), 6) +
           octal(e.size.value_or(e.data.size()), 11);
    out += e.name;
    out += '\0';
    out += e.data;
  }
  return out;
}

inline std::string binary(const std::vector<Entry>& entries, bool bigEndian) {
  std::string out;
  const auto word = [&](std::uint32_t v) {
    const char lo = static_cast<char>(v & 0xFF), hi = static_cast<char>((v >> 8) & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  std::vector<Entry> all = entries;
  all.push_back({"TRAILER!!!", "", 0});
  for (const Entry& e : all) {
    const std::uint64_t size = e.size.value_or(e.data.size());
    word(070707);
    word(0);
    word(1);
    word(e.mode);
    word(0);
    word(0);
    word(1);
    word(0);
    word(0);
    word(0);
    word(static_cast<std::uint32_t>(e.nameSize.value_or(e.name.size() + 1)));
    word(static_cast<std::uint32_t>(size >> 16));
    word(static_cast<std::uint32_t>(size & 0xFFFF));
    out += e.name;
    out += '\0';
    pad(out, 2);
    out += e.data;
    pad(out, 2);
  }
  return out;
}

} // namespace kyv::test::cpio
