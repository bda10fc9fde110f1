// RTF objects as Word reads them: hex with the obfuscations senders use, \bin data, object
// pictures, and hostile nesting and lengths.
#include "document/rtf_objects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/endian.h"
#include "document/rtf_tokenizer.h"
#include "ole1_writer.h"
#include "test_support.h"

namespace kyv::document {
namespace {

struct Seen {
  TRtfObject::TKind kind;
  std::string data;
  bool cut;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> scan(const std::string& rtf, std::uint64_t limit = 1u << 20,
                       TRtfScan* result = nullptr) {
  std::vector<Seen> seen;
  const TRtfScan r = ScanRtfObjects(asBytes(rtf), limit, [&](TRtfObject& o) {
    seen.push_back({o.Kind, test::textOf(o.Data), o.Cut});
    return true;
  });
  if (result)
    *result = r;
  return seen;
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(digits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(digits[c & 0xF]);
  }
  return out;
}

constexpr auto kObject = TRtfObject::TKind::Object;
constexpr auto kPicture = TRtfObject::TKind::Picture;

TEST(RtfObjects, DecodesObjdataAsWordReadsIt) {
  const std::string object =
      test::Ole1Object("Package", test::PackageNative("a.exe", "C:\\a.exe", "MZ payload"));
  const std::string h = hex(object);
  // The same hex broken up every way Word tolerates.
  std::string messy;
  for (std::size_t i = 0; i < h.size(); ++i) {
    messy.push_back(h[i]);
    if (i % 7 == 3)
      messy += " \r\n\t";
    if (i % 11 == 5)
      messy += "\\datafield ";
    if (i % 13 == 2)
      messy += "{\\*\\junk 4142}";
    if (i % 17 == 9)
      messy += "\\'41zz";
  }
  struct Case {
    const char* what;
    std::string rtf;
    std::vector<Seen> want;
  } cases[] = {
      {"plain",
       "{\\rtf1{\\object\\objemb{\\*\\objclass Package}{\\*\\objdata " + h + "}}}",
       {{kObject, object, false}}},
      {"obfuscated",
       "{\\rtf1{\\object\\objupdate{\\*\\objdata " + messy + "}}}",
       {{kObject, object, false}}},
      {"odd digit dropped", "{\\rtf1{\\object{\\*\\objdata 414243f}}}", {{kObject, "ABC", false}}},
      {"upper case digits", "{\\rtf1{\\object{\\*\\objdata 4A4b}}}", {{kObject, "JK", false}}},
      {"bin data",
       "{\\rtf1{\\object{\\*\\objdata 41\\bin3 {}\\42}}}",
       {{kObject, "A{}\\B", false}}},
      {"objdata in the object group itself",
       "{\\rtf1{\\object\\objlink\\objdata 4142{\\result x}}}",
       {{kObject, "AB", false}}},
      {"objdata anywhere", "{\\rtf1 text {\\*\\objdata 4142}}", {{kObject, "AB", false}}},
      {"unclosed at the end", "{\\rtf1{\\object{\\*\\objdata 4142", {{kObject, "AB", false}}},
      {"two objects",
       "{\\rtf1{\\object{\\*\\objdata 41}}{\\object{\\*\\objdata 42}}}",
       {{kObject, "A", false}, {kObject, "B", false}}},
      {"pictures alone are left alone",
       "{\\rtf1{\\pict\\wmetafile8 414243}{\\*\\shppict{\\pict 4142}}}",
       {}},
      {"an object's result picture",
       "{\\rtf1{\\object{\\*\\objdata 41}{\\result{\\pict\\emfblip 5a5a{\\*\\x 41}5a}}}}",
       {{kObject, "A", false}, {kPicture, "ZZZ", false}}},
      {"a \\bin skips what looks like RTF",
       "{\\rtf1\\bin12 {\\objdata 41}{\\object{\\*\\objdata 42}}}",
       {{kObject, "B", false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(scan(c.rtf), c.want);
  }
}

TEST(RtfObjects, HostileNestingAndLengthsEndInOrder) {
  // A million open groups, then an object after they close: braces still pair up.
  TRtfScan result;
  const std::string deep = "{\\rtf1" + std::string(1000000, '{') + "\\object\\objdata 41" +
                           std::string(1000000, '}') + "{\\object{\\*\\objdata 42}}}";
  EXPECT_EQ(scan(deep, 1u << 20, &result), (std::vector<Seen>{{kObject, "B", false}}));
  EXPECT_TRUE(result.DepthCut);
  // Closing braces with nothing open, a \bin longer than the file, a huge parameter.
  EXPECT_EQ(scan("}}}{\\rtf1{\\object{\\*\\objdata 41\\bin99999999999999 ABC"),
            (std::vector<Seen>{{kObject, "AABC", false}}));
  EXPECT_EQ(scan("{\\object{\\*\\objdata 41\\bin-5 42}}"),
            (std::vector<Seen>{{kObject, "AB", false}}));
  // Data past the limit is dropped and the object marked.
  EXPECT_EQ(scan("{\\object{\\*\\objdata " + std::string(1000, 'a') + "}}", 10),
            (std::vector<Seen>{{kObject, std::string(10, '\xAA'), true}}));
  // The handler can stop the walk.
  int calls = 0;
  ScanRtfObjects(asBytes(std::string("{\\objdata 41}{\\objdata 42}")), 100,
                 [&](TRtfObject&) { return ++calls, false; });
  EXPECT_EQ(calls, 1);
}

TEST(RtfTokenizer, ReadsEveryKindOfToken) {
  const std::string rtf =
      "{\\b1\\fs-20 \\" + std::string(40, 'x') + "9999999999999 \\'e9\\*\\ text\\bin2 \\}}\\";
  TRtfTokenizer tokens(asBytes(rtf));
  using K = TRtfToken::TKind;
  std::vector<std::string> seen;
  for (TRtfToken t = tokens.Next(); t.Kind != K::End; t = tokens.Next()) {
    std::string s;
    switch (t.Kind) {
    case K::GroupStart:
      s = "{";
      break;
    case K::GroupEnd:
      s = "}";
      break;
    case K::ControlWord:
      s = "w:" + std::string(t.Word) + (t.HasParam ? "=" + std::to_string(t.Param) : "");
      break;
    case K::ControlSymbol:
      s = "s:" + std::string(t.Word);
      break;
    case K::Text:
      s = "t:" + test::textOf(t.Bytes);
      break;
    case K::Binary:
      s = "b:" + test::textOf(t.Bytes);
      break;
    case K::End:
      break;
    }
    seen.push_back(s);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"{", "w:b=1", "w:fs=-20",
                                            "w:" + std::string(32, 'x') + "=2147483647", "s:'",
                                            "s:*", "s: ", "t:text", "b:\\}", "}", "s:"}));
}

} // namespace
} // namespace kyv::document
