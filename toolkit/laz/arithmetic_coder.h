// The LAZ arithmetic coder: a range coder over 32-bit intervals with adaptive
// models. Its bytes must match other LAZ software's to the last bit, so the
// integer arithmetic below (shifts, the order of the model updates, the
// renormalisation thresholds, the final bytes) is exactly the format's.
//
// Decoder: reads a bounded buffer; reading past its end yields zero bytes and
// sets `overrun`, so a damaged chunk can never read outside its buffer. The
// interval invariant (value < length) is kept for any input, so every table
// index stays inside its model.
// Encoder: appends to a byte vector; a carry walks back over the bytes this
// encoder wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace laz {

inline constexpr uint32_t kMinLength = 0x01000000u;   // renormalise below this interval length
inline constexpr uint32_t kMaxLength = 0xFFFFFFFFu;   // the interval length after a (re)start
inline constexpr uint32_t kBitShift = 13;             // bit models: length bits dropped before the product
inline constexpr uint32_t kBitMaxCount = 1u << kBitShift;
inline constexpr uint32_t kSymbolShift = 15;          // symbol models: length bits dropped before the product
inline constexpr uint32_t kSymbolMaxCount = 1u << kSymbolShift;

// An adaptive model of one binary decision.
struct BitModel {
    uint32_t updateCycle = 4, untilUpdate = 4;
    uint32_t prob0 = 1u << (kBitShift - 1);  // probability of a 0, scaled to 2^kBitShift
    uint32_t count0 = 1, count = 2;
};
void reset_bit_model(BitModel& m);
void refresh_bit_model(BitModel& m);

// An adaptive model of an alphabet of 2 to 2048 symbols. A decoding model of
// more than 16 symbols carries a look-up table that narrows the search; the
// cumulative distribution is the same with or without it.
struct SymbolModel {
    uint32_t symbols = 0, lastSymbol = 0;
    uint32_t totalCount = 0, updateCycle = 0, untilUpdate = 0;
    uint32_t tableSize = 0, tableShift = 0;
    std::vector<uint32_t> distribution;  // cumulative, scaled to 2^kSymbolShift
    std::vector<uint32_t> counts;
    std::vector<uint32_t> table;          // tableSize + 2 entries, empty without a table
};
// Equiprobable start. Reuses the model's storage when the alphabet is unchanged.
void reset_symbol_model(SymbolModel& m, uint32_t symbols, bool forDecoding);
void refresh_symbol_model(SymbolModel& m);

// ---------------------------------------------------------------------------
// Decoder
// ---------------------------------------------------------------------------
struct Decoder {
    const uint8_t* data = nullptr;
    size_t size = 0, pos = 0;
    uint32_t value = 0, length = kMaxLength;
    bool overrun = false;  // a byte past the end was asked for, or a value no encoder writes
};

inline uint8_t next_byte(Decoder& d) {
    if (d.pos < d.size) return d.data[d.pos++];
    d.overrun = true;
    return 0;
}

// Starts decoding at data[0]: the first four bytes are the initial value.
void start_decoder(Decoder& d, const uint8_t* data, size_t size);
// Continues at the decoder's current position with a fresh interval
// (the first four bytes there are the new value).
void restart_decoder(Decoder& d);

[[gnu::always_inline]] inline void renormalise(Decoder& d) {
    do {
        d.value = (d.value << 8) | next_byte(d);
    } while ((d.length <<= 8) < kMinLength);
}

[[gnu::always_inline]] inline uint32_t decode_bit(Decoder& d, BitModel& m) {
    const uint32_t x = m.prob0 * (d.length >> kBitShift);
    uint32_t bit;
    if (d.value < x) {
        bit = 0;
        d.length = x;
        ++m.count0;
    } else {
        bit = 1;
        d.value -= x;
        d.length -= x;
    }
    if (d.length < kMinLength) renormalise(d);
    if (--m.untilUpdate == 0) refresh_bit_model(m);
    return bit;
}

[[gnu::always_inline]] inline uint32_t decode_symbol(Decoder& d, SymbolModel& m) {
    const uint32_t* dist = m.distribution.data();
    uint32_t sym, x, y = d.length;
    d.length >>= kSymbolShift;
    if (!m.table.empty()) {
        const uint32_t scaled = d.value / d.length;
        uint32_t t = scaled >> m.tableShift;
        if (t > m.tableSize) t = m.tableSize;
        sym = m.table[t];
        uint32_t hi = m.table[t + 1] + 1;
        while (hi > sym + 1) {
            const uint32_t mid = (sym + hi) >> 1;
            if (dist[mid] > scaled) hi = mid; else sym = mid;
        }
        x = dist[sym] * d.length;
        if (sym != m.lastSymbol) y = dist[sym + 1] * d.length;
    } else {
        x = sym = 0;
        uint32_t hi = m.symbols, mid = hi >> 1;
        do {
            const uint32_t z = d.length * dist[mid];
            if (z > d.value) {
                hi = mid;
                y = z;
            } else {
                sym = mid;
                x = z;
            }
        } while ((mid = (sym + hi) >> 1) != sym);
    }
    d.value -= x;
    d.length = y - x;
    if (d.length < kMinLength) renormalise(d);
    ++m.counts[sym];
    if (--m.untilUpdate == 0) refresh_symbol_model(m);
    return sym;
}

// Raw bits, 1 to 32 of them (more than 19 go as a low 16 and the rest).
uint32_t read_bits(Decoder& d, uint32_t bits);
inline uint32_t read_int(Decoder& d) {
    const uint32_t low = read_bits(d, 16);
    return (read_bits(d, 16) << 16) | low;
}

// ---------------------------------------------------------------------------
// Encoder
// ---------------------------------------------------------------------------
struct Encoder {
    std::vector<uint8_t>* out = nullptr;
    size_t start = 0;  // first byte of this encoder's output in *out
    uint32_t base = 0, length = kMaxLength;
};

void start_encoder(Encoder& e, std::vector<uint8_t>& out);
// The closing bytes: after them a decoder has read exactly what was written.
void finish_encoder(Encoder& e);

inline void carry(Encoder& e) {
    std::vector<uint8_t>& o = *e.out;
    size_t p = o.size();
    while (p > e.start) {
        --p;
        if (o[p] != 0xFF) {
            ++o[p];
            return;
        }
        o[p] = 0;
    }
}

[[gnu::always_inline]] inline void renormalise(Encoder& e) {
    do {
        e.out->push_back(static_cast<uint8_t>(e.base >> 24));
        e.base <<= 8;
    } while ((e.length <<= 8) < kMinLength);
}

[[gnu::always_inline]] inline void encode_bit(Encoder& e, BitModel& m, uint32_t bit) {
    const uint32_t x = m.prob0 * (e.length >> kBitShift);
    if (bit == 0) {
        e.length = x;
        ++m.count0;
    } else {
        const uint32_t before = e.base;
        e.base += x;
        e.length -= x;
        if (before > e.base) carry(e);
    }
    if (e.length < kMinLength) renormalise(e);
    if (--m.untilUpdate == 0) refresh_bit_model(m);
}

[[gnu::always_inline]] inline void encode_symbol(Encoder& e, SymbolModel& m, uint32_t sym) {
    const uint32_t before = e.base;
    const uint32_t* dist = m.distribution.data();
    if (sym == m.lastSymbol) {
        const uint32_t x = dist[sym] * (e.length >> kSymbolShift);
        e.base += x;
        e.length -= x;
    } else {
        e.length >>= kSymbolShift;
        const uint32_t x = dist[sym] * e.length;
        e.base += x;
        e.length = dist[sym + 1] * e.length - x;
    }
    if (before > e.base) carry(e);
    if (e.length < kMinLength) renormalise(e);
    ++m.counts[sym];
    if (--m.untilUpdate == 0) refresh_symbol_model(m);
}

// Raw bits, 1 to 32 of them; value < 2^bits.
void write_bits(Encoder& e, uint32_t bits, uint32_t value);
inline void write_int(Encoder& e, uint32_t value) {
    write_bits(e, 16, value & 0xFFFF);
    write_bits(e, 16, value >> 16);
}

}  // namespace laz
