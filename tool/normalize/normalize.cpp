// Writes the intensity-normalized copy of every LAS file of the list.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "driver.h"
#include "exponent.h"
#include "file_stage.h"
#include "normalize.h"
#include "temp_files.h"
#include "trajectory.h"

namespace quilvor {

uint16_t stored_intensity(double v, bool truncate) {
    uint16_t value;
    if (!(v >= 0.0)) value = 0;  // negative or not a number
    else if (v >= 65535.0) value = 65535;
    else value = static_cast<uint16_t>(v);
    if (truncate) {
        if (value > 255) value = 255;
        else if (value == 0) value = 1;
    }
    return value;
}

namespace {

constexpr std::size_t kBlockBytes = std::size_t{4} << 20;

// Copies bytes of the input to the output through the block buffer.
void copy_bytes(LasInput& in, std::FILE* out, std::size_t bytes, Buffer<unsigned char>& block, const char* name,
                bool& written) {
    while (bytes > 0) {
        const std::size_t n = std::min(bytes, block.size());
        read_input(in, block.data(), n, name);
        written = written && std::fwrite(block.data(), 1, n, out) == n;
        bytes -= n;
    }
}

// Replaces the intensity of each of the n records in block by its normalized value.
void normalize_records(unsigned char* block, std::size_t n, const NormalizeJob& job, const torvane::LAS12Header& h,
                       std::size_t& cursor) {
    const uint16_t len = h.PointDataRecordLength;
    const double first = _rd.front().T, last = _rd.back().T;
    const bool truncate = _truncateIntensityFlag == 0;
    for (std::size_t k = 0; k < n; ++k) {
        unsigned char* rec = block + k * len;
        // The pair search saw every time within the trajectory.
        const double t = torvane::record_gps_time(rec);
        if (!(t >= first && t <= last)) fail_changed(_pairInfo[job.LASID].LASName.c_str());
        uint16_t range;
        float angle;
        range_and_angle(rec, h, cursor, range, angle);
        const double v = normalized_intensity(job.power, range, torvane::record_intensity(rec), incidence_cosine(angle));
        torvane::store<uint16_t>(rec + torvane::withinRecordOffsetToIntensity, stored_intensity(v, truncate));
    }
}

}  // namespace

std::unique_ptr<PendingOutput> normalize_file(const NormalizeJob& job) {
    pairStruct& entry = _pairInfo[job.LASID];
    const char* name = entry.LASName.c_str();
    LasInput in = open_las_input(entry, "\nFailed to open file %s for reading\n");
    job.out.print("\r  ... Normalizing intensity for file %s          \r", name);
    const torvane::LAS12Header h = in.header;
    const uint16_t len = h.PointDataRecordLength;
    job.block.resize_or_fail(kBlockBytes / len * len, "\nFailed to allocate memory for data from %s\n", name);

    const std::string outName = normalizedName(entry.LASName);
    auto pending = std::make_unique<PendingOutput>();
    PendingOutput& out = *pending;
    if (!begin_output(out, outName))
        fail("\nFailed to open file %s for writing intensity normalized data\n", outName.c_str());
    // Everything before the point data (header, variable-length records, any
    // start signature) is carried over byte for byte.
    std::rewind(in.file.get());
    bool written = true;
    copy_bytes(in, out.file.get(), h.OffsetToData, job.block, name, written);
    std::size_t cursor = 0;
    for (uint32_t done = 0; done < h.NumberOfPointReturns;) {
        if (job.out.abandoned()) throw Failure("");
        const std::size_t n = std::min<std::size_t>(job.block.size() / len, h.NumberOfPointReturns - done);
        read_input(in, job.block.data(), n * len, name);
        normalize_records(job.block.data(), n, job, h, cursor);
        written = written && std::fwrite(job.block.data(), len, n, out.file.get()) == n;
        done += static_cast<uint32_t>(n);
    }
    if (!written || !finish_output(out)) fail("\nFailed to write intensity normalized data to %s\n", outName.c_str());
    return pending;
}

namespace {
[[noreturn]] void fail_publish(const std::string& outName) {
    fail("\nFailed to write intensity normalized data to %s\n", outName.c_str());
}
}  // namespace

void normalizeIntensity() {
    std::printf("\n");
    const std::vector<double> power = range_power_table(_meanRange, _normFactor);
    std::vector<Buffer<unsigned char>> blocks(std::max(1u, _threads));
    FileStage stage;
    stage.threads = _threads;
    stage.work = [&](uint16_t t, Console& out, unsigned worker) -> std::function<void()> {
        std::shared_ptr<PendingOutput> output = normalize_file(NormalizeJob{t, out, blocks[worker], power.data()});
        // Outputs take their final names in list order, so that a failure in a
        // later file leaves exactly the outputs of the files before it.
        return [output] {
            if (!publish_output(*output)) fail_publish(output->finalName);
        };
    };
    run_file_stage(stage);
    std::printf("\r%79s\r", "");
}

}  // namespace quilvor
