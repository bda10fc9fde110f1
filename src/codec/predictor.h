// Row predictors that precede compression of image-like data, undone after decompression: the
// TIFF one (each sample stored as its difference from the one to its left) and the PNG ones
// (each row starts with a byte naming its filter: none, sub, up, average, Paeth).
#pragma once

#include <optional>

#include "codec/push_filter.h"

namespace kyv::codec {

struct PredictorParams {
  int predictor = 1; // 1 none, 2 TIFF, 10 to 15 PNG (the row's own byte decides)
  int colors = 1;
  int bitsPerComponent = 8;
  int columns = 1;
};

// The bytes of one row without the PNG filter byte; nullopt when the parameters are out of the
// range any image has (the data is then passed on as it is).
std::optional<std::size_t> predictorRowBytes(const PredictorParams& params);

class PredictorDecoder final : public PushFilter {
public:
  // params must have passed predictorRowBytes().
  PredictorDecoder(ByteSink& out, const PredictorParams& params);

private:
  void consume(std::span<const std::uint8_t> data) override;
  // A last row cut short is decoded as far as it goes.
  void end() override;
  void finishRow();
  void undoTiff();
  void undoPng();

  PredictorParams params_;
  bool png_;
  std::size_t rowBytes_;
  std::size_t pixelBytes_; // bytes left of a pixel's first byte in the PNG filters (at least 1)
  std::vector<std::uint8_t> previous_;
  std::vector<std::uint8_t> row_; // for PNG, the filter byte first
  std::size_t filled_ = 0;
};

} // namespace kyv::codec
