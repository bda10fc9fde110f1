// A stream's filter chain (/Filter with its /DecodeParms), decoded in order into a sink. Filters
// that only images use (DCT, JPX, CCITT fax, JBIG2) end the chain with the bytes still in that
// encoding, since an image format is what they are; a filter no reader here knows ends it too.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "codec/predictor.h"
#include "document/pdf_object.h"

namespace kyv::document {

// Filters applied to one stream; more is no document's (real files use one to three).
inline constexpr std::size_t kPdfMaxFilters = 16;
// What a filter stage that feeds a decompressor may hold in memory (the last stage writes to the
// sink and is not held).
inline constexpr std::size_t kPdfMaxStageBytes = 64u << 20;

enum class PdfFilter { AsciiHex, Ascii85, Lzw, Flate, RunLength, Predictor };

struct PdfFilterStep {
  PdfFilter filter = PdfFilter::Flate;
  codec::PredictorParams predictor; // PdfFilter::Predictor
  bool earlyChange = true;          // PdfFilter::Lzw
};

struct PdfFilterChain {
  std::vector<PdfFilterStep> steps;
  // The filter the chain stops at without decoding (an image filter, or one unknown here), and
  // whether that is an image filter, whose bytes are meant to stay encoded.
  std::string stopsAt;
  bool stopsAtImage = false;
  bool tooLong = false; // more than kPdfMaxFilters filters
};

// filter: the /Filter value (a name or an array of names); parms: /DecodeParms (a dictionary, or
// an array of dictionaries or nulls beside the names), both already resolved.
PdfFilterChain planFilters(const PdfObject& filter, const PdfObject& parms);

enum class PdfDecode {
  Ok,           // every step ran to its end
  Damaged,      // a step met broken data; what it decoded before was passed on
  WriteRefused, // the sink refused a write
  StageTooLarge // a stage before a decompressor held more than kPdfMaxStageBytes
};

PdfDecode decodeFilters(std::span<const std::byte> raw, std::span<const PdfFilterStep> steps,
                        ByteSink& out);

} // namespace kyv::document
