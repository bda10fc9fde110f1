#include "document/pdf_filters.h"

#include <memory>

#include "codec/inflate.h"
#include "codec/lzw.h"
#include "codec/run_length.h"
#include "codec/text_filters.h"

namespace kyv::document {

namespace {

bool isImageFilter(std::string_view name) {
  return name == "DCTDecode" || name == "DCT" || name == "JPXDecode" || name == "CCITTFaxDecode" ||
         name == "CCF" || name == "JBIG2Decode";
}

int intParam(const PdfObject& parms, std::string_view key, int fallback) {
  const PdfObject* v = parms.get(key);
  if (v == nullptr || !v->isInt() || v->number < INT32_MIN || v->number > INT32_MAX)
    return fallback;
  return static_cast<int>(v->number);
}

// The predictor step a decompressor's parameters ask for, when they ask for one that applies.
void addPredictor(const PdfObject& parms, std::vector<PdfFilterStep>& steps) {
  PdfFilterStep step;
  step.filter = PdfFilter::Predictor;
  step.predictor.predictor = intParam(parms, "Predictor", 1);
  step.predictor.colors = intParam(parms, "Colors", 1);
  step.predictor.bitsPerComponent = intParam(parms, "BitsPerComponent", 8);
  step.predictor.columns = intParam(parms, "Columns", 1);
  const int p = step.predictor.predictor;
  // Parameters no image has leave the data as it is, rather than losing it.
  if ((p == 2 || (p >= 10 && p <= 15)) && codec::predictorRowBytes(step.predictor))
    steps.push_back(step);
}

bool isPull(const PdfFilterStep& step) {
  return step.filter == PdfFilter::Flate || step.filter == PdfFilter::Lzw;
}

std::unique_ptr<codec::PushFilter> makePush(const PdfFilterStep& step, ByteSink& out) {
  switch (step.filter) {
  case PdfFilter::AsciiHex:
    return std::make_unique<codec::AsciiHexDecoder>(out);
  case PdfFilter::Ascii85:
    return std::make_unique<codec::Ascii85Decoder>(out);
  case PdfFilter::RunLength:
    return std::make_unique<codec::RunLengthDecoder>(out);
  case PdfFilter::Predictor:
    return std::make_unique<codec::PredictorDecoder>(out, step.predictor);
  default:
    return nullptr;
  }
}

PdfDecode worse(PdfDecode a, PdfDecode b) {
  return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}

// Push steps in front of a sink; the first of them takes the input.
class PushChain {
public:
  PushChain(std::span<const PdfFilterStep> steps, ByteSink& out) : out_(&out) {
    for (std::size_t i = steps.size(); i-- > 0;) {
      filters_.push_back(makePush(steps[i], *out_));
      out_ = filters_.back().get();
    }
  }
  ByteSink& input() { return *out_; }
  // Ends every stage, the first first, so that each flushes into the next.
  PdfDecode finish() {
    PdfDecode result = PdfDecode::Ok;
    for (std::size_t i = filters_.size(); i-- > 0;) {
      switch (filters_[i]->finish()) {
      case codec::FilterStatus::Ok:
        break;
      case codec::FilterStatus::Damaged:
        result = worse(result, PdfDecode::Damaged);
        break;
      case codec::FilterStatus::WriteRefused:
        result = worse(result, PdfDecode::WriteRefused);
        break;
      }
    }
    return result;
  }

private:
  std::vector<std::unique_ptr<codec::PushFilter>> filters_;
  ByteSink* out_;
};

PdfDecode pump(std::span<const std::byte> in, ByteSink& sink) {
  constexpr std::size_t kPiece = 64 * 1024;
  for (std::size_t at = 0; at < in.size(); at += kPiece)
    if (!sink.write(in.subspan(at, std::min(kPiece, in.size() - at))))
      return PdfDecode::WriteRefused; // the chain says why when it is finished
  return PdfDecode::Ok;
}

PdfDecode runPull(const PdfFilterStep& step, std::span<const std::byte> in, ByteSink& out) {
  if (step.filter == PdfFilter::Lzw) {
    MemorySource source(in);
    switch (codec::lzwDecode(source, out, step.earlyChange)) {
    case codec::LzwStatus::Ok:
      return PdfDecode::Ok;
    case codec::LzwStatus::BadCode:
      return PdfDecode::Damaged;
    case codec::LzwStatus::WriteRefused:
      return PdfDecode::WriteRefused;
    }
  }
  // Flate is a zlib stream; writers that leave out the two-byte header (or write a wrong one)
  // exist, and the deflate data is read either way. The Adler-32 at the end is not checked:
  // what decoded is what a viewer shows.
  std::size_t skip = 0;
  if (in.size() >= 2) {
    const auto cmf = static_cast<unsigned>(in[0]);
    const auto flg = static_cast<unsigned>(in[1]);
    if ((cmf & 0x0F) == 8 && (cmf * 256 + flg) % 31 == 0)
      skip = (flg & 0x20) != 0 ? 6 : 2; // with a preset dictionary's identifier
  }
  MemorySource source(in.subspan(std::min(skip, in.size())));
  codec::Inflater inflater(source, {});
  switch (inflater.run(out)) {
  case codec::InflateStatus::Ok:
    return PdfDecode::Ok;
  case codec::InflateStatus::WriteRefused:
    return PdfDecode::WriteRefused;
  default:
    return PdfDecode::Damaged;
  }
}

} // namespace

PdfFilterChain planFilters(const PdfObject& filter, const PdfObject& parms) {
  PdfFilterChain chain;
  std::vector<const PdfObject*> names;
  if (filter.kind == PdfKind::Name)
    names.push_back(&filter);
  else if (filter.kind == PdfKind::Array)
    for (const PdfObject& item : filter.items)
      names.push_back(&item);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i == kPdfMaxFilters) {
      chain.tooLong = true;
      break;
    }
    const PdfObject& name = *names[i];
    const PdfObject noParms;
    const PdfObject& p = parms.kind == PdfKind::Array
                             ? (i < parms.items.size() ? parms.items[i] : noParms)
                         : i == 0 || names.size() == 1 ? parms
                                                       : noParms;
    const std::string_view n = name.bytes;
    PdfFilterStep step;
    if (name.kind != PdfKind::Name) {
      chain.stopsAt = "(not a name)";
      break;
    }
    if (n == "FlateDecode" || n == "Fl") {
      step.filter = PdfFilter::Flate;
    } else if (n == "LZWDecode" || n == "LZW") {
      step.filter = PdfFilter::Lzw;
      step.earlyChange = intParam(p, "EarlyChange", 1) != 0;
    } else if (n == "ASCIIHexDecode" || n == "AHx") {
      step.filter = PdfFilter::AsciiHex;
    } else if (n == "ASCII85Decode" || n == "A85") {
      step.filter = PdfFilter::Ascii85;
    } else if (n == "RunLengthDecode" || n == "RL") {
      step.filter = PdfFilter::RunLength;
    } else if (n == "Crypt") {
      continue; // the security handler has already decrypted the stream
    } else {
      chain.stopsAt = std::string(n);
      chain.stopsAtImage = isImageFilter(n);
      break;
    }
    chain.steps.push_back(step);
    if (isPull(step))
      addPredictor(p, chain.steps);
  }
  return chain;
}

PdfDecode decodeFilters(std::span<const std::byte> raw, std::span<const PdfFilterStep> steps,
                        ByteSink& out) {
  // The last decompressor reads the whole of its input from memory; what comes before it is
  // decoded into memory first (compressed data, bounded), what comes after it is pushed through.
  std::size_t last = steps.size();
  for (std::size_t i = 0; i < steps.size(); ++i)
    if (isPull(steps[i]))
      last = i;
  if (last == steps.size()) {
    PushChain chain(steps, out);
    const PdfDecode pumped = pump(raw, chain.input());
    return worse(chain.finish(),
                 pumped == PdfDecode::WriteRefused && steps.empty() ? pumped : PdfDecode::Ok);
  }
  PdfDecode result = PdfDecode::Ok;
  VectorSink staged(kPdfMaxStageBytes);
  std::span<const std::byte> input = raw;
  if (last > 0) {
    result = decodeFilters(raw, steps.first(last), staged);
    if (result == PdfDecode::WriteRefused)
      result = PdfDecode::StageTooLarge;
    input = staged.bytes();
  }
  PushChain chain(steps.subspan(last + 1), out);
  result = worse(result, runPull(steps[last], input, chain.input()));
  return worse(result, chain.finish());
}

} // namespace kyv::document
