// Rates of the pointwise LAZ items on one core (processor time): the records
// of a simulated tile (LAS_SimSurvey, formats 1 or 3) compressed in chunks of
// 50,000 with the standard items, then decompressed and compared.
//   LAS_SimSurvey --out DIR --density 8 --format 3
//   laz_bench DIR/tile_00_00.las [repeats]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"
#include "laz_codec.h"

namespace {

// Processor time of this process: the rate per core even on a busy machine.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

bool read_whole(const char* path, std::vector<uint8_t>& bytes) {
    torvane::FilePtr f(std::fopen(path, "rb"));
    if (!f) return false;
    std::fseek(f.get(), 0, SEEK_END);
    const long size = std::ftell(f.get());
    std::fseek(f.get(), 0, SEEK_SET);
    if (size <= 0) return false;
    bytes.resize(static_cast<size_t>(size));
    return std::fread(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: laz_bench FILE.las [repeats]\n");
        return -1;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<uint8_t> file;
    if (!read_whole(argv[1], file) || file.size() < 227) {
        std::printf("cannot read %s\n", argv[1]);
        return -1;
    }
    const torvane::LASHeader h = torvane::header_from_bytes(file.data(), file.size());
    const uint64_t points = torvane::point_count(h);
    const uint16_t length = h.PointDataRecordLength;
    if (h.OffsetToData + points * length > file.size()) {
        std::printf("%s holds fewer records than its header says\n", argv[1]);
        return -1;
    }
    const uint8_t* records = file.data() + h.OffsetToData;
    const laz::Compression c = laz::compression_for(h.PointDataFormatID, length, 50000);

    std::vector<uint8_t> data;
    std::vector<laz::Chunk> chunks;
    double encodeSeconds = 1e300, decodeSeconds = 1e300;
    for (int r = 0; r < repeats; ++r) {
        data.clear();
        chunks.clear();
        const double t0 = cpu_seconds();
        for (uint64_t done = 0; done < points;) {
            const uint32_t n = static_cast<uint32_t>(points - done < c.chunkSize ? points - done : c.chunkSize);
            const size_t start = data.size();
            laz::encode_chunk(c, length, records + done * length, n, data);
            chunks.push_back({start, data.size() - start, n});
            done += n;
        }
        const double t1 = cpu_seconds();
        if (t1 - t0 < encodeSeconds) encodeSeconds = t1 - t0;
    }
    std::vector<uint8_t> back(points * length);
    for (int r = 0; r < repeats; ++r) {
        const double t0 = cpu_seconds();
        uint64_t done = 0;
        for (const laz::Chunk& ch : chunks) {
            const std::string e = laz::decode_chunk(c, length, data.data() + ch.offset, ch.bytes, ch.points,
                                                    back.data() + done * length);
            if (!e.empty()) {
                std::printf("decoding failed: %s\n", e.c_str());
                return -1;
            }
            done += ch.points;
        }
        const double t1 = cpu_seconds();
        if (t1 - t0 < decodeSeconds) decodeSeconds = t1 - t0;
    }
    const bool same = std::memcmp(back.data(), records, back.size()) == 0;
    std::printf("%llu records of format %d (%u bytes) in %zu chunks: %.1f%% of their size\n",
                static_cast<unsigned long long>(points), h.PointDataFormatID & 0x3F, length, chunks.size(),
                100.0 * static_cast<double>(data.size()) / static_cast<double>(back.size()));
    std::printf("encode %.2f M points/s, decode %.2f M points/s per core (best of %d), round trip %s\n",
                static_cast<double>(points) / encodeSeconds / 1e6, static_cast<double>(points) / decodeSeconds / 1e6,
                repeats, same ? "exact" : "DIFFERS");
    return same ? 0 : -1;
}
