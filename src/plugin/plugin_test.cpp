#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/bav_api.h"
#include "plugin/copy_to_buffer.h"
#include "plugin/messages.h"
#include "plugin/plugin_info.h"
#include "plugin/verdict.h"

namespace kyv::plugin {
namespace {

TEST(CopyToBuffer, FollowsTheHostRule) {
  struct Case {
    bool nullBuffer;
    std::int32_t length;
    const char* text;
    std::int32_t result;
    const char* written; // null: nothing written
  };
  const Case cases[] = {
      {true, 10, "1.05", 4, nullptr},  // size query with no buffer
      {false, 0, "1.05", 4, nullptr},  // size query with length 0
      {false, -5, "1.05", 4, nullptr}, // negative length
      {false, 2, "1.05", 2, "1."},     // cut, NUL after the cut
      {false, 4, "1.05", 4, "1.05"},   // exact fit
      {false, 100, "1.05", 4, "1.05"}, // room to spare
      {false, 3, "", 0, ""},           // empty text still gets its NUL
  };
  for (const Case& c : cases) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    const std::int32_t r = CopyToBuffer(c.nullBuffer ? nullptr : buffer, c.length, c.text);
    EXPECT_EQ(r, c.result) << c.text << " " << c.length;
    if (c.written == nullptr) {
      EXPECT_EQ(buffer[0], '#');
    } else {
      EXPECT_STREQ(buffer, c.written);
      EXPECT_EQ(buffer[std::strlen(c.written) + 1], '#') << "wrote past the NUL";
    }
  }
}

TEST(CopyToBuffer, LongVerdictIsCutAt1024) {
  const std::string text(1500, 'V');
  std::string buffer(1100, '#');
  EXPECT_EQ(CopyToBuffer(buffer.data(), 1024, text), 1024);
  EXPECT_EQ(buffer.substr(0, 1024), std::string(1024, 'V'));
  EXPECT_EQ(buffer[1024], '\0');
  EXPECT_EQ(buffer[1025], '#');
}

TEST(Verdict, AssemblesCodeAndTextInScanningOrder) {
  struct Finding {
    std::int32_t result;
    const char* name;
  };
  struct Case {
    std::vector<Finding> findings;
    std::int32_t code;
    const char* text;
  };
  const Case cases[] = {
      {{}, 0, ""},
      {{{0, "ignored"}}, 0, ""},
      {{{1, "Eicar"}}, 1, "Eicar"},
      {{{2, "Worm.Demo (x)"}}, 2, "Suspictios: Worm.Demo (x)"},
      {{{2, "A"}, {2, "B"}}, 2, "Suspictios: A,Suspictios: B"},
      {{{2, "A"}, {1, "B"}}, 1, "Suspictios: A,B"}, // infected wins whatever the order
      {{{1, "A"}, {2, "B"}}, 1, "A,Suspictios: B"},
      {{{1, "A"}, {1, "A"}}, 1, "A,A"}, // no de-duplication
      {{{1, "  "}}, 1, ""},             // blank infected name: code only
      {{{1, ""}, {1, "B"}}, 1, "B"},
      {{{2, ""}}, 2, "Suspictios: "}, // blank suspicious name keeps the prefix
  };
  for (const Case& c : cases) {
    std::string text;
    std::int32_t code = 0;
    for (const Finding& f : c.findings)
      AddFinding(text, code, f.result, f.name);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, c.text);
  }
}

TEST(EntryPoints, FixedAnswersAndTexts) {
  EXPECT_EQ(BAV_CureFile(0, 0), -1);
  EXPECT_EQ(BAV_StreamChecking(), -1);
  EXPECT_EQ(BAV_FileChecking(), 0);
  EXPECT_EQ(BAV_MemoryChecking(), -1);
  EXPECT_EQ(BAV_Setup(), -1);
  EXPECT_EQ(BAV_GetStatus(), 0);
  EXPECT_EQ(BAV_GetCfgData(0, 0), 0);
  EXPECT_EQ(BAV_SetCfgData(0, 0), -1);

  char buffer[256];
  EXPECT_EQ(BAV_GetVersion(nullptr, 0), 4);
  EXPECT_EQ(BAV_GetVersion(buffer, 2), 2);
  EXPECT_STREQ(buffer, "1.");
  EXPECT_EQ(BAV_GetVersion(buffer, 255), 4);
  EXPECT_STREQ(buffer, "1.05");
  EXPECT_EQ(BAV_GetName(nullptr, 0), static_cast<std::int32_t>(PluginName.size()));
  EXPECT_EQ(BAV_GetName(buffer, 255), static_cast<std::int32_t>(PluginName.size()));
  EXPECT_EQ(std::string(buffer).rfind("KYV Mail checker, 8.12.2005", 0), 0u);
}

TEST(EntryPoints, CheckFileWithoutInitializeLeavesTheBuffer) {
  char buffer[8] = "keep";
  EXPECT_EQ(BAV_CheckFile("whatever", buffer), 0);
  EXPECT_STREQ(buffer, "keep");
}

TEST(Messages, StartupErrorNamesTheFolderInQuotes) {
  const std::string text = StartupErrorText("C:\\Mail\\Plugins\\BASE\\");
  // "Ошибка загрузки" in Windows-1251 leads; the folder stands in quotes before ")".
  EXPECT_EQ(text.rfind("\xCE\xF8\xE8\xE1\xEA\xE0 \xE7\xE0\xE3\xF0\xF3\xE7\xEA\xE8 ", 0), 0u);
  const std::string tail =
      "(\xF2\xE5\xEA\xF3\xF9\xE8\xE9 \xEF\xF3\xF2\xFC - \"C:\\Mail\\Plugins\\BASE\\\")";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find(" ! \xCF\xE0\xEF\xEA\xE0 Base "), std::string::npos);
}

} // namespace
} // namespace kyv::plugin
