// The pointwise items (point10, gpstime11, rgb12, byte versions 1 and 2,
// wavepacket13 version 1). Each item keeps the last record's values it predicts
// from and its adaptive models; a chunk starts them afresh from its first
// record. Decoding and encoding walk the same steps in the same order, so a
// model update that differs between the two directions shows at once in the
// round trip and in the comparison with other software's files.
#include "pointwise.h"

#include <array>
#include <cstring>
#include <memory>

#include "Torvane_LiDAR.h"
#include "arithmetic_coder.h"
#include "integer_compressor.h"

namespace laz {

using torvane::load;
using torvane::store;

namespace {

int32_t add_wrapped(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
int32_t sub_wrapped(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
int32_t mul_wrapped(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
uint8_t clamp_byte(int32_t v) { return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v); }

// ---------------------------------------------------------------------------
// point10: X, Y, Z, intensity, the return byte, classification, scan angle,
// user data, point source ID (the first 20 bytes of formats 0 to 5).
// ---------------------------------------------------------------------------
constexpr size_t kX = 0, kY = 4, kZ = 8, kIntensity = 12, kReturnByte = 14, kClassification = 15, kScanAngle = 16,
                 kUserData = 17, kSourceId = 18, kPoint10Size = 20;

uint32_t return_number(uint8_t returnByte) { return returnByte & 7u; }
uint32_t number_of_returns(uint8_t returnByte) { return (returnByte >> 3) & 7u; }
uint32_t scan_direction(uint8_t returnByte) { return (returnByte >> 6) & 1u; }

// The context of a record by its number of returns n (row) and return number
// r (column): the 15 proper pairs r <= n get their own, the improper ones
// (numbering from 0, swapped fields) share the rest.
constexpr uint8_t kReturnContext[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},   {14, 0, 1, 3, 6, 10, 10, 9},     {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},     {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14},  {8, 9, 10, 11, 12, 13, 14, 15}};
// Z is predicted from the last record as far from its pulse's last return.
uint32_t return_level(uint32_t n, uint32_t r) { return n > r ? n - r : r - n; }

// The median of the last five values, kept sorted; a new value pushes out the
// largest or the smallest in turn, depending on where the last one went.
struct Median5 {
    int32_t v[5] = {0, 0, 0, 0, 0};
    bool dropHigh = true;
};
int32_t median(const Median5& m) { return m.v[2]; }
void add_to_median(Median5& m, int32_t x) {
    int i;
    if (m.dropHigh) {
        m.dropHigh = x < m.v[2];
        i = 4;  // v[4] leaves; x sinks into place
        while (i > 0 && x < m.v[i - 1]) {
            m.v[i] = m.v[i - 1];
            --i;
        }
    } else {
        m.dropHigh = !(m.v[2] < x);
        i = 0;  // v[0] leaves; x rises into place
        while (i < 4 && m.v[i + 1] < x) {
            m.v[i] = m.v[i + 1];
            ++i;
        }
    }
    m.v[i] = x;
}

// One 256-symbol model per previous value of a byte, made when first needed.
struct ByteModels {
    std::array<std::unique_ptr<SymbolModel>, 256> byPrevious;
};
SymbolModel& model_after(ByteModels& b, uint8_t previous, bool decoding) {
    std::unique_ptr<SymbolModel>& slot = b.byPrevious[previous];
    if (!slot) {
        slot = std::make_unique<SymbolModel>();
        reset_symbol_model(*slot, 256, decoding);
    }
    return *slot;
}

struct Point10 {
    bool decoding = true;
    uint8_t last[kPoint10Size] = {};
    uint16_t lastIntensity[16] = {};
    Median5 xDiffs[16], yDiffs[16];
    int32_t lastZ[8] = {};
    SymbolModel changed, scanAngle[2];
    ByteModels returnByte, classification, userData;
    IntegerCoder intensity, sourceId, dx, dy, z;
};

void start_point10(Point10& s, const uint8_t* first, bool decoding) {
    s.decoding = decoding;
    reset_symbol_model(s.changed, 64, decoding);
    reset_symbol_model(s.scanAngle[0], 256, decoding);
    reset_symbol_model(s.scanAngle[1], 256, decoding);
    reset_integer_coder(s.intensity, 16, 4, decoding);
    reset_integer_coder(s.sourceId, 16, 1, decoding);
    reset_integer_coder(s.dx, 32, 2, decoding);
    reset_integer_coder(s.dy, 32, 22, decoding);
    reset_integer_coder(s.z, 32, 20, decoding);
    std::memcpy(s.last, first, kPoint10Size);
    store<uint16_t>(s.last + kIntensity, 0);
}

// Contexts of Y and Z: whether the pulse has one return, and the bits the
// earlier coordinates needed (even counts, capped).
uint32_t y_context(uint32_t n, uint32_t kx) { return (n == 1) + (kx < 20 ? (kx & ~1u) : 20); }
uint32_t z_context(uint32_t n, uint32_t kxy) { return (n == 1) + (kxy < 18 ? (kxy & ~1u) : 18); }

void decode_point10_v2(Decoder& d, Point10& s, uint8_t* item) {
    uint8_t* last = s.last;
    const uint32_t changed = decode_symbol(d, s.changed);
    if (changed & 32) last[kReturnByte] = static_cast<uint8_t>(decode_symbol(d, model_after(s.returnByte, last[kReturnByte], true)));
    const uint32_t r = return_number(last[kReturnByte]), n = number_of_returns(last[kReturnByte]);
    const uint32_t m = kReturnContext[n][r], l = return_level(n, r);
    if (changed & 16) {
        s.lastIntensity[m] = static_cast<uint16_t>(decode_integer(d, s.intensity, s.lastIntensity[m], m < 3 ? m : 3));
    }
    store<uint16_t>(last + kIntensity, s.lastIntensity[m]);
    if (changed & 8)
        last[kClassification] = static_cast<uint8_t>(decode_symbol(d, model_after(s.classification, last[kClassification], true)));
    if (changed & 4) {
        const uint32_t delta = decode_symbol(d, s.scanAngle[scan_direction(last[kReturnByte])]);
        last[kScanAngle] = static_cast<uint8_t>(delta + last[kScanAngle]);
    }
    if (changed & 2) last[kUserData] = static_cast<uint8_t>(decode_symbol(d, model_after(s.userData, last[kUserData], true)));
    if (changed & 1) {
        store<uint16_t>(last + kSourceId,
                      static_cast<uint16_t>(decode_integer(d, s.sourceId, load<uint16_t>(last + kSourceId))));
    }

    const int32_t dx = decode_integer(d, s.dx, median(s.xDiffs[m]), n == 1);
    store<int32_t>(last + kX, add_wrapped(load<int32_t>(last + kX), dx));
    add_to_median(s.xDiffs[m], dx);
    const int32_t dy = decode_integer(d, s.dy, median(s.yDiffs[m]), y_context(n, s.dx.k));
    store<int32_t>(last + kY, add_wrapped(load<int32_t>(last + kY), dy));
    add_to_median(s.yDiffs[m], dy);
    const int32_t z = decode_integer(d, s.z, s.lastZ[l], z_context(n, (s.dx.k + s.dy.k) / 2));
    store<int32_t>(last + kZ, z);
    s.lastZ[l] = z;
    std::memcpy(item, last, kPoint10Size);
}

void encode_point10_v2(Encoder& e, Point10& s, const uint8_t* item) {
    uint8_t* last = s.last;
    const uint32_t r = return_number(item[kReturnByte]), n = number_of_returns(item[kReturnByte]);
    const uint32_t m = kReturnContext[n][r], l = return_level(n, r);
    const uint16_t intensity = load<uint16_t>(item + kIntensity);
    const uint16_t sourceId = load<uint16_t>(item + kSourceId), lastSourceId = load<uint16_t>(last + kSourceId);
    const uint32_t changed = (uint32_t{last[kReturnByte] != item[kReturnByte]} << 5) |
                             (uint32_t{s.lastIntensity[m] != intensity} << 4) |
                             (uint32_t{last[kClassification] != item[kClassification]} << 3) |
                             (uint32_t{last[kScanAngle] != item[kScanAngle]} << 2) |
                             (uint32_t{last[kUserData] != item[kUserData]} << 1) | uint32_t{lastSourceId != sourceId};
    encode_symbol(e, s.changed, changed);
    if (changed & 32) encode_symbol(e, model_after(s.returnByte, last[kReturnByte], false), item[kReturnByte]);
    if (changed & 16) {
        encode_integer(e, s.intensity, s.lastIntensity[m], intensity, m < 3 ? m : 3);
        s.lastIntensity[m] = intensity;
    }
    if (changed & 8) encode_symbol(e, model_after(s.classification, last[kClassification], false), item[kClassification]);
    if (changed & 4) {
        encode_symbol(e, s.scanAngle[scan_direction(item[kReturnByte])],
                      static_cast<uint8_t>(item[kScanAngle] - last[kScanAngle]));
    }
    if (changed & 2) encode_symbol(e, model_after(s.userData, last[kUserData], false), item[kUserData]);
    if (changed & 1) encode_integer(e, s.sourceId, lastSourceId, sourceId);

    const int32_t dx = sub_wrapped(load<int32_t>(item + kX), load<int32_t>(last + kX));
    encode_integer(e, s.dx, median(s.xDiffs[m]), dx, n == 1);
    add_to_median(s.xDiffs[m], dx);
    const int32_t dy = sub_wrapped(load<int32_t>(item + kY), load<int32_t>(last + kY));
    encode_integer(e, s.dy, median(s.yDiffs[m]), dy, y_context(n, s.dx.k));
    add_to_median(s.yDiffs[m], dy);
    const int32_t z = load<int32_t>(item + kZ);
    encode_integer(e, s.z, s.lastZ[l], z, z_context(n, (s.dx.k + s.dy.k) / 2));
    s.lastZ[l] = z;
    std::memcpy(last, item, kPoint10Size);
}

// ---------------------------------------------------------------------------
// gpstime11: the GPS time as a 64-bit integer (its double's bits). Up to four
// sequences of times are followed at once (interleaved flight lines); a time
// is coded as unchanged, as a multiple of its sequence's last difference plus a
// corrector, by switching sequence, or in full.
// ---------------------------------------------------------------------------
constexpr uint32_t kMultiMax = 500;                           // largest multiple coded directly
constexpr int32_t kMultiMin = -10;                            // smallest multiple coded directly
constexpr uint32_t kUnchanged = kMultiMax - kMultiMin + 1;    // 511
constexpr uint32_t kFullTime = kMultiMax - kMultiMin + 2;     // 512; 513..515 switch sequence
constexpr uint32_t kMultiSymbols = kMultiMax - kMultiMin + 6; // 516

struct GpsTime {
    int64_t lastTime[4] = {};
    int32_t lastDiff[4] = {};
    int32_t extremes[4] = {};  // multiples at the edges in a row: the difference itself has changed
    uint32_t current = 0, newest = 0;
    SymbolModel multiple, afterZero;
    IntegerCoder diff;
};

void start_gps_time(GpsTime& s, const uint8_t* first, bool decoding) {
    for (int i = 0; i < 4; ++i) s.lastTime[i] = s.lastDiff[i] = s.extremes[i] = 0;
    s.current = s.newest = 0;
    s.lastTime[0] = load<int64_t>(first);
    reset_symbol_model(s.multiple, kMultiSymbols, decoding);
    reset_symbol_model(s.afterZero, 6, decoding);
    reset_integer_coder(s.diff, 32, 9, decoding);
}

void count_extreme(GpsTime& s, int32_t diff) {
    if (++s.extremes[s.current] > 3) {
        s.lastDiff[s.current] = diff;
        s.extremes[s.current] = 0;
    }
}

int64_t with_high_bits(int32_t high, uint32_t low) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}
int32_t high_bits(int64_t t) { return static_cast<int32_t>(static_cast<uint64_t>(t) >> 32); }

void decode_full_time(Decoder& d, GpsTime& s) {
    s.newest = (s.newest + 1) & 3;
    const int32_t high = decode_integer(d, s.diff, high_bits(s.lastTime[s.current]), 8);
    s.lastTime[s.newest] = with_high_bits(high, read_int(d));
    s.current = s.newest;
    s.lastDiff[s.current] = 0;
    s.extremes[s.current] = 0;
}

void decode_gps_time_v2(Decoder& d, GpsTime& s, uint8_t* item) {
    // A sequence switch is followed by the time itself; damaged data could
    // switch forever, so a few switches in a row end the record.
    for (int switches = 0; switches < 4; ++switches) {
        const uint32_t c = s.current;
        if (s.lastDiff[c] == 0) {
            const uint32_t sym = decode_symbol(d, s.afterZero);
            if (sym == 1) {
                s.lastDiff[c] = decode_integer(d, s.diff, 0, 0);
                s.lastTime[c] = static_cast<int64_t>(static_cast<uint64_t>(s.lastTime[c]) + static_cast<uint64_t>(static_cast<int64_t>(s.lastDiff[c])));
                s.extremes[c] = 0;
            } else if (sym == 2) {
                decode_full_time(d, s);
            } else if (sym > 2) {
                s.current = (c + sym - 2) & 3;
                continue;
            }
        } else {
            const uint32_t sym = decode_symbol(d, s.multiple);
            int32_t diff = 0;
            if (sym == 1) {
                diff = decode_integer(d, s.diff, s.lastDiff[c], 1);
                s.extremes[c] = 0;
            } else if (sym == 0) {
                diff = decode_integer(d, s.diff, 0, 7);
                count_extreme(s, diff);
            } else if (sym < kMultiMax) {
                diff = decode_integer(d, s.diff, mul_wrapped(static_cast<int32_t>(sym), s.lastDiff[c]), sym < 10 ? 2 : 3);
            } else if (sym == kMultiMax) {
                diff = decode_integer(d, s.diff, mul_wrapped(kMultiMax, s.lastDiff[c]), 4);
                count_extreme(s, diff);
            } else if (sym < kUnchanged) {
                const int32_t multi = static_cast<int32_t>(kMultiMax) - static_cast<int32_t>(sym);
                if (multi > kMultiMin) {
                    diff = decode_integer(d, s.diff, mul_wrapped(multi, s.lastDiff[c]), 5);
                } else {
                    diff = decode_integer(d, s.diff, mul_wrapped(kMultiMin, s.lastDiff[c]), 6);
                    count_extreme(s, diff);
                }
            } else if (sym == kFullTime) {
                decode_full_time(d, s);
            } else if (sym > kFullTime) {
                s.current = (c + sym - kFullTime) & 3;
                continue;
            }
            if (sym < kUnchanged)
                s.lastTime[c] = static_cast<int64_t>(static_cast<uint64_t>(s.lastTime[c]) + static_cast<uint64_t>(static_cast<int64_t>(diff)));
        }
        break;
    }
    store<int64_t>(item, s.lastTime[s.current]);
}

// The multiple of the last difference, rounded half away from zero as the
// format's writers do (a float quotient, then a double rounding, truncated to
// 32 bits the way the x86 conversion does out of range).
int32_t nearest_multiple(int32_t diff, int32_t lastDiff) {
    const float quotient = static_cast<float>(diff) / static_cast<float>(lastDiff);
    const double q = quotient >= 0 ? static_cast<double>(quotient) + 0.5 : static_cast<double>(quotient) - 0.5;
    if (!(q < 2147483648.0) || !(q > -2147483649.0)) return INT32_MIN;
    return static_cast<int32_t>(q);
}

bool fits_32(int64_t v) { return v == static_cast<int64_t>(static_cast<int32_t>(v)); }
int64_t time_difference(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

void encode_full_time(Encoder& e, GpsTime& s, int64_t t) {
    encode_integer(e, s.diff, high_bits(s.lastTime[s.current]), high_bits(t), 8);
    write_int(e, static_cast<uint32_t>(static_cast<uint64_t>(t)));
    s.newest = (s.newest + 1) & 3;
    s.current = s.newest;
    s.lastDiff[s.current] = 0;
    s.extremes[s.current] = 0;
}

// The sequence (1 to 3 ahead of the current one) within 32 bits of t, or 0.
uint32_t other_sequence(const GpsTime& s, int64_t t) {
    for (uint32_t i = 1; i < 4; ++i)
        if (fits_32(time_difference(t, s.lastTime[(s.current + i) & 3]))) return i;
    return 0;
}

void encode_gps_time_v2(Encoder& e, GpsTime& s, const uint8_t* item) {
    const int64_t t = load<int64_t>(item);
    for (;;) {
        const uint32_t c = s.current;
        if (t == s.lastTime[c]) {
            if (s.lastDiff[c] == 0) encode_symbol(e, s.afterZero, 0);
            else encode_symbol(e, s.multiple, kUnchanged);
            return;
        }
        const int64_t diff64 = time_difference(t, s.lastTime[c]);
        if (!fits_32(diff64)) {
            const uint32_t other = other_sequence(s, t);
            if (other) {
                if (s.lastDiff[c] == 0) encode_symbol(e, s.afterZero, other + 2);
                else encode_symbol(e, s.multiple, kFullTime + other);
                s.current = (c + other) & 3;
                continue;
            }
            if (s.lastDiff[c] == 0) encode_symbol(e, s.afterZero, 2);
            else encode_symbol(e, s.multiple, kFullTime);
            encode_full_time(e, s, t);
            s.lastTime[s.current] = t;
            return;
        }
        const int32_t diff = static_cast<int32_t>(diff64);
        if (s.lastDiff[c] == 0) {
            encode_symbol(e, s.afterZero, 1);
            encode_integer(e, s.diff, 0, diff, 0);
            s.lastDiff[c] = diff;
            s.extremes[c] = 0;
        } else {
            const int32_t multi = nearest_multiple(diff, s.lastDiff[c]);
            if (multi == 1) {
                encode_symbol(e, s.multiple, 1);
                encode_integer(e, s.diff, s.lastDiff[c], diff, 1);
                s.extremes[c] = 0;
            } else if (multi > 0) {
                if (multi < static_cast<int32_t>(kMultiMax)) {
                    encode_symbol(e, s.multiple, static_cast<uint32_t>(multi));
                    encode_integer(e, s.diff, mul_wrapped(multi, s.lastDiff[c]), diff, multi < 10 ? 2 : 3);
                } else {
                    encode_symbol(e, s.multiple, kMultiMax);
                    encode_integer(e, s.diff, mul_wrapped(kMultiMax, s.lastDiff[c]), diff, 4);
                    count_extreme(s, diff);
                }
            } else if (multi < 0) {
                if (multi > kMultiMin) {
                    encode_symbol(e, s.multiple, static_cast<uint32_t>(static_cast<int32_t>(kMultiMax) - multi));
                    encode_integer(e, s.diff, mul_wrapped(multi, s.lastDiff[c]), diff, 5);
                } else {
                    encode_symbol(e, s.multiple, static_cast<uint32_t>(static_cast<int32_t>(kMultiMax) - kMultiMin));
                    encode_integer(e, s.diff, mul_wrapped(kMultiMin, s.lastDiff[c]), diff, 6);
                    count_extreme(s, diff);
                }
            } else {
                encode_symbol(e, s.multiple, 0);
                encode_integer(e, s.diff, 0, diff, 7);
                count_extreme(s, diff);
            }
        }
        s.lastTime[c] = t;
        return;
    }
}

// ---------------------------------------------------------------------------
// rgb12: red, green, blue as 16-bit values, each byte coded on its own. The
// green and blue bytes are predicted from red's change.
// ---------------------------------------------------------------------------
struct Rgb {
    uint16_t last[3] = {};
    SymbolModel used, bytes[6];  // bytes: red low/high, green low/high, blue low/high
};

void start_rgb(Rgb& s, const uint8_t* first, bool decoding) {
    for (int i = 0; i < 3; ++i) s.last[i] = load<uint16_t>(first + 2 * i);
    reset_symbol_model(s.used, 128, decoding);
    for (SymbolModel& m : s.bytes) reset_symbol_model(m, 256, decoding);
}

uint32_t low(uint32_t v) { return v & 0xFF; }
uint32_t high(uint32_t v) { return v >> 8; }

void decode_rgb_v2(Decoder& d, Rgb& s, uint8_t* item) {
    const uint16_t* last = s.last;
    const uint32_t sym = decode_symbol(d, s.used);
    uint32_t red = (sym & 1) ? (decode_symbol(d, s.bytes[0]) + low(last[0])) & 0xFF : low(last[0]);
    red |= ((sym & 2) ? (decode_symbol(d, s.bytes[1]) + high(last[0])) & 0xFF : high(last[0])) << 8;
    uint32_t green = red, blue = red;
    if (sym & 64) {
        int32_t diff = static_cast<int32_t>(low(red)) - static_cast<int32_t>(low(last[0]));
        green = (sym & 4) ? (decode_symbol(d, s.bytes[2]) + clamp_byte(diff + static_cast<int32_t>(low(last[1])))) & 0xFF
                          : low(last[1]);
        if (sym & 16) {
            const int32_t half = (diff + static_cast<int32_t>(low(green)) - static_cast<int32_t>(low(last[1]))) / 2;
            blue = (decode_symbol(d, s.bytes[4]) + clamp_byte(half + static_cast<int32_t>(low(last[2])))) & 0xFF;
        } else {
            blue = low(last[2]);
        }
        diff = static_cast<int32_t>(high(red)) - static_cast<int32_t>(high(last[0]));
        green |= ((sym & 8) ? (decode_symbol(d, s.bytes[3]) + clamp_byte(diff + static_cast<int32_t>(high(last[1])))) & 0xFF
                            : high(last[1]))
                 << 8;
        if (sym & 32) {
            const int32_t half = (diff + static_cast<int32_t>(high(green)) - static_cast<int32_t>(high(last[1]))) / 2;
            blue |= ((decode_symbol(d, s.bytes[5]) + clamp_byte(half + static_cast<int32_t>(high(last[2])))) & 0xFF) << 8;
        } else {
            blue |= high(last[2]) << 8;
        }
    }
    s.last[0] = static_cast<uint16_t>(red);
    s.last[1] = static_cast<uint16_t>(green);
    s.last[2] = static_cast<uint16_t>(blue);
    for (int i = 0; i < 3; ++i) store<uint16_t>(item + 2 * i, s.last[i]);
}

void encode_rgb_v2(Encoder& e, Rgb& s, const uint8_t* item) {
    const uint16_t* last = s.last;
    const uint32_t red = load<uint16_t>(item), green = load<uint16_t>(item + 2), blue = load<uint16_t>(item + 4);
    uint32_t sym = uint32_t{low(last[0]) != low(red)} | (uint32_t{high(last[0]) != high(red)} << 1) |
                   (uint32_t{low(last[1]) != low(green)} << 2) | (uint32_t{high(last[1]) != high(green)} << 3) |
                   (uint32_t{low(last[2]) != low(blue)} << 4) | (uint32_t{high(last[2]) != high(blue)} << 5);
    if (red != green || red != blue) sym |= 64;
    encode_symbol(e, s.used, sym);
    int32_t diffLow = 0, diffHigh = 0;
    if (sym & 1) {
        diffLow = static_cast<int32_t>(low(red)) - static_cast<int32_t>(low(last[0]));
        encode_symbol(e, s.bytes[0], static_cast<uint8_t>(diffLow));
    }
    if (sym & 2) {
        diffHigh = static_cast<int32_t>(high(red)) - static_cast<int32_t>(high(last[0]));
        encode_symbol(e, s.bytes[1], static_cast<uint8_t>(diffHigh));
    }
    if (sym & 64) {
        if (sym & 4) {
            const int32_t corr = static_cast<int32_t>(low(green)) - clamp_byte(diffLow + static_cast<int32_t>(low(last[1])));
            encode_symbol(e, s.bytes[2], static_cast<uint8_t>(corr));
        }
        if (sym & 16) {
            const int32_t half = (diffLow + static_cast<int32_t>(low(green)) - static_cast<int32_t>(low(last[1]))) / 2;
            const int32_t corr = static_cast<int32_t>(low(blue)) - clamp_byte(half + static_cast<int32_t>(low(last[2])));
            encode_symbol(e, s.bytes[4], static_cast<uint8_t>(corr));
        }
        if (sym & 8) {
            const int32_t corr = static_cast<int32_t>(high(green)) - clamp_byte(diffHigh + static_cast<int32_t>(high(last[1])));
            encode_symbol(e, s.bytes[3], static_cast<uint8_t>(corr));
        }
        if (sym & 32) {
            const int32_t half = (diffHigh + static_cast<int32_t>(high(green)) - static_cast<int32_t>(high(last[1]))) / 2;
            const int32_t corr = static_cast<int32_t>(high(blue)) - clamp_byte(half + static_cast<int32_t>(high(last[2])));
            encode_symbol(e, s.bytes[5], static_cast<uint8_t>(corr));
        }
    }
    s.last[0] = static_cast<uint16_t>(red);
    s.last[1] = static_cast<uint16_t>(green);
    s.last[2] = static_cast<uint16_t>(blue);
}

// ---------------------------------------------------------------------------
// byte: extra bytes, each the difference from the last record's byte, one
// model per position.
// ---------------------------------------------------------------------------
struct Bytes {
    std::vector<uint8_t> last;
    std::vector<SymbolModel> models;
};

void start_bytes(Bytes& s, const uint8_t* first, size_t n, bool decoding) {
    s.last.assign(first, first + n);
    s.models.resize(n);
    for (SymbolModel& m : s.models) reset_symbol_model(m, 256, decoding);
}

void decode_bytes_v2(Decoder& d, Bytes& s, uint8_t* item) {
    for (size_t i = 0; i < s.last.size(); ++i) {
        s.last[i] = static_cast<uint8_t>(s.last[i] + decode_symbol(d, s.models[i]));
        item[i] = s.last[i];
    }
}

void encode_bytes_v2(Encoder& e, Bytes& s, const uint8_t* item) {
    for (size_t i = 0; i < s.last.size(); ++i) {
        encode_symbol(e, s.models[i], static_cast<uint8_t>(item[i] - s.last[i]));
        s.last[i] = item[i];
    }
}

// ---------------------------------------------------------------------------
// Version 1 of the items (the first LAZ files): simpler predictions, the same
// coder. X and Y are predicted from the median of the last three differences,
// the other fields by their last values.
// ---------------------------------------------------------------------------
int32_t median3(const int32_t v[3]) {
    const int32_t a = v[0], b = v[1], c = v[2];
    if (a < b) return b < c ? b : (a < c ? c : a);
    return a < c ? a : (b < c ? c : b);
}

struct Point10V1 {
    uint8_t last[kPoint10Size] = {};
    int32_t xDiffs[3] = {}, yDiffs[3] = {};
    uint32_t nextDiff = 0;
    SymbolModel changed;
    ByteModels returnByte, classification, userData;
    IntegerCoder dx, dy, z, intensity, scanAngle, sourceId;
};

void start_point10_v1(Point10V1& s, const uint8_t* first, bool decoding) {
    for (int i = 0; i < 3; ++i) s.xDiffs[i] = s.yDiffs[i] = 0;
    s.nextDiff = 0;
    reset_integer_coder(s.dx, 32, 1, decoding);
    reset_integer_coder(s.dy, 32, 20, decoding);
    reset_integer_coder(s.z, 32, 20, decoding);
    reset_integer_coder(s.intensity, 16, 1, decoding);
    reset_integer_coder(s.scanAngle, 8, 2, decoding);
    reset_integer_coder(s.sourceId, 16, 1, decoding);
    reset_symbol_model(s.changed, 64, decoding);
    std::memcpy(s.last, first, kPoint10Size);
}

uint32_t capped(uint32_t k, uint32_t cap) { return k < cap ? k : cap; }

void remember_diffs(Point10V1& s, int32_t dx, int32_t dy) {
    s.xDiffs[s.nextDiff] = dx;
    s.yDiffs[s.nextDiff] = dy;
    s.nextDiff = s.nextDiff == 2 ? 0 : s.nextDiff + 1;
}

void decode_point10_v1(Decoder& d, Point10V1& s, uint8_t* item) {
    uint8_t* last = s.last;
    const int32_t dx = decode_integer(d, s.dx, median3(s.xDiffs));
    store<int32_t>(last + kX, add_wrapped(load<int32_t>(last + kX), dx));
    uint32_t k = s.dx.k;
    const int32_t dy = decode_integer(d, s.dy, median3(s.yDiffs), capped(k, 19));
    store<int32_t>(last + kY, add_wrapped(load<int32_t>(last + kY), dy));
    k = (k + s.dy.k) / 2;
    store<int32_t>(last + kZ, decode_integer(d, s.z, load<int32_t>(last + kZ), capped(k, 19)));
    const uint32_t changed = decode_symbol(d, s.changed);
    if (changed & 32)
        store<uint16_t>(last + kIntensity, static_cast<uint16_t>(decode_integer(d, s.intensity, load<uint16_t>(last + kIntensity))));
    if (changed & 16) last[kReturnByte] = static_cast<uint8_t>(decode_symbol(d, model_after(s.returnByte, last[kReturnByte], true)));
    if (changed & 8)
        last[kClassification] = static_cast<uint8_t>(decode_symbol(d, model_after(s.classification, last[kClassification], true)));
    if (changed & 4) last[kScanAngle] = static_cast<uint8_t>(decode_integer(d, s.scanAngle, last[kScanAngle], k < 3));
    if (changed & 2) last[kUserData] = static_cast<uint8_t>(decode_symbol(d, model_after(s.userData, last[kUserData], true)));
    if (changed & 1)
        store<uint16_t>(last + kSourceId, static_cast<uint16_t>(decode_integer(d, s.sourceId, load<uint16_t>(last + kSourceId))));
    remember_diffs(s, dx, dy);
    std::memcpy(item, last, kPoint10Size);
}

void encode_point10_v1(Encoder& e, Point10V1& s, const uint8_t* item) {
    uint8_t* last = s.last;
    const int32_t dx = sub_wrapped(load<int32_t>(item + kX), load<int32_t>(last + kX));
    const int32_t dy = sub_wrapped(load<int32_t>(item + kY), load<int32_t>(last + kY));
    encode_integer(e, s.dx, median3(s.xDiffs), dx);
    uint32_t k = s.dx.k;
    encode_integer(e, s.dy, median3(s.yDiffs), dy, capped(k, 19));
    k = (k + s.dy.k) / 2;
    encode_integer(e, s.z, load<int32_t>(last + kZ), load<int32_t>(item + kZ), capped(k, 19));
    const uint16_t intensity = load<uint16_t>(item + kIntensity), lastIntensity = load<uint16_t>(last + kIntensity);
    const uint16_t sourceId = load<uint16_t>(item + kSourceId), lastSourceId = load<uint16_t>(last + kSourceId);
    const uint32_t changed = (uint32_t{lastIntensity != intensity} << 5) |
                             (uint32_t{last[kReturnByte] != item[kReturnByte]} << 4) |
                             (uint32_t{last[kClassification] != item[kClassification]} << 3) |
                             (uint32_t{last[kScanAngle] != item[kScanAngle]} << 2) |
                             (uint32_t{last[kUserData] != item[kUserData]} << 1) | uint32_t{lastSourceId != sourceId};
    encode_symbol(e, s.changed, changed);
    if (changed & 32) encode_integer(e, s.intensity, lastIntensity, intensity);
    if (changed & 16) encode_symbol(e, model_after(s.returnByte, last[kReturnByte], false), item[kReturnByte]);
    if (changed & 8) encode_symbol(e, model_after(s.classification, last[kClassification], false), item[kClassification]);
    if (changed & 4) encode_integer(e, s.scanAngle, last[kScanAngle], item[kScanAngle], k < 3);
    if (changed & 2) encode_symbol(e, model_after(s.userData, last[kUserData], false), item[kUserData]);
    if (changed & 1) encode_integer(e, s.sourceId, lastSourceId, sourceId);
    remember_diffs(s, dx, dy);
    std::memcpy(last, item, kPoint10Size);
}

// Version 1 GPS time: one sequence; multiples 0 to 509 of the last difference,
// 510 a time in full, 511 unchanged.
constexpr uint32_t kV1Multiples = 512, kV1Largest = kV1Multiples - 3, kV1Full = kV1Multiples - 2,
                   kV1Unchanged = kV1Multiples - 1;

struct GpsTimeV1 {
    int64_t lastTime = 0;
    int32_t lastDiff = 0, extremes = 0;
    SymbolModel multiple, afterZero;
    IntegerCoder diff;
};

void start_gps_time_v1(GpsTimeV1& s, const uint8_t* first, bool decoding) {
    s.lastTime = load<int64_t>(first);
    s.lastDiff = s.extremes = 0;
    reset_symbol_model(s.multiple, kV1Multiples, decoding);
    reset_symbol_model(s.afterZero, 3, decoding);
    reset_integer_coder(s.diff, 32, 6, decoding);
}

int64_t add_time(int64_t t, int32_t diff) {
    return static_cast<int64_t>(static_cast<uint64_t>(t) + static_cast<uint64_t>(static_cast<int64_t>(diff)));
}

void count_extreme_v1(GpsTimeV1& s, int32_t diff) {
    if (++s.extremes > 3) {
        s.lastDiff = diff;
        s.extremes = 0;
    }
}

int64_t read_time(Decoder& d) {
    const uint64_t low = read_int(d);
    return static_cast<int64_t>((static_cast<uint64_t>(read_int(d)) << 32) | low);
}
void write_time(Encoder& e, int64_t t) {
    write_int(e, static_cast<uint32_t>(static_cast<uint64_t>(t)));
    write_int(e, static_cast<uint32_t>(static_cast<uint64_t>(t) >> 32));
}

void decode_gps_time_v1(Decoder& d, GpsTimeV1& s, uint8_t* item) {
    if (s.lastDiff == 0) {
        const uint32_t sym = decode_symbol(d, s.afterZero);
        if (sym == 1) {
            s.lastDiff = decode_integer(d, s.diff, 0, 0);
            s.lastTime = add_time(s.lastTime, s.lastDiff);
        } else if (sym == 2) {
            s.lastTime = read_time(d);
        }
    } else {
        const uint32_t sym = decode_symbol(d, s.multiple);
        if (sym < kV1Full) {
            int32_t diff;
            if (sym == 1) {
                diff = decode_integer(d, s.diff, s.lastDiff, 1);
                s.lastDiff = diff;
                s.extremes = 0;
            } else if (sym == 0) {
                diff = decode_integer(d, s.diff, s.lastDiff / 4, 2);
                count_extreme_v1(s, diff);
            } else {
                diff = decode_integer(d, s.diff, mul_wrapped(static_cast<int32_t>(sym), s.lastDiff),
                                      sym < 10 ? 3 : sym < 50 ? 4 : 5);
                if (sym == kV1Largest) count_extreme_v1(s, diff);
            }
            s.lastTime = add_time(s.lastTime, diff);
        } else if (sym == kV1Full) {
            s.lastTime = read_time(d);
        }
    }
    store<int64_t>(item, s.lastTime);
}

void encode_gps_time_v1(Encoder& e, GpsTimeV1& s, const uint8_t* item) {
    const int64_t t = load<int64_t>(item);
    const int64_t diff64 = time_difference(t, s.lastTime);
    if (s.lastDiff == 0) {
        if (t == s.lastTime) {
            encode_symbol(e, s.afterZero, 0);
        } else if (fits_32(diff64)) {
            encode_symbol(e, s.afterZero, 1);
            s.lastDiff = static_cast<int32_t>(diff64);
            encode_integer(e, s.diff, 0, s.lastDiff, 0);
        } else {
            encode_symbol(e, s.afterZero, 2);
            write_time(e, t);
        }
    } else if (t == s.lastTime) {
        encode_symbol(e, s.multiple, kV1Unchanged);
    } else if (fits_32(diff64)) {
        const int32_t diff = static_cast<int32_t>(diff64);
        // A float quotient plus one half, truncated as the x86 conversion does.
        const float q = static_cast<float>(diff) / static_cast<float>(s.lastDiff) + 0.5f;
        int32_t multi = (q < 2147483648.0f && q > -2147483648.0f) ? static_cast<int32_t>(q) : INT32_MIN;
        if (multi >= static_cast<int32_t>(kV1Largest)) multi = kV1Largest;
        else if (multi <= 0) multi = 0;
        encode_symbol(e, s.multiple, static_cast<uint32_t>(multi));
        if (multi == 1) {
            encode_integer(e, s.diff, s.lastDiff, diff, 1);
            s.lastDiff = diff;
            s.extremes = 0;
        } else if (multi == 0) {
            encode_integer(e, s.diff, s.lastDiff / 4, diff, 2);
            count_extreme_v1(s, diff);
        } else {
            encode_integer(e, s.diff, mul_wrapped(multi, s.lastDiff), diff, multi < 10 ? 3 : multi < 50 ? 4 : 5);
            if (multi == static_cast<int32_t>(kV1Largest)) count_extreme_v1(s, diff);
        }
    } else {
        encode_symbol(e, s.multiple, kV1Full);
        write_time(e, t);
    }
    s.lastTime = t;
}

// Version 1 colour and extra bytes: every byte predicted by its last value.
struct RgbV1 {
    uint8_t last[6] = {};
    SymbolModel used;
    IntegerCoder bytes;
};

void start_rgb_v1(RgbV1& s, const uint8_t* first, bool decoding) {
    std::memcpy(s.last, first, 6);
    reset_symbol_model(s.used, 64, decoding);
    reset_integer_coder(s.bytes, 8, 6, decoding);
}

void decode_rgb_v1(Decoder& d, RgbV1& s, uint8_t* item) {
    const uint32_t sym = decode_symbol(d, s.used);
    for (uint32_t i = 0; i < 6; ++i)
        if (sym & (1u << i)) s.last[i] = static_cast<uint8_t>(decode_integer(d, s.bytes, s.last[i], i));
    std::memcpy(item, s.last, 6);
}

void encode_rgb_v1(Encoder& e, RgbV1& s, const uint8_t* item) {
    uint32_t sym = 0;
    for (uint32_t i = 0; i < 6; ++i) sym |= uint32_t{s.last[i] != item[i]} << i;
    encode_symbol(e, s.used, sym);
    for (uint32_t i = 0; i < 6; ++i)
        if (sym & (1u << i)) encode_integer(e, s.bytes, s.last[i], item[i], i);
    std::memcpy(s.last, item, 6);
}

struct BytesV1 {
    std::vector<uint8_t> last;
    IntegerCoder bytes;
};

void start_bytes_v1(BytesV1& s, const uint8_t* first, size_t n, bool decoding) {
    s.last.assign(first, first + n);
    reset_integer_coder(s.bytes, 8, static_cast<uint32_t>(n), decoding);
}

void decode_bytes_v1(Decoder& d, BytesV1& s, uint8_t* item) {
    for (size_t i = 0; i < s.last.size(); ++i) {
        s.last[i] = static_cast<uint8_t>(decode_integer(d, s.bytes, s.last[i], static_cast<uint32_t>(i)));
        item[i] = s.last[i];
    }
}

void encode_bytes_v1(Encoder& e, BytesV1& s, const uint8_t* item) {
    for (size_t i = 0; i < s.last.size(); ++i) {
        encode_integer(e, s.bytes, s.last[i], item[i], static_cast<uint32_t>(i));
        s.last[i] = item[i];
    }
}

// ---------------------------------------------------------------------------
// wavepacket13 (version 1 only): the wave packet descriptor of formats 4 and 5,
// its byte offset predicted as unchanged, as following the last packet, or by
// the last difference.
// ---------------------------------------------------------------------------
constexpr size_t kPacketIndex = 0, kPacketOffset = 1, kPacketSize = 9, kReturnPoint = 13, kPacketXyz = 17,
                 kWavePacketSize = 29;

struct WavePacket {
    uint8_t last[kWavePacketSize] = {};
    uint32_t lastOffsetCase = 0;
    int32_t lastOffsetDiff = 0;
    SymbolModel index, offsetCase[4];
    IntegerCoder offsetDiff, packetSize, returnPoint, xyz;
};

void start_wave_packet(WavePacket& s, const uint8_t* first, bool decoding) {
    std::memcpy(s.last, first, kWavePacketSize);
    s.lastOffsetCase = 0;
    s.lastOffsetDiff = 0;
    reset_symbol_model(s.index, 256, decoding);
    for (SymbolModel& m : s.offsetCase) reset_symbol_model(m, 4, decoding);
    reset_integer_coder(s.offsetDiff, 32, 1, decoding);
    reset_integer_coder(s.packetSize, 32, 1, decoding);
    reset_integer_coder(s.returnPoint, 32, 1, decoding);
    reset_integer_coder(s.xyz, 32, 3, decoding);
}

void decode_wave_packet(Decoder& d, WavePacket& s, uint8_t* item) {
    uint8_t* last = s.last;
    last[kPacketIndex] = static_cast<uint8_t>(decode_symbol(d, s.index));
    s.lastOffsetCase = decode_symbol(d, s.offsetCase[s.lastOffsetCase]);
    const uint64_t offset = load<uint64_t>(last + kPacketOffset);
    if (s.lastOffsetCase == 1) {
        store<uint64_t>(last + kPacketOffset, offset + load<uint32_t>(last + kPacketSize));
    } else if (s.lastOffsetCase == 2) {
        s.lastOffsetDiff = decode_integer(d, s.offsetDiff, s.lastOffsetDiff);
        store<uint64_t>(last + kPacketOffset, offset + static_cast<uint64_t>(static_cast<int64_t>(s.lastOffsetDiff)));
    } else if (s.lastOffsetCase == 3) {
        const uint64_t low = read_int(d);
        store<uint64_t>(last + kPacketOffset, (static_cast<uint64_t>(read_int(d)) << 32) | low);
    }
    store<int32_t>(last + kPacketSize, decode_integer(d, s.packetSize, load<int32_t>(last + kPacketSize)));
    store<int32_t>(last + kReturnPoint, decode_integer(d, s.returnPoint, load<int32_t>(last + kReturnPoint)));
    for (uint32_t i = 0; i < 3; ++i) {
        uint8_t* at = last + kPacketXyz + 4 * i;
        store<int32_t>(at, decode_integer(d, s.xyz, load<int32_t>(at), i));
    }
    std::memcpy(item, last, kWavePacketSize);
}

void encode_wave_packet(Encoder& e, WavePacket& s, const uint8_t* item) {
    uint8_t* last = s.last;
    encode_symbol(e, s.index, item[kPacketIndex]);
    const uint64_t offset = load<uint64_t>(item + kPacketOffset);
    const int64_t diff64 = static_cast<int64_t>(offset - load<uint64_t>(last + kPacketOffset));
    SymbolModel& model = s.offsetCase[s.lastOffsetCase];
    if (fits_32(diff64)) {
        const int32_t diff = static_cast<int32_t>(diff64);
        if (diff == 0) {
            s.lastOffsetCase = 0;
        } else if (diff == load<int32_t>(last + kPacketSize)) {
            s.lastOffsetCase = 1;
        } else {
            s.lastOffsetCase = 2;
        }
        encode_symbol(e, model, s.lastOffsetCase);
        if (s.lastOffsetCase == 2) {
            encode_integer(e, s.offsetDiff, s.lastOffsetDiff, diff);
            s.lastOffsetDiff = diff;
        }
    } else {
        s.lastOffsetCase = 3;
        encode_symbol(e, model, 3);
        write_int(e, static_cast<uint32_t>(offset));
        write_int(e, static_cast<uint32_t>(offset >> 32));
    }
    encode_integer(e, s.packetSize, load<int32_t>(last + kPacketSize), load<int32_t>(item + kPacketSize));
    encode_integer(e, s.returnPoint, load<int32_t>(last + kReturnPoint), load<int32_t>(item + kReturnPoint));
    for (uint32_t i = 0; i < 3; ++i) {
        const size_t at = kPacketXyz + 4 * i;
        encode_integer(e, s.xyz, load<int32_t>(last + at), load<int32_t>(item + at), i);
    }
    std::memcpy(last, item, kWavePacketSize);
}

// ---------------------------------------------------------------------------
// A record: its items in order.
// ---------------------------------------------------------------------------
enum class Step : uint8_t { point10, gpsTime, rgb, bytes, point10V1, gpsTimeV1, rgbV1, bytesV1, wavePacket };
struct Plan {
    struct Part { Step step; uint16_t offset, size; };
    std::vector<Part> parts;
};

std::string item_name(uint16_t type) {
    switch (type) {
        case kPoint10: return "point10";
        case kGpsTime11: return "gpstime11";
        case kRgb12: return "rgb12";
        case kByte: return "byte";
        case kWavePacket13: return "wavepacket13";
        default: return "type " + std::to_string(type);
    }
}

std::string plan_record(const Compression& c, uint16_t recordLength, Plan& plan) {
    plan.parts.clear();
    uint32_t offset = 0;
    for (const Item& it : c.items) {
        Step step;
        if (it.type == kPoint10 && it.size == kPoint10Size) step = Step::point10;
        else if (it.type == kGpsTime11 && it.size == 8) step = Step::gpsTime;
        else if (it.type == kRgb12 && it.size == 6) step = Step::rgb;
        else if (it.type == kByte && it.size > 0) step = Step::bytes;
        else if (it.type == kWavePacket13 && it.size == kWavePacketSize) step = Step::wavePacket;
        else return "item " + item_name(it.type) + " of " + std::to_string(it.size) + " bytes is not supported";
        const bool known = step == Step::wavePacket ? it.version == 1 : (it.version == 1 || it.version == 2);
        if (!known) return "item " + item_name(it.type) + " version " + std::to_string(it.version) + " is not supported";
        if (it.version == 1 && step != Step::wavePacket)
            step = static_cast<Step>(static_cast<int>(step) + static_cast<int>(Step::point10V1));
        plan.parts.push_back({step, static_cast<uint16_t>(offset), it.size});
        offset += it.size;
    }
    if (plan.parts.empty() || (plan.parts[0].step != Step::point10 && plan.parts[0].step != Step::point10V1))
        return "the first item is not point10";
    if (offset != recordLength)
        return "items add up to " + std::to_string(offset) + " bytes, records hold " + std::to_string(recordLength);
    return "";
}

struct Items {
    Point10 point10;
    GpsTime gpsTime;
    Rgb rgb;
    Bytes bytes;
    Point10V1 point10V1;
    GpsTimeV1 gpsTimeV1;
    RgbV1 rgbV1;
    BytesV1 bytesV1;
    WavePacket wavePacket;
};

void start_items(Items& s, const Plan& plan, const uint8_t* first, bool decoding) {
    for (const Plan::Part& p : plan.parts) {
        const uint8_t* at = first + p.offset;
        switch (p.step) {
            case Step::point10: start_point10(s.point10, at, decoding); break;
            case Step::gpsTime: start_gps_time(s.gpsTime, at, decoding); break;
            case Step::rgb: start_rgb(s.rgb, at, decoding); break;
            case Step::bytes: start_bytes(s.bytes, at, p.size, decoding); break;
            case Step::point10V1: start_point10_v1(s.point10V1, at, decoding); break;
            case Step::gpsTimeV1: start_gps_time_v1(s.gpsTimeV1, at, decoding); break;
            case Step::rgbV1: start_rgb_v1(s.rgbV1, at, decoding); break;
            case Step::bytesV1: start_bytes_v1(s.bytesV1, at, p.size, decoding); break;
            case Step::wavePacket: start_wave_packet(s.wavePacket, at, decoding); break;
        }
    }
}

}  // namespace

std::string decode_pointwise_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                   uint32_t points, uint8_t* out, size_t& used) {
    used = 0;
    if (points == 0) return "";
    Plan plan;
    if (std::string e = plan_record(c, recordLength, plan); !e.empty()) return e;
    if (size < recordLength)
        return "chunk of " + std::to_string(size) + " bytes is shorter than its first record";
    std::memcpy(out, data, recordLength);
    auto items = std::make_unique<Items>();
    start_items(*items, plan, out, true);
    Decoder d;
    start_decoder(d, data + recordLength, size - recordLength);
    uint8_t* record = out;
    for (uint32_t i = 1; i < points; ++i) {
        record += recordLength;
        for (const Plan::Part& p : plan.parts) {
            uint8_t* at = record + p.offset;
            switch (p.step) {
                case Step::point10: decode_point10_v2(d, items->point10, at); break;
                case Step::gpsTime: decode_gps_time_v2(d, items->gpsTime, at); break;
                case Step::rgb: decode_rgb_v2(d, items->rgb, at); break;
                case Step::bytes: decode_bytes_v2(d, items->bytes, at); break;
                case Step::point10V1: decode_point10_v1(d, items->point10V1, at); break;
                case Step::gpsTimeV1: decode_gps_time_v1(d, items->gpsTimeV1, at); break;
                case Step::rgbV1: decode_rgb_v1(d, items->rgbV1, at); break;
                case Step::bytesV1: decode_bytes_v1(d, items->bytesV1, at); break;
                case Step::wavePacket: decode_wave_packet(d, items->wavePacket, at); break;
            }
        }
        if (d.overrun) break;
    }
    if (d.overrun)
        return "chunk of " + std::to_string(size) + " bytes is damaged or ends before its " + std::to_string(points) +
               " records";
    used = recordLength + d.pos;
    return "";
}

void encode_pointwise_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                            std::vector<uint8_t>& out) {
    if (points == 0) return;
    Plan plan;
    if (!plan_record(c, recordLength, plan).empty()) return;
    out.insert(out.end(), records, records + recordLength);
    auto items = std::make_unique<Items>();
    start_items(*items, plan, records, false);
    Encoder e;
    start_encoder(e, out);
    const uint8_t* record = records;
    for (uint32_t i = 1; i < points; ++i) {
        record += recordLength;
        for (const Plan::Part& p : plan.parts) {
            const uint8_t* at = record + p.offset;
            switch (p.step) {
                case Step::point10: encode_point10_v2(e, items->point10, at); break;
                case Step::gpsTime: encode_gps_time_v2(e, items->gpsTime, at); break;
                case Step::rgb: encode_rgb_v2(e, items->rgb, at); break;
                case Step::bytes: encode_bytes_v2(e, items->bytes, at); break;
                case Step::point10V1: encode_point10_v1(e, items->point10V1, at); break;
                case Step::gpsTimeV1: encode_gps_time_v1(e, items->gpsTimeV1, at); break;
                case Step::rgbV1: encode_rgb_v1(e, items->rgbV1, at); break;
                case Step::bytesV1: encode_bytes_v1(e, items->bytesV1, at); break;
                case Step::wavePacket: encode_wave_packet(e, items->wavePacket, at); break;
            }
        }
    }
    finish_encoder(e);
}

}  // namespace laz
