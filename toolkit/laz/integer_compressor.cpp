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

}  // namespace laz
