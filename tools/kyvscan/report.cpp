#include "report.h"

#include "json_text.h"
#include "plain_text.h"
#include "platform/system.h"
#include "plugin/verdict.h"
#include "unpack/arc_info.h"

namespace kyvscan {

namespace {

// Names come from the databases and containers as Windows-1251 bytes; terminals want UTF-8.
std::string readable(const std::string& text) { return kyv::platform::cp1251ToUtf8(text); }

const char* verdictName(Verdict verdict) {
  switch (verdict) {
  case Verdict::Infected:
    return "infected";
  case Verdict::Suspicious:
    return "suspicious";
  case Verdict::Error:
    return "error";
  default:
    return "clean";
  }
}

// One link of a chain: the container type, the transfer encoding of a mail part apart.
std::string jsonLink(const kyv::unpack::TKYVArcInfo& link) {
  std::string type = link.ArcType;
  std::string encoding;
  if (const std::size_t colon = type.find(':'); colon != std::string::npos) {
    encoding = type.substr(colon + 1);
    type.resize(colon);
  }
  std::string out = "{\"container\":" + JsonString(readable(type));
  if (!encoding.empty())
    out += ",\"encoding\":" + JsonString(readable(encoding));
  return out + ",\"member\":" + JsonString(readable(link.ItemName)) + "}";
}

std::string jsonChain(const kyv::unpack::TKYVArcInfoArray& chain) {
  std::string out = "[";
  for (std::size_t i = 0; i < chain.size(); ++i)
    out += (i != 0 ? "," : "") + jsonLink(chain[i]);
  return out + "]";
}

std::string jsonFinding(const kyv::plugin::Finding& finding) {
  return "{\"name\":" + JsonString(readable(finding.Name)) + ",\"verdict\":\"" +
         (finding.Code == 1 ? "infected" : "suspicious") +
         "\",\"chain\":" + jsonChain(finding.Chain) + "}";
}

std::string jsonGap(const kyv::unpack::TScanGap& gap) {
  std::string out = "{\"kind\":" + JsonString(std::string(kyv::unpack::GapKindName(gap.Kind))) +
                    ",\"chain\":" + jsonChain(gap.Chain);
  if (!gap.ItemName.empty())
    out += ",\"member\":" + JsonString(readable(gap.ItemName));
  return out + ",\"reason\":" + JsonString(readable(gap.Reason)) + "}";
}

// Where in a top-level file something is: the file as shown, then for every container the type
// in braces and the member ("in.eml/{E-MAIL:base64}/a.zip/{ZIP}/b.exe"). The chain's own first
// link names the file the kernel read, which for a stream is its private copy.
std::string whereText(const std::string& shown, const kyv::unpack::TKYVArcInfoArray& chain) {
  std::string text = shown;
  for (const kyv::unpack::TKYVArcInfo& link : chain)
    text += readable("/{" + link.ArcType + "}/" + link.ItemName);
  return text;
}

std::string gapText(const std::string& shown, const kyv::unpack::TScanGap& gap) {
  std::string text = readable(gap.Reason) + " in " + whereText(shown, gap.Chain);
  if (!gap.ItemName.empty())
    text += " (member " + readable(gap.ItemName) + ")";
  return text;
}

const kyv::unpack::TScanGap* firstGap(const FileResult& result,
                                      bool (*wanted)(kyv::unpack::TGapKind)) {
  for (const kyv::unpack::TScanGap& gap : result.gaps)
    if (wanted(gap.Kind))
      return &gap;
  return nullptr;
}

bool memberNotWritten(kyv::unpack::TGapKind kind) {
  return kind == kyv::unpack::TGapKind::MemberNotWritten;
}

} // namespace

void JudgeGaps(FileResult& result, const Options& options) {
  if (options.alertExceedsMax && result.verdict != Verdict::Infected) {
    if (const kyv::unpack::TScanGap* limit = firstGap(result, kyv::unpack::IsLimit)) {
      const std::string name =
          "Heuristics.Limits.Exceeded." + std::string(kyv::unpack::GapKindName(limit->Kind));
      std::int32_t code = result.verdict == Verdict::Suspicious ? 2 : 0;
      kyv::plugin::AddFinding(result.names, code, 1, name);
      result.findings.push_back({1, name, limit->Chain});
      result.verdict = Verdict::Infected;
      return;
    }
  }
  if (result.verdict != Verdict::Clean)
    return;
  if (const kyv::unpack::TScanGap* lost = firstGap(result, memberNotWritten)) {
    result.verdict = Verdict::Error;
    result.error = "a member could not be written to be scanned: " + gapText(result.shown, *lost);
  }
}

Reporter::~Reporter() {
  if (log_ != nullptr)
    std::fclose(log_);
}

bool Reporter::OpenLog() {
  if (options_.logFile.empty())
    return true;
  log_ = std::fopen(options_.logFile.c_str(), "ab");
  if (log_ != nullptr)
    return true;
  std::fprintf(stderr, "kyvscan: cannot open the log file %s: %s\n", options_.logFile.c_str(),
               kyv::platform::lastErrorText().c_str());
  return false;
}

void Reporter::emit(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
  if (log_ != nullptr) {
    std::fwrite(line.data(), 1, line.size(), log_);
    std::fflush(log_);
  }
}

void Reporter::File(const FileResult& result) {
  if (!result.gaps.empty())
    ++totals_.incomplete;
  if (result.verdict == Verdict::Error) {
    ++totals_.errors;
  } else {
    ++totals_.files;
    if (result.verdict == Verdict::Infected)
      ++totals_.infected;
    else if (result.verdict == Verdict::Suspicious)
      ++totals_.suspicious;
  }
  if (options_.json) {
    jsonLine(result);
  } else {
    gapNote(result);
    textLines(result);
  }
}

void Reporter::gapNote(const FileResult& result) {
  if (result.gaps.empty() || result.verdict == Verdict::Error)
    return;
  const std::size_t more = result.gaps.size() - 1 + result.gapsOmitted;
  Note(PlainText(result.shown +
                 ": not fully scanned: " + gapText(result.shown, result.gaps.front())) +
       (more != 0 ? " (and " + std::to_string(more) + " more)" : ""));
}

// Every name in these lines comes from a file system or an archive: control characters in it
// are written out, so that each result stays one line and nothing reaches the terminal as a
// command.
void Reporter::textLines(const FileResult& result) {
  const std::string shown = PlainText(result.shown);
  switch (result.verdict) {
  case Verdict::Clean:
    if (!options_.quiet && !options_.infectedOnly)
      emit(stdout, shown + ": OK\n");
    return;
  case Verdict::Error:
    emit(stdout, shown + ": " + PlainText(result.error) + " ERROR\n");
    return;
  default:
    break;
  }
  if (options_.quiet)
    return;
  emit(stdout, shown + ": " + PlainText(readable(result.names)) +
                   (result.verdict == Verdict::Infected ? " FOUND\n" : " SUSPICIOUS\n"));
  if (options_.chain)
    for (const kyv::plugin::Finding& finding : result.findings) {
      emit(stdout, "  " + PlainText(readable(finding.Name)) + " in " +
                       PlainText(whereText(result.shown, finding.Chain)) + "\n");
    }
}

void Reporter::jsonLine(const FileResult& result) {
  if (result.verdict == Verdict::Clean && (options_.quiet || options_.infectedOnly))
    return;
  if ((result.verdict == Verdict::Infected || result.verdict == Verdict::Suspicious) &&
      options_.quiet)
    return;
  std::string line = "{\"path\":" + JsonString(result.shown) + ",\"verdict\":\"" +
                     verdictName(result.verdict) + "\",\"names\":[";
  for (std::size_t i = 0; i < result.findings.size(); ++i)
    line += (i != 0 ? "," : "") + JsonString(readable(result.findings[i].Name));
  line += "],\"findings\":[";
  for (std::size_t i = 0; i < result.findings.size(); ++i)
    line += (i != 0 ? "," : "") + jsonFinding(result.findings[i]);
  line += "],\"incomplete\":[";
  for (std::size_t i = 0; i < result.gaps.size(); ++i)
    line += (i != 0 ? "," : "") + jsonGap(result.gaps[i]);
  line += "],\"error\":";
  line += result.error.empty() ? "null" : JsonString(result.error);
  emit(stdout, line + "}\n");
}

void Reporter::PathError(const std::string& path, const std::string& what,
                         const std::string& reason) {
  FileResult result;
  result.shown = path;
  result.verdict = Verdict::Error;
  result.error = what + ": " + reason;
  File(result);
}

void Reporter::Note(const std::string& text) {
  if (!options_.quiet)
    emit(stderr, text + "\n");
}

void Reporter::Warning(const std::string& text) { emit(stderr, text + "\n"); }

void Reporter::Summary(std::size_t signatures, const std::vector<std::string>& refused,
                       double seconds) {
  if (!options_.summary || options_.json)
    return;
  char text[512];
  std::snprintf(text, sizeof text,
                "\n----------- SCAN SUMMARY -----------\n"
                "Known signatures: %zu\n"
                "Scanned files: %lu\n"
                "Infected files: %lu\n"
                "Suspicious files: %lu\n"
                "Errors: %lu\n"
                "Not fully scanned: %lu\n",
                signatures, totals_.files, totals_.infected, totals_.suspicious, totals_.errors,
                totals_.incomplete);
  std::string out = text;
  if (!refused.empty()) {
    out += "Refused database files:";
    for (std::size_t i = 0; i < refused.size(); ++i)
      out += (i == 0 ? " " : ", ") + refused[i];
    out += "\n";
  }
  std::snprintf(text, sizeof text, "Time: %.3f sec\n", seconds);
  out += text;
  emit(stdout, out);
}

int Reporter::ExitStatus() const {
  if (totals_.infected + totals_.suspicious != 0)
    return 1;
  return totals_.errors != 0 ? 2 : 0;
}

} // namespace kyvscan
