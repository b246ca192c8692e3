// The pointwise items of formats 0 to 5 (point10, gpstime11, rgb12,
// wavepacket13, byte):
// one arithmetic-coded stream per chunk after the chunk's first record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "laz_codec.h"

namespace laz {

// `used`: the bytes the chunk occupies (its first record and the coder's stream).
std::string decode_pointwise_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                   uint32_t points, uint8_t* out, size_t& used);
void encode_pointwise_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                            std::vector<uint8_t>& out);

}  // namespace laz
