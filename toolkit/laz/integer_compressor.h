// The LAZ integer compressor: an integer is coded as its difference from a
// prediction (the corrector), in two steps: k, the number of significant bits
// of the corrector (one adaptive model per context), then the corrector's
// value among the 2^k of that size (one model per k for its high bits, raw
// bits below). The same struct serves the encoder and the decoder.
#pragma once

#include <cstdint>
#include <vector>

#include "arithmetic_coder.h"

namespace laz {

struct IntegerCoder {
    uint32_t bits = 16, contexts = 1, bitsHigh = 8, range = 0;
    uint32_t corrBits = 0, corrRange = 0;
    int32_t corrMin = 0, corrMax = 0;
    uint32_t k = 0;                       // k of the last integer coded
    std::vector<SymbolModel> kModels;     // per context: corrBits + 1 symbols
    BitModel zeroOrOne;                   // k == 0: the corrector is 0 or 1
    std::vector<SymbolModel> correctors;  // per k (index 1..corrBits): its high bits
};

// Shapes the coder (bits of the integers, contexts, bits coded by a model,
// or a range instead of bits) and resets every model. Calling it again with
// the same shape reuses the storage.
void reset_integer_coder(IntegerCoder& c, uint32_t bits, uint32_t contexts, bool forDecoding,
                         uint32_t bitsHigh = 8, uint32_t range = 0);

// Inline in the decoders' loops: one call per coordinate otherwise.
[[gnu::always_inline]] inline int32_t decode_integer(Decoder& d, IntegerCoder& c, int32_t predicted,
                                                    uint32_t context = 0) {
    if (context >= c.contexts) context = c.contexts - 1;
    const uint32_t k = decode_symbol(d, c.kModels[context]);
    c.k = k;
    int32_t corr;
    if (k == 0) {
        corr = static_cast<int32_t>(decode_bit(d, c.zeroOrOne));
    } else if (k < 32) {
        uint32_t v;
        if (k <= c.bitsHigh) {
            v = decode_symbol(d, c.correctors[k]);
        } else {
            const uint32_t lowBits = k - c.bitsHigh;
            v = decode_symbol(d, c.correctors[k]);
            v = (v << lowBits) | read_bits(d, lowBits);
        }
        // v in [2^(k-1), 2^k) stands for the positive correctors 2^(k-1)+1 .. 2^k,
        // below that for the negative ones -(2^k-1) .. -2^(k-1).
        if (v >= (1u << (k - 1))) corr = static_cast<int32_t>(v + 1);
        else corr = static_cast<int32_t>(v - ((1u << k) - 1));
    } else {
        corr = c.corrMin;
    }
    // Sums wrap as 32-bit unsigned numbers do (the format relies on it).
    uint32_t actual = static_cast<uint32_t>(predicted) + static_cast<uint32_t>(corr);
    if (static_cast<int32_t>(actual) < 0) actual += c.corrRange;
    else if (actual >= c.corrRange) actual -= c.corrRange;
    return static_cast<int32_t>(actual);
}

[[gnu::always_inline]] inline void encode_integer(Encoder& e, IntegerCoder& c, int32_t predicted, int32_t actual,
                                                 uint32_t context = 0) {
    int32_t corr = static_cast<int32_t>(static_cast<uint32_t>(actual) - static_cast<uint32_t>(predicted));
    if (corr < c.corrMin) corr = static_cast<int32_t>(static_cast<uint32_t>(corr) + c.corrRange);
    else if (corr > c.corrMax) corr = static_cast<int32_t>(static_cast<uint32_t>(corr) - c.corrRange);

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
