// Rates of the layered LAZ chunks on one core (processor time): 2 M simulated returns of point
// formats 6 and 7 (four scanner channels, one to four returns a pulse, steady
// GPS time steps) in chunks of 50,000, encoded then decoded.
//   laz_layered_bench [points]
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "layered.h"

namespace {

void put16(uint8_t* p, uint32_t v) { p[0] = static_cast<uint8_t>(v), p[1] = static_cast<uint8_t>(v >> 8); }
void put32(uint8_t* p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }

std::vector<uint8_t> simulate(uint16_t length, bool colour, uint32_t points) {
    std::mt19937 rng(5);
    std::vector<uint8_t> out(static_cast<size_t>(points) * length);
    int32_t x = 0, y = 0, z = 20000;
    double time = 400000.0;
    uint32_t r = 1, n = 1, channel = 0, pulse = 0;
    for (uint32_t i = 0; i < points; ++i) {
        uint8_t* p = out.data() + static_cast<size_t>(i) * length;
        if (r >= n) {
            r = 1, n = 1 + rng() % 4, channel = (pulse / 64) % 4, ++pulse;
            time += 0.000005;
            x += 35 + static_cast<int32_t>(rng() % 7);
            if (pulse % 400 == 0) x -= 14000, y += 50;
        } else {
            ++r;
        }
        z += static_cast<int32_t>(rng() % 201) - 100;
        put32(p, static_cast<uint32_t>(x)), put32(p + 4, static_cast<uint32_t>(y + static_cast<int32_t>(rng() % 9)));
        put32(p + 8, static_cast<uint32_t>(z - 900 * static_cast<int32_t>(r - 1)));
        put16(p + 12, 300 + rng() % 1200);
        p[14] = static_cast<uint8_t>(r | (n << 4));
        p[15] = static_cast<uint8_t>(channel << 4 | ((pulse / 400) % 2) << 6);
        p[16] = r == n ? 2 : 1;
        p[17] = 0;
        put16(p + 18, static_cast<uint32_t>((pulse % 400) * 15 - 3000));
        put16(p + 20, 11 + pulse / 200000);
        std::memcpy(p + 22, &time, 8);
        if (colour)
            for (int k = 0; k < 3; ++k) put16(p + 30 + 2 * k, (40 + rng() % 20) * 256);
    }
    return out;
}

// Processor time of this process: the rate per core even on a busy machine.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t points = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 2000000;
    const uint32_t chunk = 50000;
    for (const int format : {6, 7}) {
        const uint16_t length = format == 6 ? 30 : 36;
        laz::Compression c;
        c.compressor = laz::kLayeredChunked;
        c.chunkSize = chunk;
        c.items.push_back({laz::kPoint14, 30, 3});
        if (format == 7) c.items.push_back({laz::kRgb14, 6, 3});
        const std::vector<uint8_t> records = simulate(length, format == 7, points);

        double t = cpu_seconds();
        std::vector<std::vector<uint8_t>> chunks;
        for (uint32_t at = 0; at < points; at += chunk) {
            chunks.emplace_back();
            laz::encode_layered_chunk(c, length, records.data() + static_cast<size_t>(at) * length,
                                      std::min(chunk, points - at), chunks.back());
        }
        const double encodeSeconds = cpu_seconds() - t;
        size_t bytes = 0;
        for (const auto& ch : chunks) bytes += ch.size();

        std::vector<uint8_t> back(records.size());
        t = cpu_seconds();
        for (uint32_t at = 0, k = 0; at < points; at += chunk, ++k) {
            const std::string e = laz::decode_layered_chunk(c, length, chunks[k].data(), chunks[k].size(),
                                                            std::min(chunk, points - at),
                                                            back.data() + static_cast<size_t>(at) * length);
            if (!e.empty()) {
                std::printf("decoding failed: %s\n", e.c_str());
                return 1;
            }
        }
        const double decodeSeconds = cpu_seconds() - t;
        std::printf("format %d: %u points, %.2f bytes/point (%.1f%%), encode %.2f M points/s, decode %.2f M points/s%s\n",
                    format, points, static_cast<double>(bytes) / points, 100.0 * bytes / records.size(),
                    points / encodeSeconds / 1e6, points / decodeSeconds / 1e6, back == records ? "" : " MISMATCH");
    }
    return 0;
}
