// A service candle frame, decoded and laid out: every coordinate handed to the painter must
// be finite, whatever numbers the frame carries.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "presentation/LiveCandlestickChart.h"
#include "wire/ServiceRecords.h"

namespace {

void check(double v) {
  if (!std::isfinite(v)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  // The first two bytes pick the canvas, so tiny and odd sizes are covered too.
  const double width = data[0] * 2.0;
  const double height = data[1];
  const auto frame =
      quorvin::API::decodeLiveCandleFrame(std::string_view(reinterpret_cast<const char*>(data + 2), size - 2));
  if (!frame || frame->candles.size() > 5000) {
    return 0;
  }
  using namespace quorvin::presentation;
  for (const auto& shape : liveCandlestickChart(frame->candles, frame->stale.value_or(true), width, height)) {
    if (const auto* line = std::get_if<LineShape>(&shape)) {
      check(line->from.x), check(line->from.y), check(line->to.x), check(line->to.y);
    } else if (const auto* box = std::get_if<BoxShape>(&shape)) {
      check(box->rect.x), check(box->rect.y), check(box->rect.width), check(box->rect.height);
    } else if (const auto* dot = std::get_if<DotShape>(&shape)) {
      check(dot->center.x), check(dot->center.y);
    } else if (const auto* text = std::get_if<TextShape>(&shape)) {
      check(text->anchor.x), check(text->anchor.y);
    }
  }
  return 0;
}
