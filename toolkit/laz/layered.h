// The layered chunks of LAZ for the LAS 1.4 point formats 6 to 10 (compressor 3).
//
// A chunk holds its first record as plain bytes, then the number of records in
// the chunk (32 bits), then the byte count of every layer of every item, then
// the layers themselves, each its own arithmetic-coded stream. The items are
// point14 (nine layers: returns and X/Y, Z, classification, flags, intensity,
// scan angle, user data, point source, GPS time), rgb14 (one), rgbnir14 (two:
// RGB, NIR), wavepacket14 (one) and byte14 (one per extra byte). Every item keeps
// one model set per scanner channel; point14 says which channel a record is on.
// A layer that never changes within a chunk is stored with zero bytes.
//
// Item versions 3 and 4 write the same point14 stream; they differ in how the
// other items follow the scanner channels. Version 4: each item codes a record
// with the models and the last record of the record's channel. Version 3 keeps
// two quirks of the first writer: point14 names the record's channel to the
// other items only when it changed from the record before, and says channel 0
// otherwise; and an item that moves to a channel it has already used keeps
// predicting from (and storing into) the last record of the channel it leaves.
// The two versions give identical bytes when all records are on channel 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "laz_codec.h"

namespace laz {

// One chunk's bytes -> points * recordLength bytes of plain LAS records.
// "" or what is wrong; never reads outside data[0, size). `used` (if given)
// receives the bytes the chunk occupies, known from its layer sizes.
std::string decode_layered_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                 uint32_t points, uint8_t* out, size_t* used = nullptr);

// Plain LAS records -> one chunk's bytes, appended to out. The items must
// describe the records (check_items); nothing is appended for zero points.
void encode_layered_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                          std::vector<uint8_t>& out);

}  // namespace laz
