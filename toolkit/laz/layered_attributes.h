// The items after point14 in the layered chunks: rgb14 and rgbnir14, wavepacket14
// and byte14 (internal to layered.cpp). Each follows the scanner channel point14
// decided for the record.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "layered_coding.h"

namespace laz::layered {

// ---------------------------------------------------------------------------
// rgb14 (red, green, blue) and rgbnir14 (the same and near infrared), 16 bits each
// ---------------------------------------------------------------------------
using Colour = std::array<uint16_t, 4>;  // red, green, blue, near infrared

template <class Side>
struct ColourCoder {
    static constexpr bool kDecoding = !Side::kWriting;
    struct Channel {
        SymbolModel rgbUsed, nirUsed;
        std::array<SymbolModel, 6> rgbDiff;
        std::array<SymbolModel, 2> nirDiff;
        Colour last{};
    };
    bool nir = false;              // rgbnir14: a second layer for the near infrared
    std::array<Side, 2> layers;    // RGB, NIR
    std::array<Channel, 4> channels;
    ChannelFollower follower;

    size_t layer_count() const { return nir ? 2 : 1; }
    size_t bytes() const { return nir ? 8 : 6; }

    Colour load(const uint8_t* f) const {
        Colour v{};
        for (size_t i = 0; i < bytes() / 2; ++i) v[i] = load16(f + 2 * i);
        return v;
    }
    void start_channel(uint32_t ci, const Colour& from) {
        Channel& c = channels[ci];
        reset_symbol_model(c.rgbUsed, 128, kDecoding);
        for (SymbolModel& m : c.rgbDiff) reset_symbol_model(m, 256, kDecoding);
        if (nir) {
            reset_symbol_model(c.nirUsed, 4, kDecoding);
            for (SymbolModel& m : c.nirDiff) reset_symbol_model(m, 256, kDecoding);
        }
        c.last = from;
    }
    void begin(const uint8_t* first, uint32_t channel) {
        follower.begin(channel);
        start_channel(channel, load(first));
    }
    void code(uint8_t* f, uint32_t channel) {
        const uint32_t slot = follower.follow(channel, [&](uint32_t to, uint32_t from) {
            const Colour start = channels[from].last;
            start_channel(to, start);
        });
        Channel& c = channels[follower.current];
        Colour& last = channels[slot].last;
        Colour in{};
        if constexpr (Side::kWriting) in = load(f);
        Colour v = last;
        if (layers[0].live) {
            code_rgb(layers[0], c, last, in, v);
            std::copy_n(v.begin(), 3, last.begin());
        }
        if (nir && layers[1].live) {
            Side& s = layers[1];
            const uint32_t lo = last[3] & 0xFFu, hi = last[3] >> 8;
            uint32_t used = 0;
            if constexpr (Side::kWriting) used = ((in[3] & 0xFFu) != lo ? 1u : 0u) | ((in[3] >> 8) != hi ? 2u : 0u);
            used = s.symbol(c.nirUsed, used);
            if constexpr (Side::kWriting) s.differs |= used != 0;
            const uint32_t vlo = used & 1u ? code_byte(s, c.nirDiff[0], lo, static_cast<uint8_t>(in[3])) : lo;
            const uint32_t vhi = used & 2u ? code_byte(s, c.nirDiff[1], hi, static_cast<uint8_t>(in[3] >> 8)) : hi;
            v[3] = static_cast<uint16_t>(vlo | (vhi << 8));
            last[3] = v[3];
        }
        if constexpr (!Side::kWriting)
            for (size_t i = 0; i < bytes() / 2; ++i) store16(f + 2 * i, v[i]);
    }

private:
    // Red's bytes as differences from the last red; green's and blue's as
    // differences from the last value moved by red's (and green's) change.
    static void code_rgb(Side& s, Channel& c, const Colour& last, const Colour& in, Colour& v) {
        auto lo = [](uint32_t x) { return x & 0xFFu; };
        auto hi = [](uint32_t x) { return x >> 8; };
        uint32_t used = 0;
        if constexpr (Side::kWriting) {
            for (uint32_t i = 0; i < 3; ++i) {
                used |= (lo(in[i]) != lo(last[i]) ? 1u : 0u) << (2 * i);
                used |= (hi(in[i]) != hi(last[i]) ? 1u : 0u) << (2 * i + 1);
            }
            if (lo(in[0]) != lo(in[1]) || lo(in[0]) != lo(in[2]) || hi(in[0]) != hi(in[1]) || hi(in[0]) != hi(in[2]))
                used |= 64u;
        }
        used = s.symbol(c.rgbUsed, used);
        if constexpr (Side::kWriting) s.differs |= used != 0;
        auto byte = [&](uint32_t bit, uint32_t model, uint32_t predicted, uint32_t actual, uint32_t otherwise) {
            return used & (1u << bit) ? code_byte(s, c.rgbDiff[model], predicted, static_cast<uint8_t>(actual))
                                      : otherwise;
        };
        const uint32_t rLo = byte(0, 0, lo(last[0]), lo(in[0]), lo(last[0]));
        const uint32_t rHi = byte(1, 1, hi(last[0]), hi(in[0]), hi(last[0]));
        uint32_t gLo = rLo, gHi = rHi, bLo = rLo, bHi = rHi;
        if (used & 64u) {
            int32_t diff = static_cast<int32_t>(rLo) - static_cast<int32_t>(lo(last[0]));
            gLo = byte(2, 2, clamp_byte(diff + static_cast<int32_t>(lo(last[1]))), lo(in[1]), lo(last[1]));
            bLo = lo(last[2]);
            if (used & 16u) {
                diff = (diff + static_cast<int32_t>(gLo) - static_cast<int32_t>(lo(last[1]))) / 2;
                bLo = byte(4, 4, clamp_byte(diff + static_cast<int32_t>(lo(last[2]))), lo(in[2]), 0);
            }
            diff = static_cast<int32_t>(rHi) - static_cast<int32_t>(hi(last[0]));
            gHi = byte(3, 3, clamp_byte(diff + static_cast<int32_t>(hi(last[1]))), hi(in[1]), hi(last[1]));
            bHi = hi(last[2]);
            if (used & 32u) {
                diff = (diff + static_cast<int32_t>(gHi) - static_cast<int32_t>(hi(last[1]))) / 2;
                bHi = byte(5, 5, clamp_byte(diff + static_cast<int32_t>(hi(last[2]))), hi(in[2]), 0);
            }
        }
        v[0] = static_cast<uint16_t>(rLo | (rHi << 8));
        v[1] = static_cast<uint16_t>(gLo | (gHi << 8));
        v[2] = static_cast<uint16_t>(bLo | (bHi << 8));
    }
};

// ---------------------------------------------------------------------------
// wavepacket14: descriptor index, offset, size, return point and x, y, z step
// ---------------------------------------------------------------------------
namespace wave_layout {
inline constexpr size_t kIndex = 0, kOffset = 1, kSize = 9, kReturnPoint = 13, kXt = 17, kYt = 21, kZt = 25,
                        kBytes = 29;
}

struct WavePacket {
    uint8_t index = 0;
    uint64_t offset = 0;
    uint32_t size = 0;
    std::array<int32_t, 4> floats{};  // return point, x, y, z: coded by their bits
};

inline WavePacket load_wave(const uint8_t* f) {
    using namespace wave_layout;
    WavePacket w;
    w.index = f[kIndex];
    w.offset = load64(f + kOffset);
    w.size = load32(f + kSize);
    w.floats[0] = static_cast<int32_t>(load32(f + kReturnPoint));
    w.floats[1] = static_cast<int32_t>(load32(f + kXt));
    w.floats[2] = static_cast<int32_t>(load32(f + kYt));
    w.floats[3] = static_cast<int32_t>(load32(f + kZt));
    return w;
}

inline void store_wave(const WavePacket& w, uint8_t* f) {
    using namespace wave_layout;
    f[kIndex] = w.index;
    store64(f + kOffset, w.offset);
    store32(f + kSize, w.size);
    store32(f + kReturnPoint, static_cast<uint32_t>(w.floats[0]));
    store32(f + kXt, static_cast<uint32_t>(w.floats[1]));
    store32(f + kYt, static_cast<uint32_t>(w.floats[2]));
    store32(f + kZt, static_cast<uint32_t>(w.floats[3]));
}

template <class Side>
struct WaveCoder {
    static constexpr bool kDecoding = !Side::kWriting;
    struct Channel {
        SymbolModel index;
        std::array<SymbolModel, 4> offsetKind;  // by the last kind: same, after the last packet, a step, absolute
        IntegerCoder offsetStep, size, returnPoint, xyz;
        int32_t lastStep = 0;
        uint32_t lastKind = 0;
        std::array<uint8_t, wave_layout::kBytes> last{};
    };
    std::array<Side, 1> layers;
    std::array<Channel, 4> channels;
    ChannelFollower follower;

    void start_channel(uint32_t ci, const uint8_t* from) {
        Channel& c = channels[ci];
        reset_symbol_model(c.index, 256, kDecoding);
        for (SymbolModel& m : c.offsetKind) reset_symbol_model(m, 4, kDecoding);
        reset_integer_coder(c.offsetStep, 32, 1, kDecoding);
        reset_integer_coder(c.size, 32, 1, kDecoding);
        reset_integer_coder(c.returnPoint, 32, 1, kDecoding);
        reset_integer_coder(c.xyz, 32, 3, kDecoding);
        c.lastStep = 0;
        c.lastKind = 0;
        std::memcpy(c.last.data(), from, wave_layout::kBytes);
    }
    void begin(const uint8_t* first, uint32_t channel) {
        follower.begin(channel);
        start_channel(channel, first);
    }
    void code(uint8_t* f, uint32_t channel) {
        const uint32_t slot = follower.follow(channel, [&](uint32_t to, uint32_t from) {
            const auto start = channels[from].last;
            start_channel(to, start.data());
        });
        Channel& c = channels[follower.current];
        auto& lastBytes = channels[slot].last;
        Side& s = layers[0];
        if (!s.live) {
            std::memcpy(f, lastBytes.data(), wave_layout::kBytes);
            return;
        }
        if constexpr (Side::kWriting) s.differs |= std::memcmp(f, lastBytes.data(), wave_layout::kBytes) != 0;
        const WavePacket last = load_wave(lastBytes.data());
        WavePacket in, v;
        if constexpr (Side::kWriting) in = load_wave(f);
        v.index = static_cast<uint8_t>(s.symbol(c.index, in.index));

        const auto step64 = static_cast<int64_t>(in.offset - last.offset);
        const auto step = static_cast<int32_t>(step64);
        uint32_t kind = 0;
        if constexpr (Side::kWriting) {
            if (step64 != step) kind = 3;
            else if (step == 0) kind = 0;
            else if (step == static_cast<int32_t>(last.size)) kind = 1;
            else kind = 2;
        }
        kind = s.symbol(c.offsetKind[c.lastKind], kind);
        c.lastKind = kind;
        if (kind == 0) {
            v.offset = last.offset;
        } else if (kind == 1) {
            v.offset = last.offset + last.size;
        } else if (kind == 2) {
            c.lastStep = s.integer(c.offsetStep, c.lastStep, step, 0);
            v.offset = last.offset + static_cast<uint64_t>(static_cast<int64_t>(c.lastStep));
        } else {
            const uint64_t low = s.raw32(static_cast<uint32_t>(in.offset));
            const uint64_t high = s.raw32(static_cast<uint32_t>(in.offset >> 32));
            v.offset = low | (high << 32);
        }
        v.size = static_cast<uint32_t>(
            s.integer(c.size, static_cast<int32_t>(last.size), static_cast<int32_t>(in.size), 0));
        v.floats[0] = s.integer(c.returnPoint, last.floats[0], in.floats[0], 0);
        for (uint32_t i = 1; i < 4; ++i) v.floats[i] = s.integer(c.xyz, last.floats[i], in.floats[i], i - 1);
        if constexpr (!Side::kWriting) store_wave(v, f);
        std::memcpy(lastBytes.data(), f, wave_layout::kBytes);
    }
};

// ---------------------------------------------------------------------------
// byte14: the extra bytes, each its own layer, coded as differences
// ---------------------------------------------------------------------------
template <class Side>
struct BytesCoder {
    static constexpr bool kDecoding = !Side::kWriting;
    struct Channel {
        std::vector<SymbolModel> models;
        std::vector<uint8_t> last;
    };
    size_t count;
    std::vector<Side> layers;
    std::array<Channel, 4> channels;
    ChannelFollower follower;

    explicit BytesCoder(size_t n) : count(n), layers(n) {}

    void start_channel(uint32_t ci, const uint8_t* from) {
        Channel& c = channels[ci];
        c.models.resize(count);
        for (SymbolModel& m : c.models) reset_symbol_model(m, 256, kDecoding);
        c.last.assign(from, from + count);
    }
    void begin(const uint8_t* first, uint32_t channel) {
        follower.begin(channel);
        start_channel(channel, first);
    }
    void code(uint8_t* f, uint32_t channel) {
        const uint32_t slot = follower.follow(channel, [&](uint32_t to, uint32_t from) {
            // the two channels' storage is distinct: from's bytes stay in place
            start_channel(to, channels[from].last.data());
        });
        Channel& c = channels[follower.current];
        uint8_t* last = channels[slot].last.data();
        for (size_t i = 0; i < count; ++i) {
            Side& s = layers[i];
            if (!s.live) {
                f[i] = last[i];
                continue;
            }
            const uint8_t v = code_byte(s, c.models[i], last[i], f[i]);
            if constexpr (Side::kWriting) s.differs |= v != last[i];
            f[i] = v;
            last[i] = v;
        }
    }
};

}  // namespace laz::layered
