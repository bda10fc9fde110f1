#include "document/utf16_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace kyv::document {
namespace {

// The UTF-16 text is cut into pieces at every byte, so pairs and units split across writes
// are joined as they would be in one piece.
TEST(Utf16Sink, TextPassesAsUtf8WhereverItIsCut) {
  struct Case {
    const char* what;
    std::string utf16;
    std::string utf8;
  };
  const std::vector<Case> cases{
      {"ASCII", std::string("h\0i\0", 4), "hi"},
      {"two and three bytes", std::string("\xE9\x00\x1F\x04\xAC\x20", 6),
       "\xC3\xA9\xD0\x9F\xE2\x82\xAC"},
      {"a surrogate pair", std::string("\x3D\xD8\x00\xDE", 4), "\xF0\x9F\x98\x80"},
      {"a lone second half", std::string("\x00\xDEx\0", 4), "\xEF\xBF\xBDx"},
      {"a first half before a letter", std::string("\x3D\xD8x\0", 4), "\xEF\xBF\xBDx"},
      {"a first half at the end", std::string("x\0\x3D\xD8", 4), "x\xEF\xBF\xBD"},
      {"an odd last byte", std::string("x\0y", 3), "x"},
  };
  for (const Case& c : cases) {
    for (std::size_t cut = 0; cut <= c.utf16.size(); ++cut) {
      SCOPED_TRACE(std::string(c.what) + ", cut at " + std::to_string(cut));
      VectorSink out;
      Utf16LeToUtf8Sink sink(out);
      const auto bytes = test::bytesOf(c.utf16);
      ASSERT_TRUE(sink.write(std::span(bytes).first(cut)));
      ASSERT_TRUE(sink.write(std::span(bytes).subspan(cut)));
      ASSERT_TRUE(sink.finish());
      EXPECT_EQ(test::textOf(out.bytes()), c.utf8);
    }
  }
}

} // namespace
} // namespace kyv::document
