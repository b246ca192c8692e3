// Writes the intensity-normalized copy of every LAS file of the list.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "las_input.h"
#include "exponent.h"
#include "file_io.h"
#include "pair_store.h"
#include "parallel.h"
#include "normalize.h"
#include "strip_gains.h"
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
// The records of a chunk of a compressed copy.
constexpr uint32_t kCompressedChunk = 50000;

// Replaces the intensity of each of the n records in block, the first of
// them record number first of the file, by its normalized value. A paired
// return whose pairs were kept in memory has its range and cosine there (the
// same values, from the same record and trajectory); kept holds the file's
// kept pairs (or is nullptr), nextPaired is the number of paired records before first.
void normalize_records(unsigned char* block, std::size_t n, uint32_t first, const KeptPairs* kept,
                       uint32_t nextPaired, const NormalizeJob& job, const LasInput& in, std::size_t& cursor) {
    const uint16_t len = in.recordLength;
    const torvane::PointFormat& format = *in.format;
    const double firstT = _rd.front().T, lastT = _rd.back().T;
    const bool truncate = _truncateIntensityFlag == 0;
    for (std::size_t k = 0; k < n; ++k) {
        unsigned char* rec = block + k * len;
        // The pair search saw every time within the trajectory.
        const double t = torvane::record_gps_time(rec, format);
        if (!(t >= firstT && t <= lastT)) fail_changed(_pairInfo[job.LASID].LASName.c_str());
        uint16_t range;
        double cosine;
        if (kept != nullptr && kept->is_paired(first + static_cast<uint32_t>(k))) {
            const uint32_t r = kept->fileOrder[nextPaired++];
            range = kept->returns.range[r];
            cosine = kept->returns.cosine[r];
        } else {
            float angle;
            range_and_angle(rec, in.header, format, cursor, range, angle);
            cosine = incidence_cosine(angle);
        }
        double v = normalized_intensity(job.power, range, torvane::record_intensity(rec), cosine);
        if (job.gains != nullptr) v /= job.gains->gain_of(torvane::record_point_source_id(rec, format), t - firstT);
        torvane::set_record_intensity(rec, stored_intensity(v, truncate));
    }
}

// How the blocks of one file went: the failure of the earliest block that
// failed (what one thread taking the blocks in order meets first), and
// whether a write failed (which, as on one thread, is reported at the end).
struct BlockOutcome {
    std::mutex mutex;
    std::size_t failedBlock = SIZE_MAX;
    std::optional<Failure> failure;
    bool writeFailed = false;
    int writeError = 0;

    void failed(std::size_t block, const Failure& f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (block < failedBlock) failedBlock = block, failure = f;
    }
    bool wanted(std::size_t block) {
        std::lock_guard<std::mutex> lock(mutex);
        return block < failedBlock;
    }
};

// Copies bytes first .. last - 1 of the input unchanged into the copy, through
// block: everything before the point data (header, variable-length records,
// any start signature) and everything after them (waveform data, extended
// variable-length records, whatever else the file holds). False when a write
// failed, with error its reason (unless error holds an earlier one).
bool copy_unchanged(const LasInput& in, PendingOutput& out, Buffer<unsigned char>& block, uint64_t first,
                    uint64_t last, int& error, uint64_t to = UINT64_MAX) {
    bool written = true;
    if (to == UINT64_MAX) to = first;
    for (uint64_t at = first; at < last;) {
        const std::size_t n = std::min<uint64_t>(block.size(), last - at);
        read_input_at(in, block.data(), n, at);
        int e = 0;
        if (written && !write_at(::fileno(out.file.get()), block.data(), n, to + (at - first), e)) {
            written = false;
            if (error == 0) error = e;
        }
        at += n;
    }
    return written;
}

// The blocks of records, shared out over the threads; each record is
// normalized from itself and the trajectory alone, and written where it was.
// False when a write failed (error as for copy_unchanged); throws the failure
// of the earliest block that failed.
bool normalize_blocks(const NormalizeJob& job, const LasInput& in, PendingOutput& out, std::size_t perBlock,
                      unsigned parts, int& error) {
    const uint16_t len = in.recordLength;
    const std::size_t blocks = (in.points + perBlock - 1) / perBlock;
    BlockOutcome outcome;
    const KeptPairs* kept = pairs_in_memory(job.LASID) ? &_pairStore.files[job.LASID] : nullptr;
    run_parts(parts, [&](unsigned part) {
        Buffer<unsigned char>& block = job.blocks[part];
        RecordScratch scratch;
        std::size_t cursor = 0;
        uint32_t counted = 0, pairedBefore = 0;  // the paired records before record counted
        for (std::size_t b = part; b < blocks && outcome.wanted(b); b += parts) {
            const std::size_t n = std::min<std::size_t>(perBlock, in.points - b * perBlock);
            const uint64_t offset = in.header.OffsetToData + static_cast<uint64_t>(b) * perBlock * len;
            const uint32_t first = static_cast<uint32_t>(b * perBlock);
            if (kept != nullptr) pairedBefore += kept->paired_between(counted, first);
            counted = first;
            try {
                read_records(in, first, static_cast<uint32_t>(n), block.data(), scratch);
                normalize_records(block.data(), n, first, kept, pairedBefore, job, in, cursor);
            } catch (const Failure& f) {
                outcome.failed(b, f);
                return;
            }
            // One writer at a time: the file system takes the file's lock for a
            // write, and a second writer would only spin on it. The disk starts
            // on the block now, so that flushing the whole copy at the end has
            // little left to wait for.
            std::lock_guard<std::mutex> lock(outcome.mutex);
            int e = 0;
            if (!outcome.writeFailed && !write_at(::fileno(out.file.get()), block.data(), n * len, offset, e))
                outcome.writeFailed = true, outcome.writeError = e;
            ::sync_file_range(::fileno(out.file.get()), static_cast<off_t>(offset), static_cast<off_t>(n * len),
                              SYNC_FILE_RANGE_WRITE);
        }
    });
    if (outcome.failure) throw *outcome.failure;
    if (outcome.writeFailed && error == 0) error = outcome.writeError;
    return !outcome.writeFailed;
}

// Writes bytes at offset of the copy; false when a write failed (error as for copy_unchanged).
bool write_bytes(PendingOutput& out, const void* data, std::size_t n, uint64_t offset, int& error) {
    int e = 0;
    if (write_at(::fileno(out.file.get()), data, n, offset, e)) return true;
    if (error == 0) error = e;
    return false;
}

// A compressed file's copy: its header and variable-length records with the
// compression record describing the copy's chunks, the chunks of normalized
// records (compressed on the threads, written in order), the chunk table,
// then whatever followed the input's point data (extended variable-length
// records, waveform data), moved to follow the copy's.
bool normalize_compressed(const NormalizeJob& job, const LasInput& in, PendingOutput& out, unsigned parts,
                          int& error) {
    const SurveyFile& file = *in.of;
    const torvane::LASHeader& h = in.header;
    const uint16_t len = in.recordLength;
    const laz::Compression c = laz::compression_for(h.PointDataFormatID, len, kCompressedChunk);
    const std::vector<uint8_t> description = laz::compression_bytes(c);
    const torvane::VariableRecord& old =
        *find_record(file, torvane::kCompressionUser, torvane::kCompressionRecordID);
    const uint64_t oldHeaderAt = old.dataOffset - torvane::kVLRHeaderSize;
    const int64_t shift = static_cast<int64_t>(description.size()) - static_cast<int64_t>(old.length);
    const uint64_t pointsAt = h.OffsetToData + shift;
    const uint64_t evlrs = h.StartOfFirstExtendedVariableLengthRecord, waveform = h.StartOfWaveformDataPacketRecord;
    uint64_t tailFrom = file.size;
    if (h.VersionMinor >= 4 && h.NumberOfExtendedVariableLengthRecords > 0) tailFrom = std::min(evlrs, file.size);
    else if (h.VersionMinor >= 3 && waveform != 0) tailFrom = std::min(waveform, file.size);
    if (pointsAt > UINT32_MAX) fail("\nFile %s: its copy's header would not hold the offset to its point data\n",
                                    file.name.c_str());

    // Everything before the compression record's data, then the copy's description and what followed the input's.
    bool written = copy_unchanged(in, out, job.blocks[0], 0, old.dataOffset, error);
    unsigned char head[torvane::kVLRHeaderSize];
    read_input_at(in, head, sizeof(head), oldHeaderAt);
    torvane::store<uint16_t>(head + torvane::kVLRLengthAt, static_cast<uint16_t>(description.size()));
    written = write_bytes(out, head, sizeof(head), oldHeaderAt, error) && written;
    written = write_bytes(out, description.data(), description.size(), old.dataOffset, error) && written;
    written = copy_unchanged(in, out, job.blocks[0], old.dataOffset + old.length, h.OffsetToData, error,
                             old.dataOffset + description.size()) &&
              written;

    // The chunks, in order, each compressed by the thread that normalized it.
    const std::size_t chunks = (in.points + kCompressedChunk - 1) / kCompressedChunk;
    std::vector<laz::Chunk> table(chunks);
    BlockOutcome outcome;
    std::condition_variable turn;
    std::size_t nextToWrite = 0;
    uint64_t writeAt = pointsAt + 8;
    const KeptPairs* kept = pairs_in_memory(job.LASID) ? &_pairStore.files[job.LASID] : nullptr;
    run_parts(parts, [&](unsigned part) {
        Buffer<unsigned char>& block = job.blocks[part];
        RecordScratch scratch;
        std::vector<uint8_t> packed;
        std::size_t cursor = 0;
        uint32_t counted = 0, pairedBefore = 0;
        for (std::size_t b = part; b < chunks; b += parts) {
            const uint32_t first = static_cast<uint32_t>(b * kCompressedChunk);
            const uint32_t n = std::min<uint32_t>(kCompressedChunk, in.points - first);
            if (kept != nullptr) pairedBefore += kept->paired_between(counted, first);
            counted = first;
            packed.clear();
            try {
                if (!outcome.wanted(b)) throw Failure("");  // an earlier chunk failed: this one is not written
                read_records(in, first, n, block.data(), scratch);
                normalize_records(block.data(), n, first, kept, pairedBefore, job, in, cursor);
                laz::encode_chunk(c, len, block.data(), n, packed);
            } catch (const Failure& f) {
                std::unique_lock<std::mutex> lock(outcome.mutex);
                if (!f.message.empty() && b < outcome.failedBlock) outcome.failedBlock = b, outcome.failure = f;
                else if (f.message.empty() && b < outcome.failedBlock) outcome.failedBlock = b;
                turn.notify_all();
                return;
            }
            std::unique_lock<std::mutex> lock(outcome.mutex);
            turn.wait(lock, [&] { return nextToWrite == b || outcome.failedBlock < b; });
            if (outcome.failedBlock < b) return;
            int e = 0;
            if (!outcome.writeFailed && !write_at(::fileno(out.file.get()), packed.data(), packed.size(), writeAt, e))
                outcome.writeFailed = true, outcome.writeError = e;
            table[b] = {writeAt, packed.size(), n};
            writeAt += packed.size();
            ++nextToWrite;
            turn.notify_all();
        }
    });
    if (outcome.failure) throw *outcome.failure;
    if (outcome.writeFailed && error == 0) error = outcome.writeError;
    written = written && !outcome.writeFailed;

    // The chunk table after the last chunk, its position before the first.
    const uint64_t tableAt = writeAt;
    const std::vector<uint8_t> tableBytes = laz::chunk_table_bytes(c, table);
    written = write_bytes(out, tableBytes.data(), tableBytes.size(), tableAt, error) && written;
    unsigned char position[8];
    torvane::store<int64_t>(position, static_cast<int64_t>(tableAt));
    written = write_bytes(out, position, sizeof(position), pointsAt, error) && written;
    const uint64_t tailTo = tableAt + tableBytes.size();
    written = copy_unchanged(in, out, job.blocks[0], tailFrom, file.size, error, tailTo) && written;

    // The header: where the point data and what followed them now lie.
    torvane::LASHeader copy = torvane::header_from_bytes(file.headerBytes.data(), file.headerSize);
    copy.OffsetToData = static_cast<uint32_t>(pointsAt);
    if (copy.VersionMinor >= 4 && copy.NumberOfExtendedVariableLengthRecords > 0)
        copy.StartOfFirstExtendedVariableLengthRecord += tailTo - tailFrom;
    if (copy.VersionMinor >= 3 && copy.StartOfWaveformDataPacketRecord != 0)
        copy.StartOfWaveformDataPacketRecord += tailTo - tailFrom;
    unsigned char header[torvane::kMaxHeaderSize];
    torvane::header_to_bytes(copy, header);
    written = write_bytes(out, header, file.headerSize, 0, error) && written;
    return written;
}

}  // namespace

std::unique_ptr<PendingOutput> normalize_file(const NormalizeJob& job) {
    pairStruct& entry = _pairInfo[job.LASID];
    const char* name = entry.LASName.c_str();
    LasInput in = open_las_input(entry, "\nFailed to open file %s for reading\n");
    job.out.print("\r  ... Normalizing intensity for file %s          \r", name);
    const std::string outName = normalizedName(entry.LASName);
    // A copy's name taken by a directory is refused now that the copy is due: the copies before it stay.
    check_output_name(outName);
    const std::size_t perBlock = in.of->compressed ? kCompressedChunk : kBlockBytes / in.recordLength;
    const std::size_t blocks = (in.points + perBlock - 1) / perBlock;
    const unsigned parts = static_cast<unsigned>(std::clamp<std::size_t>(blocks, 1, job.blocks.size()));
    for (unsigned p = 0; p < parts; ++p)
        job.blocks[p].resize_or_fail(perBlock * in.recordLength, "\nFailed to allocate memory for data from %s\n", name);

    auto pending = std::make_unique<PendingOutput>();
    PendingOutput& out = *pending;
    if (!begin_output(out, outName))
        fail_because(errno, outName, "\nFailed to open file %s for writing intensity normalized data\n",
                     outName.c_str());
    int error = 0;
    bool written;
    if (in.of->compressed) {
        written = normalize_compressed(job, in, out, parts, error);
    } else {
        // The copy has the input's size: every byte but the intensities is the input's.
        written = copy_unchanged(in, out, job.blocks[0], 0, in.header.OffsetToData, error);
        written = normalize_blocks(job, in, out, perBlock, parts, error) && written;
        written = copy_unchanged(in, out, job.blocks[0], torvane::point_data_end(in.header), entry.file.size, error) &&
                  written;
    }
    if (!written) fail_because(error, outName, "\nFailed to write intensity normalized data to %s\n", outName.c_str());
    if (!finish_output(out))
        fail_because(errno, outName, "\nFailed to write intensity normalized data to %s\n", outName.c_str());
    return pending;
}

void normalizeIntensity() {
    std::printf("\n");
    const bool gains = _extraOutputs.stripGains;
    const std::vector<double> power = range_power_table(_meanRange, gains ? _stripGains.exponent : _normFactor);
    std::vector<Buffer<unsigned char>> blocks(std::max(1u, _threads));  // one per thread, for every file
    for (uint16_t t = 0; t < _fileCount; ++t) {
        const std::unique_ptr<PendingOutput> output =
            normalize_file(NormalizeJob{t, standard_output(), blocks, power.data(), gains ? &_stripGains : nullptr});
        if (!publish_output(*output))
            fail_because(errno, output->finalName, "\nFailed to write intensity normalized data to %s\n",
                         output->finalName.c_str());
        // Its kept pairs have served their last use: their memory goes to the copies of the files after it.
        release_pairs(t);
    }
    std::printf("\r%79s\r", "");
}

}  // namespace quilvor
