// The point14 item of the layered chunks: the 30 bytes every LAS 1.4 record
// of formats 6 to 10 begins with (internal to layered.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "layered_coding.h"

namespace laz::layered {

// The record's fields as the coder sees them.
struct Point14 {
    int32_t x = 0, y = 0, z = 0;
    uint16_t intensity = 0;
    uint32_t returnNumber = 0, returnCount = 0;  // 4 bits each
    uint32_t classFlags = 0, channel = 0, scanDirection = 0, edge = 0;
    uint32_t classification = 0, userData = 0;
    int16_t scanAngle = 0;
    uint16_t source = 0;
    uint64_t time = 0;         // the GPS time's bits
    bool timeChanged = false;  // the coder's memory: this record's time differed from its channel's last
};

// The 30-byte layout.
namespace point14_layout {
inline constexpr size_t kX = 0, kY = 4, kZ = 8, kIntensity = 12, kReturns = 14, kFlags = 15, kClass = 16,
                        kUserData = 17, kScanAngle = 18, kSource = 20, kTime = 22, kSize = 30;
}

inline Point14 load_point14(const uint8_t* r) {
    using namespace point14_layout;
    Point14 p;
    p.x = static_cast<int32_t>(load32(r + kX));
    p.y = static_cast<int32_t>(load32(r + kY));
    p.z = static_cast<int32_t>(load32(r + kZ));
    p.intensity = load16(r + kIntensity);
    p.returnNumber = r[kReturns] & 0x0Fu;
    p.returnCount = r[kReturns] >> 4;
    p.classFlags = r[kFlags] & 0x0Fu;
    p.channel = (r[kFlags] >> 4) & 0x03u;
    p.scanDirection = (r[kFlags] >> 6) & 0x01u;
    p.edge = r[kFlags] >> 7;
    p.classification = r[kClass];
    p.userData = r[kUserData];
    p.scanAngle = static_cast<int16_t>(load16(r + kScanAngle));
    p.source = load16(r + kSource);
    p.time = load64(r + kTime);
    return p;
}

inline void store_point14(const Point14& p, uint8_t* r) {
    using namespace point14_layout;
    store32(r + kX, static_cast<uint32_t>(p.x));
    store32(r + kY, static_cast<uint32_t>(p.y));
    store32(r + kZ, static_cast<uint32_t>(p.z));
    store16(r + kIntensity, p.intensity);
    r[kReturns] = static_cast<uint8_t>((p.returnNumber & 0x0Fu) | (p.returnCount << 4));
    r[kFlags] = static_cast<uint8_t>((p.classFlags & 0x0Fu) | ((p.channel & 0x03u) << 4) | (p.scanDirection << 6) |
                                     (p.edge << 7));
    r[kClass] = static_cast<uint8_t>(p.classification);
    r[kUserData] = static_cast<uint8_t>(p.userData);
    store16(r + kScanAngle, static_cast<uint16_t>(p.scanAngle));
    store16(r + kSource, p.source);
    store64(r + kTime, p.time);
}

// The running median of the last five coordinate differences.
struct Median5 {
    std::array<int32_t, 5> v{};
    bool high = true;

    int32_t get() const { return v[2]; }
    void add(int32_t x);
};

inline void Median5::add(int32_t x) {
    if (high) {
        if (x < v[2]) {
            v[4] = v[3];
            v[3] = v[2];
            if (x < v[0]) {
                v[2] = v[1];
                v[1] = v[0];
                v[0] = x;
            } else if (x < v[1]) {
                v[2] = v[1];
                v[1] = x;
            } else {
                v[2] = x;
            }
        } else {
            if (x < v[3]) {
                v[4] = v[3];
                v[3] = x;
            } else {
                v[4] = x;
            }
            high = false;
        }
    } else {
        if (v[2] < x) {
            v[0] = v[1];
            v[1] = v[2];
            if (v[4] < x) {
                v[2] = v[3];
                v[3] = v[4];
                v[4] = x;
            } else if (v[3] < x) {
                v[2] = v[3];
                v[3] = x;
            } else {
                v[2] = x;
            }
        } else {
            if (v[1] < x) {
                v[0] = v[1];
                v[1] = x;
            } else {
                v[0] = x;
            }
            high = true;
        }
    }
}

// Return number r of n -> one of 6 contexts for X and Y, one of 8 levels for Z.
inline constexpr uint8_t kReturnMap6[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};

// The level of penetration |n - r|, 7 for anything deeper.
inline constexpr uint32_t return_level8(uint32_t n, uint32_t r) {
    const uint32_t d = n >= r ? n - r : r - n;
    return d < 7 ? d : 7;
}

inline constexpr int32_t kTimeMultiMax = 500;    // largest multiple of the last time step coded as such
inline constexpr int32_t kTimeMultiMin = -10;    // most negative one
inline constexpr uint32_t kTimeFull = static_cast<uint32_t>(kTimeMultiMax - kTimeMultiMin + 1);  // 511: a new sequence
inline constexpr uint32_t kTimeSymbols = kTimeFull + 4;  // 512..514: switch to another sequence

// One scanner channel's models and memory.
struct Point14Channel {
    Point14 last;
    std::array<uint16_t, 8> lastIntensity{};
    std::array<int32_t, 8> lastZ{};
    std::array<Median5, 12> xMedian, yMedian;
    std::array<SymbolModel, 8> changes;  // which fields changed, by the last record's return kind
    SymbolModel channelStep, returnStepSameTime;
    std::array<LazyModel, 16> returnCounts, returnNumbers;
    std::array<LazyModel, 64> classes, flags, userData;
    IntegerCoder dx, dy, z, intensity, scanAngle, source, time;
    // GPS times as up to four interleaved sequences
    uint32_t lastSeq = 0, nextSeq = 0;
    std::array<uint64_t, 4> seqTime{};
    std::array<int32_t, 4> seqStep{}, seqExtreme{};
    SymbolModel timeMulti, timeZeroStep;
};

enum Point14Layer : uint32_t {
    kLayerXY,
    kLayerZ,
    kLayerClass,
    kLayerFlags,
    kLayerIntensity,
    kLayerScanAngle,
    kLayerUserData,
    kLayerSource,
    kLayerTime,
    kPoint14Layers
};

template <class Side>
struct Point14Coder {
    static constexpr bool kDecoding = !Side::kWriting;
    std::array<Side, kPoint14Layers> layers;
    std::array<Point14Channel, 4> channels;
    std::array<bool, 4> active{};
    uint32_t current = 0;
    bool damaged = false;  // a stream no encoder writes
    // Version 4 tells the other items every record's channel; version 3 only
    // a changed one, and channel 0 for a record on the same channel as the
    // record before it.
    bool tellsEveryChannel = true;

    void start_channel(uint32_t c, const Point14& from);
    void begin(const uint8_t* first) {
        const Point14 p = load_point14(first);
        active = {};
        current = p.channel;
        start_channel(current, p);
    }
    // Codes one record (read from r when writing, stored to r when reading);
    // returns the channel the other items code it in.
    uint32_t code(uint8_t* r);

private:
    uint64_t code_time(Point14Channel& c, uint64_t time);
};

template <class Side>
void Point14Coder<Side>::start_channel(uint32_t ci, const Point14& from) {
    Point14Channel& c = channels[ci];
    for (SymbolModel& m : c.changes) reset_symbol_model(m, 128, kDecoding);
    reset_symbol_model(c.channelStep, 3, kDecoding);
    reset_symbol_model(c.returnStepSameTime, 13, kDecoding);
    for (LazyModel& m : c.returnCounts) m.ready = false;
    for (LazyModel& m : c.returnNumbers) m.ready = false;
    for (LazyModel& m : c.classes) m.ready = false;
    for (LazyModel& m : c.flags) m.ready = false;
    for (LazyModel& m : c.userData) m.ready = false;
    reset_integer_coder(c.dx, 32, 2, kDecoding);
    reset_integer_coder(c.dy, 32, 22, kDecoding);
    reset_integer_coder(c.z, 32, 20, kDecoding);
    reset_integer_coder(c.intensity, 16, 4, kDecoding);
    reset_integer_coder(c.scanAngle, 16, 2, kDecoding);
    reset_integer_coder(c.source, 16, 1, kDecoding);
    reset_integer_coder(c.time, 32, 9, kDecoding);
    reset_symbol_model(c.timeMulti, kTimeSymbols, kDecoding);
    reset_symbol_model(c.timeZeroStep, 5, kDecoding);
    c.xMedian = {};
    c.yMedian = {};
    c.lastZ.fill(from.z);
    c.lastIntensity.fill(from.intensity);
    c.lastSeq = c.nextSeq = 0;
    c.seqTime = {from.time, 0, 0, 0};
    c.seqStep = {};
    c.seqExtreme = {};
    c.last = from;
    c.last.timeChanged = false;
    active[ci] = true;
}

template <class Side>
uint32_t Point14Coder<Side>::code(uint8_t* r) {
    Point14 in;
    if constexpr (Side::kWriting) in = load_point14(r);
    Point14Channel* c = &channels[current];
    Point14* last = &c->last;
    Side& xy = layers[kLayerXY];

    // Which fields changed, in the context of the last record's kind of return.
    const uint32_t lastKind = (last->returnNumber == 1 ? 1u : 0u) + (last->returnNumber >= last->returnCount ? 2u : 0u) +
                              (last->timeChanged ? 4u : 0u);
    uint32_t changes = 0;
    if constexpr (Side::kWriting) {
        // The time is compared by its bits, so -0 after +0 is kept; the first
        // writer compared the numbers (and so differs where times are NaN or a
        // zero changes sign).
        const Point14* ref = last;
        if (in.channel != current && active[in.channel]) ref = &channels[in.channel].last;
        uint32_t returnStep = 0;
        if (in.returnNumber == ref->returnNumber) returnStep = 0;
        else if (in.returnNumber == ((ref->returnNumber + 1) & 15u)) returnStep = 1;
        else if (in.returnNumber == ((ref->returnNumber + 15) & 15u)) returnStep = 2;
        else returnStep = 3;
        changes = (in.channel != current ? 64u : 0u) | (in.source != ref->source ? 32u : 0u) |
                  (in.time != ref->time ? 16u : 0u) | (in.scanAngle != ref->scanAngle ? 8u : 0u) |
                  (in.returnCount != ref->returnCount ? 4u : 0u) | returnStep;
    }
    changes = xy.symbol(c->changes[lastKind], changes);

    const bool switched = changes & 64u;
    if (switched) {
        const uint32_t step = xy.symbol(c->channelStep, (in.channel + 3 - current) & 3u);
        const uint32_t target = (current + step + 1) & 3u;
        if (!active[target]) start_channel(target, c->last);
        current = target;
        c = &channels[current];
        last = &c->last;
        last->channel = target;
    }
    const bool sourceChanged = changes & 32u, timeChanged = changes & 16u, angleChanged = changes & 8u;

    // Return number and count.
    const uint32_t lastN = last->returnCount, lastR = last->returnNumber;
    uint32_t n = lastN;
    if (changes & 4u) n = xy.symbol(use(c->returnCounts[lastN], 16, kDecoding), in.returnCount);
    uint32_t rn = lastR;
    switch (changes & 3u) {
    case 1: rn = (lastR + 1) & 15u; break;
    case 2: rn = (lastR + 15) & 15u; break;
    case 3:
        if (timeChanged) {
            rn = xy.symbol(use(c->returnNumbers[lastR], 16, kDecoding), in.returnNumber);
        } else {
            const uint32_t step = xy.symbol(c->returnStepSameTime, ((in.returnNumber + 16 - lastR) & 15u) - 2);
            rn = (lastR + step + 2) & 15u;
        }
        break;
    default: break;
    }
    last->returnCount = n;
    last->returnNumber = rn;
    const uint32_t m = kReturnMap6[n][rn];
    const uint32_t level = return_level8(n, rn);
    const uint32_t kind = (rn == 1 ? 2u : 0u) + (rn >= n ? 1u : 0u);  // 3 single, 2 first, 1 last, 0 between
    const uint32_t single = n == 1 ? 1u : 0u;

    // X and Y as differences from the last record, predicted by the running medians.
    Median5& mx = c->xMedian[(m << 1) | timeChanged];
    const int32_t dx = xy.integer(c->dx, mx.get(), wrap_sub(in.x, last->x), single);
    last->x = wrap_add(last->x, dx);
    mx.add(dx);
    Median5& my = c->yMedian[(m << 1) | timeChanged];
    uint32_t k = c->dx.k;
    const int32_t dy = xy.integer(c->dy, my.get(), wrap_sub(in.y, last->y), single + (k < 20 ? (k & ~1u) : 20u));
    last->y = wrap_add(last->y, dy);
    my.add(dy);

    Side& zl = layers[kLayerZ];
    if (zl.live) {
        k = (c->dx.k + c->dy.k) / 2;
        last->z = zl.integer(c->z, c->lastZ[level], in.z, single + (k < 18 ? (k & ~1u) : 18u));
        c->lastZ[level] = last->z;
    }

    Side& cl = layers[kLayerClass];
    if (cl.live) {
        const uint32_t ctx = ((last->classification & 0x1Fu) << 1) + (kind == 3 ? 1u : 0u);
        const uint32_t v = cl.symbol(use(c->classes[ctx], 256, kDecoding), in.classification);
        if constexpr (Side::kWriting) cl.differs |= v != last->classification;
        last->classification = v;
    }

    Side& fl = layers[kLayerFlags];
    if (fl.live) {
        const uint32_t lastFlags = (last->edge << 5) | (last->scanDirection << 4) | last->classFlags;
        const uint32_t v =
            fl.symbol(use(c->flags[lastFlags], 64, kDecoding), (in.edge << 5) | (in.scanDirection << 4) | in.classFlags);
        if constexpr (Side::kWriting) fl.differs |= v != lastFlags;
        last->edge = (v >> 5) & 1u;
        last->scanDirection = (v >> 4) & 1u;
        last->classFlags = v & 0x0Fu;
    }

    Side& il = layers[kLayerIntensity];
    if (il.live) {
        uint16_t& predicted = c->lastIntensity[(kind << 1) | timeChanged];
        const auto v = static_cast<uint16_t>(il.integer(c->intensity, predicted, in.intensity, kind));
        if constexpr (Side::kWriting) il.differs |= v != last->intensity;
        predicted = v;
        last->intensity = v;
    }

    Side& al = layers[kLayerScanAngle];
    if (al.live && angleChanged) {
        last->scanAngle = static_cast<int16_t>(al.integer(c->scanAngle, last->scanAngle, in.scanAngle, timeChanged));
        if constexpr (Side::kWriting) al.differs = true;
    }

    Side& ul = layers[kLayerUserData];
    if (ul.live) {
        const uint32_t v = ul.symbol(use(c->userData[last->userData / 4], 256, kDecoding), in.userData);
        if constexpr (Side::kWriting) ul.differs |= v != last->userData;
        last->userData = v;
    }

    Side& sl = layers[kLayerSource];
    if (sl.live && sourceChanged) {
        last->source = static_cast<uint16_t>(sl.integer(c->source, last->source, in.source, 0));
        if constexpr (Side::kWriting) sl.differs = true;
    }

    if (layers[kLayerTime].live && timeChanged) {
        last->time = code_time(*c, in.time);
        if constexpr (Side::kWriting) layers[kLayerTime].differs = true;
    }

    if constexpr (Side::kWriting) {
        // What the reader rebuilds is the record itself.
        *last = in;
        last->channel = current;
    } else {
        store_point14(*last, r);
    }
    last->timeChanged = timeChanged;
    return switched || tellsEveryChannel ? current : 0;
}

// GPS times are coded as integer differences of their bits, in up to four
// sequences (for interleaved flight lines); a step is predicted as a multiple
// of the sequence's last step.
template <class Side>
uint64_t Point14Coder<Side>::code_time(Point14Channel& c, uint64_t time) {
    Side& t = layers[kLayerTime];
    bool switched = false;
    for (;;) {
        uint32_t& seq = c.lastSeq;
        int64_t diff64 = 0;
        bool fits = false;
        if constexpr (Side::kWriting) {
            diff64 = static_cast<int64_t>(time - c.seqTime[seq]);
            fits = diff64 == static_cast<int32_t>(diff64);
        }
        const auto diff = static_cast<int32_t>(diff64);
        // A step too large for 32 bits: another sequence it fits, or a new one.
        auto other_sequence = [&]() -> uint32_t {
            if constexpr (Side::kWriting) {
                for (uint32_t i = 1; i < 4; ++i) {
                    const auto d = static_cast<int64_t>(time - c.seqTime[(seq + i) & 3u]);
                    if (d == static_cast<int32_t>(d)) return i;
                }
            }
            return 0;
        };
        auto start_sequence = [&]() {
            const auto high = static_cast<uint32_t>(
                t.integer(c.time, static_cast<int32_t>(c.seqTime[seq] >> 32), static_cast<int32_t>(time >> 32), 8));
            const uint32_t low = t.raw32(static_cast<uint32_t>(time));
            c.nextSeq = (c.nextSeq + 1) & 3u;
            seq = c.nextSeq;
            c.seqTime[seq] = (static_cast<uint64_t>(high) << 32) | low;
            c.seqStep[seq] = 0;
            c.seqExtreme[seq] = 0;
        };
        auto extreme = [&](int32_t step) {
            if (++c.seqExtreme[seq] > 3) {
                c.seqStep[seq] = step;
                c.seqExtreme[seq] = 0;
            }
        };

        uint32_t sym = 0;
        if (c.seqStep[seq] == 0) {
            if constexpr (Side::kWriting) {
                const uint32_t other = fits ? 0 : other_sequence();
                sym = fits ? 0u : other ? other + 1 : 1u;
            }
            sym = t.symbol(c.timeZeroStep, sym);
            if (sym == 0) {
                const int32_t step = t.integer(c.time, 0, diff, 0);
                c.seqStep[seq] = step;
                c.seqTime[seq] += static_cast<uint64_t>(static_cast<int64_t>(step));
                c.seqExtreme[seq] = 0;
            } else if (sym == 1) {
                start_sequence();
            } else {
                if (switched) {
                    damaged = true;
                    return c.seqTime[seq];
                }
                switched = true;
                seq = (seq + sym - 1) & 3u;
                continue;
            }
            return c.seqTime[seq];
        }

        const int32_t lastStep = c.seqStep[seq];
        if constexpr (Side::kWriting) {
            if (fits) {
                const float ratio = static_cast<float>(diff) / static_cast<float>(lastStep);
                const double rounded = ratio >= 0 ? static_cast<double>(ratio) + 0.5 : static_cast<double>(ratio) - 0.5;
                // Out of range behaves as the x86 conversion does: the most negative integer.
                const int32_t multi = rounded >= 2147483648.0 || rounded <= -2147483649.0
                                          ? INT32_MIN
                                          : static_cast<int32_t>(rounded);
                if (multi >= 1) sym = static_cast<uint32_t>(multi < kTimeMultiMax ? multi : kTimeMultiMax);
                else if (multi < 0) sym = static_cast<uint32_t>(kTimeMultiMax - (multi > kTimeMultiMin ? multi : kTimeMultiMin));
                else sym = 0;
            } else {
                const uint32_t other = other_sequence();
                sym = other ? kTimeFull + other : kTimeFull;
            }
        }
        sym = t.symbol(c.timeMulti, sym);
        if (sym < kTimeFull) {
            int32_t step;
            if (sym == 0) {
                step = t.integer(c.time, 0, diff, 7);
                extreme(step);
            } else if (sym == 1) {
                step = t.integer(c.time, lastStep, diff, 1);
                c.seqExtreme[seq] = 0;
            } else if (sym < static_cast<uint32_t>(kTimeMultiMax)) {
                const auto multi = static_cast<int32_t>(sym);
                step = t.integer(c.time, wrap_mul(multi, lastStep), diff, multi < 10 ? 2 : 3);
            } else if (sym == static_cast<uint32_t>(kTimeMultiMax)) {
                step = t.integer(c.time, wrap_mul(kTimeMultiMax, lastStep), diff, 4);
                extreme(step);
            } else {
                const int32_t multi = kTimeMultiMax - static_cast<int32_t>(sym);
                if (multi > kTimeMultiMin) {
                    step = t.integer(c.time, wrap_mul(multi, lastStep), diff, 5);
                } else {
                    step = t.integer(c.time, wrap_mul(kTimeMultiMin, lastStep), diff, 6);
                    extreme(step);
                }
            }
            c.seqTime[seq] += static_cast<uint64_t>(static_cast<int64_t>(step));
        } else if (sym == kTimeFull) {
            start_sequence();
        } else {
            if (switched) {
                damaged = true;
                return c.seqTime[seq];
            }
            switched = true;
            seq = (seq + sym - kTimeFull) & 3u;
            continue;
        }
        return c.seqTime[seq];
    }
}

}  // namespace laz::layered
