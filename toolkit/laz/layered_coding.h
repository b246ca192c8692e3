// Shared pieces of the layered item coders (internal to layered.cpp).
//
// Every item is written once, as a template over the side that codes a layer:
// LayerReader decodes a value, LayerWriter encodes the value it is given; both
// return the value, so the coder's state moves the same way in either direction.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "arithmetic_coder.h"
#include "integer_compressor.h"

namespace laz::layered {

struct LayerReader {
    static constexpr bool kWriting = false;
    Decoder decoder;
    bool live = false;  // the layer has bytes in this chunk

    uint32_t symbol(SymbolModel& m, uint32_t) { return decode_symbol(decoder, m); }
    int32_t integer(IntegerCoder& c, int32_t predicted, int32_t, uint32_t context) {
        return decode_integer(decoder, c, predicted, context);
    }
    uint32_t raw32(uint32_t) { return read_int(decoder); }
};

struct LayerWriter {
    static constexpr bool kWriting = true;
    std::vector<uint8_t> bytes;
    Encoder encoder;
    bool live = true;      // a writer codes every layer ...
    bool differs = false;  // ... and keeps it only when some value differs from its prediction source

    LayerWriter() = default;
    LayerWriter(const LayerWriter&) = delete;  // the encoder points at bytes
    LayerWriter& operator=(const LayerWriter&) = delete;

    void start() {
        bytes.clear();
        differs = false;
        start_encoder(encoder, bytes);
    }
    uint32_t symbol(SymbolModel& m, uint32_t s) {
        encode_symbol(encoder, m, s);
        return s;
    }
    int32_t integer(IntegerCoder& c, int32_t predicted, int32_t actual, uint32_t context) {
        encode_integer(encoder, c, predicted, actual, context);
        return actual;
    }
    uint32_t raw32(uint32_t v) {
        write_int(encoder, v);
        return v;
    }
};

// A model that is shaped on its first use after its channel starts.
struct LazyModel {
    SymbolModel model;
    bool ready = false;
};
inline SymbolModel& use(LazyModel& m, uint32_t symbols, bool forDecoding) {
    if (!m.ready) {
        reset_symbol_model(m.model, symbols, forDecoding);
        m.ready = true;
    }
    return m.model;
}

// One byte coded as its difference (mod 256) from a prediction.
template <class Side>
uint8_t code_byte(Side& side, SymbolModel& m, uint32_t predicted, uint8_t actual) {
    const uint32_t diff = side.symbol(m, (actual - predicted) & 0xFFu);
    return static_cast<uint8_t>((diff + predicted) & 0xFFu);
}

inline uint32_t clamp_byte(int32_t v) { return v <= 0 ? 0u : v >= 255 ? 255u : static_cast<uint32_t>(v); }

inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Little-endian fields of the record bytes.
inline uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load64(const uint8_t* p) { return load32(p) | (static_cast<uint64_t>(load32(p + 4)) << 32); }
inline void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void store64(uint8_t* p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v));
    store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Which channel's last record an attribute item predicts from. A record on a
// channel not yet seen in the chunk starts that channel from the previous
// channel's last record; a record returning to a known channel predicts from
// that channel's last record (version 4) or from the previous channel's
// (version 3).
struct ChannelFollower {
    std::array<bool, 4> active{};
    uint32_t current = 0;
    bool ownLast = true;  // version 4

    void begin(uint32_t channel) {
        active = {};
        active[channel] = true;
        current = channel;
    }
    // Returns the slot to predict from; start(channel, fromSlot) shapes a new channel.
    template <class Start>
    uint32_t follow(uint32_t channel, Start&& start) {
        uint32_t slot = current;
        if (channel != current) {
            if (!active[channel]) {
                start(channel, slot);
                active[channel] = true;
                slot = channel;
            } else if (ownLast) {
                slot = channel;
            }
            current = channel;
        }
        return slot;
    }
};

}  // namespace laz::layered
