// The command parser, the INSTREAM chunk decoder and the reply text, on the byte sequences
// real clients send and on the malformed ones a hostile sender would.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "daemon/command.h"
#include "daemon/instream.h"
#include "daemon/reply.h"

namespace kyv::daemon {
namespace {

using namespace std::string_literals;

struct CommandCase {
  std::string input;
  bool first; // the connection's first command: bare legacy form allowed
  ParseStatus status;
  Verb verb;
  std::size_t consumed;
  std::string argument;
};

TEST(DaemonCommand, ParsesEveryFormAndRejectsWhatIsNotACommand) {
  const std::vector<CommandCase> cases = {
      {"zPING\0"s, true, ParseStatus::Complete, Verb::Ping, 6, ""},
      {"nPING\n", true, ParseStatus::Complete, Verb::Ping, 6, ""},
      {"PING\n", true, ParseStatus::Complete, Verb::Ping, 5, ""},
      {"zINSTREAM\0rest"s, false, ParseStatus::Complete, Verb::InStream, 10, ""},
      {"zSCAN /a b\nc\0"s, false, ParseStatus::Complete, Verb::Scan, 13, "/a b\nc"},
      {"nCONTSCAN /x/y\n", false, ParseStatus::Complete, Verb::ContScan, 15, "/x/y"},
      {"MULTISCAN /m\n", true, ParseStatus::Complete, Verb::MultiScan, 13, "/m"},
      {"zALLMATCHSCAN /q\0"s, false, ParseStatus::Complete, Verb::AllMatchScan, 17, "/q"},
      {"nFILDES\n", false, ParseStatus::Complete, Verb::FilDes, 8, ""},
      {"zIDSESSION\0"s, true, ParseStatus::Complete, Verb::IdSession, 11, ""},
      {"zEND\0"s, false, ParseStatus::Complete, Verb::End, 5, ""},
      {"zVERSIONCOMMANDS\0"s, false, ParseStatus::Complete, Verb::VersionCommands, 17, ""},
      {"nSTATS\n", false, ParseStatus::Complete, Verb::Stats, 7, ""},
      {"RELOAD\n", true, ParseStatus::Complete, Verb::Reload, 7, ""},
      {"SHUTDOWN\n", true, ParseStatus::Complete, Verb::Shutdown, 9, ""},
      // Text after a command that takes none, a scan without a path, unknown or lower-case
      // words, and the bare form where it is not allowed: complete, but unknown.
      {"zPING x\0"s, true, ParseStatus::Complete, Verb::Unknown, 8, ""},
      {"zPINGPONG\0"s, true, ParseStatus::Complete, Verb::Unknown, 10, ""},
      {"zSCAN\0"s, true, ParseStatus::Complete, Verb::Unknown, 6, ""},
      {"zSCAN \0"s, true, ParseStatus::Complete, Verb::Unknown, 7, ""},
      {"nping\n", true, ParseStatus::Complete, Verb::Unknown, 6, ""},
      {"INSTREAM\n", true, ParseStatus::Complete, Verb::Unknown, 9, ""},
      {"IDSESSION\n", true, ParseStatus::Complete, Verb::Unknown, 10, ""},
      {"PING\n", false, ParseStatus::Complete, Verb::Unknown, 5, ""},
      {"\n", true, ParseStatus::Complete, Verb::Unknown, 1, ""},
      {"z\0"s, true, ParseStatus::Complete, Verb::Unknown, 2, ""},
      // A newline does not end a z command, nor a NUL an n command.
      {"zPING\n", true, ParseStatus::NeedMore, Verb::Unknown, 0, ""},
      {"nPING\0"s, true, ParseStatus::NeedMore, Verb::Unknown, 0, ""},
      {"", true, ParseStatus::NeedMore, Verb::Unknown, 0, ""},
      {"zSCAN " + std::string(kMaxCommandLength, 'a'), true, ParseStatus::TooLong, Verb::Unknown, 0,
       ""},
      {"zSCAN " + std::string(kMaxCommandLength, 'a') + '\0', true, ParseStatus::TooLong,
       Verb::Unknown, 0, ""},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 40));
    const ParseResult r = ParseCommand(c.input, c.first);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.command.verb, c.verb);
    EXPECT_EQ(r.consumed, c.consumed);
    EXPECT_EQ(r.command.argument, c.argument);
  }
}

TEST(DaemonCommand, DelimiterFollowsThePrefix) {
  EXPECT_EQ(ParseCommand("zPING\0"s, true).command.delimiter, Delimiter::Nul);
  EXPECT_EQ(ParseCommand("nPING\n", true).command.delimiter, Delimiter::Newline);
  const ParseResult bare = ParseCommand("PING\n", true);
  EXPECT_EQ(bare.command.delimiter, Delimiter::Newline);
  EXPECT_TRUE(bare.command.legacy);
}

TEST(DaemonCommand, OnlyTheListedCommandsStandInsideASession) {
  for (Verb v : {Verb::Scan, Verb::InStream, Verb::FilDes, Verb::Version, Verb::Ping, Verb::Stats,
                 Verb::VersionCommands, Verb::End})
    EXPECT_TRUE(AllowedInSession(v));
  for (Verb v : {Verb::ContScan, Verb::MultiScan, Verb::AllMatchScan, Verb::Reload, Verb::Shutdown,
                 Verb::IdSession, Verb::Unknown})
    EXPECT_FALSE(AllowedInSession(v));
}

std::string chunk(const std::string& data) {
  const auto n = static_cast<std::uint32_t>(data.size());
  std::string out = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)};
  return out + data;
}

struct Decoded {
  std::string data;
  ChunkDecoder::Event last = ChunkDecoder::Event::None;
  std::size_t consumed = 0;
};

// Feeds the stream in pieces of the given size, as the network may cut it.
Decoded decode(const std::string& stream, std::uint64_t limit, std::size_t piece) {
  ChunkDecoder decoder(limit);
  Decoded out;
  const auto* bytes = reinterpret_cast<const std::byte*>(stream.data());
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t n = std::min(piece, stream.size() - at);
    std::span<const std::byte> in(bytes + at, n);
    while (!in.empty()) {
      const ChunkDecoder::Step s = decoder.Feed(in);
      out.consumed += s.consumed;
      if (s.event == ChunkDecoder::Event::Data)
        out.data.append(reinterpret_cast<const char*>(s.data.data()), s.data.size());
      if (s.event == ChunkDecoder::Event::End || s.event == ChunkDecoder::Event::OverLimit) {
        out.last = s.event;
        return out;
      }
      in = in.subspan(s.consumed);
    }
    at += n;
  }
  return out;
}

TEST(DaemonInstream, ReassemblesChunksHoweverTheyArriveAndStopsAtTheEnd) {
  const std::string stream = chunk("hello ") + chunk("world") + std::string(4, '\0') + "trailing";
  for (std::size_t piece : {1u, 2u, 3u, 5u, 4096u}) {
    SCOPED_TRACE(piece);
    const Decoded d = decode(stream, 1000, piece);
    EXPECT_EQ(d.data, "hello world");
    EXPECT_EQ(d.last, ChunkDecoder::Event::End);
    EXPECT_EQ(d.consumed, stream.size() - 8); // nothing after the end is taken
  }
}

TEST(DaemonInstream, LengthIsCheckedBeforeItsDataIsTaken) {
  // Exactly the limit passes; one byte more ends the stream before the chunk's data.
  EXPECT_EQ(decode(chunk("abcd") + chunk("ef") + std::string(4, '\0'), 6, 3).last,
            ChunkDecoder::Event::End);
  const Decoded over = decode(chunk("abcd") + chunk("efg") + "efg", 6, 3);
  EXPECT_EQ(over.last, ChunkDecoder::Event::OverLimit);
  EXPECT_EQ(over.data, "abcd");
  EXPECT_EQ(over.consumed, 8u + 4u);
  // A bogus length announces more than any limit: refused at once, with no data behind it.
  const Decoded bogus = decode("\xff\xff\xff\xff", std::uint64_t{100} << 20, 4);
  EXPECT_EQ(bogus.last, ChunkDecoder::Event::OverLimit);
  EXPECT_TRUE(bogus.data.empty());
}

TEST(DaemonInstream, AFinishedDecoderTakesNothingMore) {
  ChunkDecoder decoder(10);
  const std::string zero(8, '\0');
  const auto* bytes = reinterpret_cast<const std::byte*>(zero.data());
  EXPECT_EQ(decoder.Feed({bytes, 8}).event, ChunkDecoder::Event::End);
  EXPECT_TRUE(decoder.Finished());
  EXPECT_EQ(decoder.Feed({bytes + 4, 4}).consumed, 0u);
}

TEST(DaemonReply, WireNamesAreWhatClientsCanParse) {
  struct Case {
    std::vector<NamedFinding> findings;
    std::string wire;
  };
  // The findings only view their names: the texts must outlive the table.
  const std::string longName(120, 'L');
  const std::string a60(60, 'a'), b39(39, 'b'), b40(40, 'b');
  const std::vector<Case> cases = {
      {{{1, "EICAR-Test-File"}}, "EICAR-Test-File"},
      {{{1, "A"}, {1, "B"}, {1, "A"}}, "A,B"},
      {{{1, "Worm: Mail bad,name"}}, "Worm__Mail_bad_name"},
      {{{2, "Trojan.X ( ABCDEF01 0000000A 00FF00FF FFFFFFFF 7)"}}, "Suspicious.Trojan.X"},
      {{{1, "A"}, {2, "B ( 1 2 3 4 5)"}}, "A,Suspicious.B"},
      {{{1, "  "}}, "Unnamed"},
      {{{1, "\xc2\xe8\xf0\xf3\xf1"}}, "_____"},
      {{{1, longName}}, std::string(100, 'L')},
      {{{1, a60}, {1, b39}, {1, "c"}}, a60 + "," + b39},
      {{{1, a60}, {1, b40}, {1, "c"}}, a60},
  };
  for (const Case& c : cases) {
    const std::string wire = WireName(c.findings);
    EXPECT_EQ(wire, c.wire);
    EXPECT_LE(wire.size(), kMaxWireName);
  }
}

TEST(DaemonReply, FramesCarryTheSessionIdAndTheCommandsDelimiter) {
  EXPECT_EQ(Frame("PONG", Delimiter::Nul, 0), "PONG\0"s);
  EXPECT_EQ(Frame("PONG", Delimiter::Newline, 0), "PONG\n");
  EXPECT_EQ(Frame("stream: OK", Delimiter::Nul, 12), "12: stream: OK\0"s);
}

} // namespace
} // namespace kyv::daemon
