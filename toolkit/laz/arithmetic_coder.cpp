// The LAZ arithmetic coder: model updates, the decoder's and encoder's start
// and end, raw bits. The hot steps are inline in the header.
#include "arithmetic_coder.h"

namespace laz {

void reset_bit_model(BitModel& m) { m = BitModel{}; }

// Counts are halved when they pass the limit; the update interval grows by a
// quarter each time up to 64 decisions.
void refresh_bit_model(BitModel& m) {
    if ((m.count += m.updateCycle) > kBitMaxCount) {
        m.count = (m.count + 1) >> 1;
        m.count0 = (m.count0 + 1) >> 1;
        if (m.count0 == m.count) ++m.count;
    }
    const uint32_t scale = 0x80000000u / m.count;
    m.prob0 = (m.count0 * scale) >> (31 - kBitShift);
    m.updateCycle = (5 * m.updateCycle) >> 2;
    if (m.updateCycle > 64) m.updateCycle = 64;
    m.untilUpdate = m.updateCycle;
}

void reset_symbol_model(SymbolModel& m, uint32_t symbols, bool forDecoding) {
    if (symbols < 2) symbols = 2;
    if (symbols > 2048) symbols = 2048;
    m.symbols = symbols;
    m.lastSymbol = symbols - 1;
    if (forDecoding && symbols > 16) {
        uint32_t tableBits = 3;
        while (symbols > (1u << (tableBits + 2))) ++tableBits;
        m.tableSize = 1u << tableBits;
        m.tableShift = kSymbolShift - tableBits;
        m.table.assign(m.tableSize + 2, 0);
    } else {
        m.tableSize = m.tableShift = 0;
        m.table.clear();
    }
    m.distribution.assign(symbols, 0);
    m.counts.assign(symbols, 1);
    m.totalCount = 0;
    m.updateCycle = symbols;
    refresh_symbol_model(m);
    m.untilUpdate = m.updateCycle = (symbols + 6) >> 1;
}

void refresh_symbol_model(SymbolModel& m) {
    if ((m.totalCount += m.updateCycle) > kSymbolMaxCount) {
        m.totalCount = 0;
        for (uint32_t n = 0; n < m.symbols; ++n) m.totalCount += (m.counts[n] = (m.counts[n] + 1) >> 1);
    }
    const uint32_t scale = 0x80000000u / m.totalCount;
    uint32_t sum = 0;
    if (m.table.empty()) {
        for (uint32_t k = 0; k < m.symbols; ++k) {
            m.distribution[k] = (scale * sum) >> (31 - kSymbolShift);
            sum += m.counts[k];
        }
    } else {
        uint32_t s = 0;
        for (uint32_t k = 0; k < m.symbols; ++k) {
            m.distribution[k] = (scale * sum) >> (31 - kSymbolShift);
            sum += m.counts[k];
            const uint32_t w = m.distribution[k] >> m.tableShift;
            while (s < w) m.table[++s] = k - 1;
        }
        m.table[0] = 0;
        while (s <= m.tableSize) m.table[++s] = m.symbols - 1;
    }
    m.updateCycle = (5 * m.updateCycle) >> 2;
    const uint32_t maxCycle = (m.symbols + 6) << 3;
    if (m.updateCycle > maxCycle) m.updateCycle = maxCycle;
    m.untilUpdate = m.updateCycle;
}

void start_decoder(Decoder& d, const uint8_t* data, size_t size) {
    d.data = data;
    d.size = size;
    d.pos = 0;
    d.overrun = false;
    restart_decoder(d);
}

void restart_decoder(Decoder& d) {
    d.length = kMaxLength;
    d.value = 0;
    for (int i = 0; i < 4; ++i) d.value = (d.value << 8) | next_byte(d);
    // No encoder ends inside an interval whose code is all ones; keeping
    // value < length keeps every later step inside its tables.
    if (d.value >= d.length) {
        d.value = d.length - 1;
        d.overrun = true;
    }
}

uint32_t read_bits(Decoder& d, uint32_t bits) {
    if (bits > 19) {
        const uint32_t low = read_bits(d, 16);
        return (read_bits(d, bits - 16) << 16) | low;
    }
    const uint32_t sym = d.value / (d.length >>= bits);
    d.value -= d.length * sym;
    if (d.length < kMinLength) renormalise(d);
    if (sym >> bits) {  // no encoder writes this: damaged data
        d.overrun = true;
        return sym & ((1u << bits) - 1);
    }
    return sym;
}

void start_encoder(Encoder& e, std::vector<uint8_t>& out) {
    e.out = &out;
    e.start = out.size();
    e.base = 0;
    e.length = kMaxLength;
}

void finish_encoder(Encoder& e) {
    const uint32_t before = e.base;
    bool thirdZero = true;
    if (e.length > 2 * kMinLength) {
        e.base += kMinLength;
        e.length = kMinLength >> 1;  // one more byte
    } else {
        e.base += kMinLength >> 1;
        e.length = kMinLength >> 9;  // two more bytes
        thirdZero = false;
    }
    if (before > e.base) carry(e);
    renormalise(e);
    e.out->push_back(0);
    e.out->push_back(0);
    if (thirdZero) e.out->push_back(0);
}

void write_bits(Encoder& e, uint32_t bits, uint32_t value) {
    if (bits > 19) {
        write_bits(e, 16, value & 0xFFFF);
        value >>= 16;
        bits -= 16;
    }
    const uint32_t before = e.base;
    e.base += value * (e.length >>= bits);
    if (before > e.base) carry(e);
    if (e.length < kMinLength) renormalise(e);
}

}  // namespace laz
