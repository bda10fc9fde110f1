// Messages made by an independent producer, Python's email package: testdata/make_messages.py
// writes them with the bytes each part carries, and every part the parser finds must decode to
// exactly those bytes. Native builds only: it needs python3 on PATH.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/email_parser.h"
#include "test_support.h"

namespace kyv::mail {
namespace {

struct ManifestLine {
  std::string message;
  std::size_t index = 0;
  std::string name;
  std::string encoding;
  std::string expectedFile;
};

std::vector<ManifestLine> readManifest(const std::filesystem::path& path) {
  std::vector<ManifestLine> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t'))
      fields.push_back(field);
    while (fields.size() < 5)
      fields.emplace_back(); // getline drops a trailing empty field
    lines.push_back({fields[0], std::stoul(fields[1]), fields[2], fields[3], fields[4]});
  }
  return lines;
}

TEST(MailInterop, PartsOfPythonMadeMessagesDecodeToTheirInputs) {
  if (!test::haveProgram("python3"))
    GTEST_SKIP() << "python3 not available";
  test::ScratchDir dir;
  const auto script = test::sourceDir() / "src" / "mail" / "testdata" / "make_messages.py";
  ASSERT_EQ(test::run("python3 \"" + script.string() + "\" \"" + dir.path().string() + "\""), 0);
  const auto manifest = readManifest(dir / "manifest.txt");
  ASSERT_GE(manifest.size(), 10u);

  std::string current;
  TEmailParser parser;
  std::size_t expectedCount = 0;
  auto checkCount = [&] {
    if (!current.empty()) {
      EXPECT_EQ(parser.PartCount(), expectedCount) << current;
    }
  };
  for (const auto& entry : manifest) {
    if (entry.message != current) {
      checkCount();
      current = entry.message;
      expectedCount = 0;
      parser.SetFileName((dir / current).string());
      ASSERT_TRUE(parser.Parse()) << current;
    }
    ++expectedCount;
    SCOPED_TRACE(current + " part " + std::to_string(entry.index));
    ASSERT_LT(entry.index, parser.PartCount());
    const TMailPart& part = parser.Parts()[entry.index];
    EXPECT_EQ(part.Name, entry.name);
    EXPECT_EQ(part.Encoding, entry.encoding);
    VectorSink out;
    ASSERT_TRUE(TEmailParser::WritePart(part, out));
    const std::string got = test::textOf(out.bytes());
    const std::string want = test::textOf(test::readFile(dir / entry.expectedFile));
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
  checkCount();
}

} // namespace
} // namespace kyv::mail
