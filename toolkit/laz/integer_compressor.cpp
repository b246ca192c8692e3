// The LAZ integer compressor. Sums and differences wrap as 32-bit unsigned
// numbers do: the format relies on two's-complement wrapping.
#include "integer_compressor.h"

namespace laz {

namespace {

int32_t wrap(uint32_t v) { return static_cast<int32_t>(v); }

}  // namespace

void reset_integer_coder(IntegerCoder& c, uint32_t bits, uint32_t contexts, bool forDecoding, uint32_t bitsHigh,
                         uint32_t range) {
    c.bits = bits;
    c.contexts = contexts;
    c.bitsHigh = bitsHigh;
    c.range = range;
    if (range) {
        c.corrBits = 0;
        c.corrRange = range;
        for (uint32_t r = range; r; r >>= 1) ++c.corrBits;
        if (c.corrRange == (1u << (c.corrBits - 1))) --c.corrBits;
        c.corrMin = -static_cast<int32_t>(c.corrRange / 2);
        c.corrMax = wrap(static_cast<uint32_t>(c.corrMin) + c.corrRange - 1);
    } else if (bits && bits < 32) {
        c.corrBits = bits;
        c.corrRange = 1u << bits;
        c.corrMin = -static_cast<int32_t>(c.corrRange / 2);
        c.corrMax = wrap(static_cast<uint32_t>(c.corrMin) + c.corrRange - 1);
    } else {
        c.corrBits = 32;
        c.corrRange = 0;
        c.corrMin = INT32_MIN;
        c.corrMax = INT32_MAX;
    }
    c.k = 0;
    c.kModels.resize(contexts);
    for (SymbolModel& m : c.kModels) reset_symbol_model(m, c.corrBits + 1, forDecoding);
    reset_bit_model(c.zeroOrOne);
    c.correctors.resize(c.corrBits + 1);
    for (uint32_t i = 1; i <= c.corrBits; ++i)
        reset_symbol_model(c.correctors[i], 1u << (i <= bitsHigh ? i : bitsHigh), forDecoding);
}

void encode_integer(Encoder& e, IntegerCoder& c, int32_t predicted, int32_t actual, uint32_t context) {
    int32_t corr = wrap(static_cast<uint32_t>(actual) - static_cast<uint32_t>(predicted));
    if (corr < c.corrMin) corr = wrap(static_cast<uint32_t>(corr) + c.corrRange);
    else if (corr > c.corrMax) corr = wrap(static_cast<uint32_t>(corr) - c.corrRange);

    // k: the bits of |corr| (of corr - 1 for positive correctors).
    uint32_t magnitude = corr <= 0 ? 0u - static_cast<uint32_t>(corr) : static_cast<uint32_t>(corr) - 1;
    uint32_t k = 0;
    while (magnitude) {
        magnitude >>= 1;
        ++k;
    }
    c.k = k;
    encode_symbol(e, c.kModels[context], k);
    if (k == 0) {
        encode_bit(e, c.zeroOrOne, static_cast<uint32_t>(corr));
    } else if (k < 32) {
        const uint32_t v = corr < 0 ? static_cast<uint32_t>(corr) + ((1u << k) - 1) : static_cast<uint32_t>(corr) - 1;
        if (k <= c.bitsHigh) {
            encode_symbol(e, c.correctors[k], v);
        } else {
            const uint32_t lowBits = k - c.bitsHigh;
            encode_symbol(e, c.correctors[k], v >> lowBits);
            write_bits(e, lowBits, v & ((1u << lowBits) - 1));
        }
    }
}

}  // namespace laz
