// The intensity-normalized copy of every LAS file.
#pragma once

#include <cstdint>

namespace quilvor {

void normalizeIntensity();

// The stored intensity for a normalized value v: truncated toward zero,
// 0 for a value that is not a number or negative, 65535 at most; with
// truncation on, clamped into [1, 255].
uint16_t stored_intensity(double v, bool truncate);

}  // namespace quilvor
