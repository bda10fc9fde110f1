#include "document/ole1_object.h"

#include <gtest/gtest.h>

#include "base/endian.h"
#include "ole1_writer.h"

namespace kyv::document {
namespace {

using test::Le32;
using test::PackageNative;

TEST(Ole1Package, FindsTheFileAndItsName) {
  const std::string native =
      PackageNative("report.pdf", "C:\\Users\\me\\Desktop\\report.pdf.exe", "MZ payload");
  const auto package = ParsePackage(asBytes(native), native.size());
  ASSERT_TRUE(package);
  EXPECT_EQ(package->Label, "report.pdf");
  EXPECT_EQ(native.substr(package->DataOffset, package->DataSize), "MZ payload");
  EXPECT_EQ(PackageFileName(*package), "report.pdf.exe");
  // Names come from the label, then the temporary path, when the original path has none; the
  // base name only, without control characters.
  for (const auto& [label, path, temp, name] :
       std::vector<std::array<std::string, 4>>{{"a.txt", "", "C:\\t\\b.txt", "a.txt"},
                                               {"", "../../etc/\x01passwd", "", "passwd"},
                                               {"", "D:", "C:\\t\\c.bin", "c.bin"},
                                               {"", "", "", ""}}) {
    const std::string n = PackageNative(label, path, "x", temp);
    const auto p = ParsePackage(asBytes(n), n.size());
    ASSERT_TRUE(p) << name;
    EXPECT_EQ(PackageFileName(*p), name);
  }
}

TEST(Ole1Package, RefusesWhatIsNoEmbeddedFile) {
  const std::string good = PackageNative("l", "f.exe", "data");
  std::string link = good;
  link[2 + 2 + 6 + 2] = '\x01'; // the kind: a link, no file
  std::string tooLong = good;
  tooLong.replace(good.size() - 4 - 4, 4, Le32(5)); // a data size past the end
  std::string noNul = std::string("\x02\x00", 2) + std::string(100, 'A');
  const std::string badPath = std::string("\x02\x00", 2) + "l" + std::string(1, '\0') + "f" +
                              std::string(1, '\0') + std::string("\x00\x00\x03\x00", 4) +
                              Le32(0xFFFFFFF0) + "x";
  for (const auto& [what, bytes, size] :
       std::vector<std::tuple<const char*, std::string, std::uint64_t>>{
           {"a link", link, link.size()},
           {"data past the end", tooLong, tooLong.size()},
           {"data past the declared size", good, good.size() - 1},
           {"a string without its end", noNul, noNul.size()},
           {"a temporary path longer than the data", badPath, badPath.size()},
           {"wrong signature", "\x03" + good.substr(1), good.size()},
           {"empty", "", 0}}) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(ParsePackage(asBytes(bytes), size));
  }
  // Only the head is needed when the size says the rest is there.
  EXPECT_TRUE(ParsePackage(asBytes(good).first(good.size() - 4), good.size()));
}

TEST(Ole1Object, ReadsTheEmbeddedObjectHeader) {
  const std::string object = test::Ole1Object("Package", "native bytes");
  const auto parsed = ParseOle1Object(asBytes(object), object.size());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->ClassName, "Package");
  EXPECT_EQ(object.substr(parsed->NativeOffset, parsed->NativeSize), "native bytes");
  EXPECT_FALSE(parsed->NativeCut);
  // Cut short, it gives what there is and says so.
  const auto cut = ParseOle1Object(asBytes(object).first(object.size() - 3), object.size() - 3);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->NativeSize, 9u);
  EXPECT_TRUE(cut->NativeCut);
  std::string linked = object;
  linked[4] = '\x01';
  EXPECT_FALSE(ParseOle1Object(asBytes(linked), linked.size()));
  std::string badClass = object;
  badClass.replace(8, 4, Le32(1000));
  EXPECT_FALSE(ParseOle1Object(asBytes(badClass), badClass.size()));
  EXPECT_FALSE(ParseOle1Object(asBytes(object).first(20), 20));
}

} // namespace
} // namespace kyv::document
