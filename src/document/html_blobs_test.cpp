#include "document/html_blobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace kyv::document {
namespace {

using test::base64Of;

struct Found {
  std::string name;
  std::string bytes;
  bool complete = false;
};

class Collect final : public HtmlBlobTarget {
public:
  explicit Collect(std::size_t maxMembers = 1000, std::size_t maxBytes = SIZE_MAX)
      : maxMembers_(maxMembers), sink_(maxBytes) {}
  ByteSink* BeginMember(const std::string& name) override {
    if (found.size() >= maxMembers_)
      return nullptr;
    found.push_back({name, {}, false});
    sink_ = Sink(sink_.limit);
    return &sink_;
  }
  void EndMember(bool complete) override {
    found.back().bytes = sink_.bytes;
    found.back().complete = complete;
  }
  std::vector<Found> found;

private:
  struct Sink final : ByteSink {
    explicit Sink(std::size_t l) : limit(l) {}
    bool write(std::span<const std::byte> data) override {
      if (data.size() > limit - bytes.size())
        return false;
      bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
      return true;
    }
    std::size_t limit;
    std::string bytes;
  };
  std::size_t maxMembers_;
  Sink sink_;
};

std::vector<Found> find(std::string_view page) {
  Collect collect;
  FindHtmlBlobs(page, collect);
  return collect.found;
}

// A payload long enough for a script string to count, different in every byte position.
std::string payload(std::size_t n = 600) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 37 + i / 251) & 0xFF);
  return s;
}

// Splits text into pieces of n characters.
std::vector<std::string> pieces(const std::string& text, std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size(); i += n)
    out.push_back(text.substr(i, n));
  return out;
}

std::string joined(const std::vector<std::string>& parts, std::string_view quote,
                   std::string_view glue) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); ++i)
    s += (i ? std::string(glue) : "") + std::string(quote) + parts[i] + std::string(quote);
  return s;
}

// Every percent-encodes or entity-encodes each "+" and "/" of base64 text.
std::string replaceSpecials(const std::string& b64, std::string_view plus, std::string_view slash) {
  std::string out;
  for (const char c : b64)
    out += c == '+' ? std::string(plus) : c == '/' ? std::string(slash) : std::string(1, c);
  return out;
}

// Base64 text of the payload that uses both "+" and "/" (the escapes are for those).
const std::string kData = payload();
const std::string kB64 = base64Of(kData);

TEST(HtmlBlobs, DataUrisInEveryPlaceAndEscape) {
  ASSERT_NE(kB64.find('+'), std::string::npos);
  ASSERT_NE(kB64.find('/'), std::string::npos);
  std::string wrapped; // line breaks and blanks inside, as pages wrap long attributes
  for (const auto& p : pieces(kB64, 76))
    wrapped += p + "\r\n  ";
  struct Case {
    const char* what;
    std::string page;
    std::string name;
  };
  const std::vector<Case> cases{
      {"attribute", "<a href=\"data:application/zip;base64," + kB64 + "\">x</a>", "data-uri-1.zip"},
      {"single quotes, upper case", "<img src='DATA:Image/PNG;BASE64," + kB64 + "'>",
       "data-uri-1.png"},
      {"CSS url()", "<style>b{background:url(data:image/gif;base64," + kB64 + ")}</style>",
       "data-uri-1.gif"},
      {"parameters before base64", "<a href=\"data:text/plain;charset=utf-8;base64," + kB64 + "\">",
       "data-uri-1.txt"},
      {"no media type", "<a href=\"data:;base64," + kB64 + "\">", "data-uri-1.bin"},
      {"unknown media type", "<a href=\"data:application/x-thing;base64," + kB64 + "\">",
       "data-uri-1.bin"},
      {"script string with \\/",
       "<script>a.href=\"data:application/octet-stream;base64," +
           replaceSpecials(kB64, "+", "\\/") + "\";</script>",
       "data-uri-1.bin"},
      {"percent-encoded",
       "<a href=\"data:application/zip;base64," + replaceSpecials(kB64, "%2B", "%2f") + "\">",
       "data-uri-1.zip"},
      {"character references",
       "<a href=\"data:application/zip;base64," + replaceSpecials(kB64, "&#x2b;", "&sol;") + "\">",
       "data-uri-1.zip"},
      {"decimal references",
       "<a href=\"data:application/zip;base64," + replaceSpecials(kB64, "&#43;", "&#047;") + "\">",
       "data-uri-1.zip"},
      {"wrapped lines", "<a href=\"data:application/zip;base64,\n" + wrapped + "\">",
       "data-uri-1.zip"},
      {"inside srcdoc",
       "<iframe srcdoc=\"&lt;img src=&quot;data:image/png;base64," + kB64 + "&quot;&gt;\">",
       "data-uri-1.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto found = find(c.page);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, c.name);
    EXPECT_EQ(found[0].bytes, kData);
    EXPECT_TRUE(found[0].complete);
  }
}

TEST(HtmlBlobs, DataUrisThatCarryNothingAreNotMembers) {
  for (const std::string& page : {
           std::string("<a href=\"data:text/plain,hello\">"),             // not base64
           std::string("<a href=\"data:image/png;base64,\">"),            // empty
           std::string("metadata: text;base64, nothing"),                 // blank in the header
           "data:application/zip;charset=x," + kB64,                      // base64 not last
           std::string("data:") + std::string(300, 'a') + ";base64,QUJD", // header past its bound
       }) {
    SCOPED_TRACE(page.substr(0, 60));
    EXPECT_TRUE(find(page).empty());
  }
}

TEST(HtmlBlobs, DataUriPayloadEndsWhereBase64Does) {
  // Padding ends the payload even when letters follow (an unquoted attribute, say).
  const auto found = find("<img src=data:image/png;base64,QUJDRA== alt=x><a href='data:,x'>"
                          "<img src=\"data:image/png;base64,QUJD\">");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].bytes, "ABCD");
  EXPECT_EQ(found[1].name, "data-uri-2.png");
  EXPECT_EQ(found[1].bytes, "ABC");
}

TEST(HtmlBlobs, ScriptStringsInTheFormsScriptsJoinThem) {
  const auto parts = pieces(kB64, 50);
  struct Case {
    const char* what;
    std::string script;
  };
  const std::vector<Case> cases{
      {"double quotes", "var b = \"" + kB64 + "\";"},
      {"single quotes", "var b = '" + kB64 + "';"},
      {"template", "let b = `" + kB64 + "`;"},
      {"template over lines", "let b = `" + joined(parts, "", "\n") + "`;"},
      {"concatenated", "var b = " + joined(parts, "\"", " +\n  ") + ";"},
      {"concatenated with comments", "var b = " + joined(parts, "'", " + /* x */ ") + ";"},
      {"array join", "var b = [" + joined(parts, "\"", ",\n") + "].join('');"},
      {"atob", "var b = window.atob('" + kB64 + "');"},
      {"escaped slashes and line continuations",
       "var b = \"" + replaceSpecials(kB64, "\\x2b", "\\/") + "\";"},
      {"unicode escapes", "var b = \"" + replaceSpecials(kB64, "\\u002B", "\\u{2f}") + "\";"},
      {"after a regular expression with a quote", "var r = /[\"']/g; var b = \"" + kB64 + "\";"},
      {"after a comment with a quote", "// don't\nvar b = \"" + kB64 + "\";"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto found =
        find("<html><script type=\"text/javascript\">" + c.script + "</script></html>");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "script-blob-1.bin");
    EXPECT_EQ(found[0].bytes, kData);
  }
}

TEST(HtmlBlobs, ShortAndNonBase64StringsAreLeftAlone) {
  const std::string shortB64 = base64Of(payload(150));
  ASSERT_LT(shortB64.size(), kMinScriptBlobChars);
  const std::string text(400, 'x');
  const auto found = find("<script>var id = \"" + shortB64 + "\"; var s = \"" + text +
                          " and a full stop.\"; var ok = atob(\"" + base64Of("EICAR") +
                          "\");</script>"
                          "<p>\"" +
                          kB64 + "\" outside a script</p>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].bytes, "EICAR"); // atob decodes whatever its length
}

TEST(HtmlBlobs, SeparateStringsAreSeparateMembers) {
  const std::string other = base64Of(payload(400).substr(1));
  // Arguments of a call are not joined; neither are strings with code between them.
  const auto found = find("<script>f(\"" + kB64 + "\", \"" + other + "\"); g(\"" + kB64 +
                          "\" + x + \"" + other + "\")</script>");
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].bytes, kData);
  EXPECT_EQ(found[1].bytes, payload(400).substr(1));
  EXPECT_EQ(found[3].name, "script-blob-4.bin");
}

TEST(HtmlBlobs, BrokenBase64IsToleratedAndTheScriptEndsAtItsEndTag) {
  // A string left open ends at its line and counts for nothing; a "</script" inside a string
  // still ends the script, as browsers end it; a script left open runs to the end of the page,
  // and a string cut short of a whole group gives what its characters hold.
  const auto found =
      find("<script>var a = \"" + kB64 + "\nvar b = 1;</script><script>x = \"" + kB64 +
           "</script>\"; y = \"" + kB64 + "\"<script>var c = '" + kB64.substr(0, 302) + "'");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].bytes, payload(226));
}

TEST(HtmlBlobs, SvgScriptsWithCdataAndReferences) {
  const std::string svg = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">"
                          "<script type=\"application/ecmascript\"><![CDATA[ var z = \"" +
                          kB64 + "\"; ]]></script><script>var y = '" +
                          replaceSpecials(kB64, "&#43;", "&#x2F;") +
                          "';</script><script href=\"x.js\"/></svg>";
  const auto found = find(svg);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].bytes, kData);
  EXPECT_EQ(found[1].bytes, kData);
}

TEST(HtmlBlobs, TheTargetBoundsMembersAndBytes) {
  std::string page;
  for (int i = 0; i < 10; ++i)
    page += "<img src=\"data:image/png;base64," + kB64 + "\">";
  Collect three(3);
  FindHtmlBlobs(page, three);
  EXPECT_EQ(three.found.size(), 3u);

  Collect small(1000, 100);
  FindHtmlBlobs(page, small);
  ASSERT_EQ(small.found.size(), 10u);
  EXPECT_FALSE(small.found[0].complete);
  EXPECT_LE(small.found[0].bytes.size(), 100u);
}

// A page of one huge string and one of a million small pieces are read in one pass each: the
// decoded bytes come out whole, in proportion to the page.
TEST(HtmlBlobs, HugeStringsAndManyPiecesDecodeWhole) {
  const std::string big = payload(3 * 1024 * 1024);
  const auto found = find("<script>var b=\"" + base64Of(big) + "\";</script>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].bytes, big);

  const std::string many = base64Of(payload(750000));
  const auto joinedFound =
      find("<script>var b=" + joined(pieces(many, 1), "'", "+") + ";</script>");
  ASSERT_EQ(joinedFound.size(), 1u);
  EXPECT_EQ(joinedFound[0].bytes, payload(750000));
}

// Tags and words that open something never closed are looked at once each: a search that went
// back to each of them would take hours on these pages rather than moments.
TEST(HtmlBlobs, UnclosedTagsAndSchemesAreReadOnce) {
  std::string tags;
  for (int i = 0; i < 200000; ++i)
    tags += "<script a=";
  tags += "></script>";
  std::string schemes;
  for (int i = 0; i < 200000; ++i)
    schemes += "data:image/png;charset=a" + std::string(i % 2 ? ";" : "\"");
  std::string regexes = "<script>x=(";
  for (int i = 0; i < 200000; ++i)
    regexes += "/[";
  std::string strings = "<script>";
  for (int i = 0; i < 200000; ++i)
    strings += "\"" + kB64.substr(0, 8) + "\\";
  for (const std::string* page : {&tags, &schemes, &regexes, &strings})
    EXPECT_TRUE(find(*page).empty());
}

TEST(HtmlBlobs, Recognition) {
  const auto is = [](std::string_view head) {
    std::vector<std::byte> bytes = test::bytesOf(head);
    bytes.resize(2001); // the head sample is padded with zeros
    return LooksLikeHtml(bytes);
  };
  for (const char* yes :
       {"<!DOCTYPE html>", "\xEF\xBB\xBF  <html>", "\r\n<HEAD>", "<body onload=x>", "<script>",
        "<svg xmlns=\"x\">", "<?xml version=\"1.0\"?>\n<!-- c -->\n<svg>",
        "Some text first\n<p>and <html> later"}) {
    SCOPED_TRACE(yes);
    EXPECT_TRUE(is(yes));
  }
  for (const char* no : {"", "plain text", "<?xml version=\"1.0\"?><root/>", "<p>a fragment</p>",
                         "MZ\x90\x01\x02<html>", "<htmlx"}) {
    SCOPED_TRACE(no);
    EXPECT_FALSE(is(no));
  }
  EXPECT_FALSE(is(std::string(1100, 'a') + "<html>"));
}

} // namespace
} // namespace kyv::document
