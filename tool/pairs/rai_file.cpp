// Range, incidence angle and intensity of both returns of every pair, and the RAI file.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "file_io.h"
#include "pair_store.h"
#include "pairs.h"
#include "parallel.h"
#include "temp_files.h"
#include "trajectory.h"

namespace quilvor {

namespace {

// A return's range and angle depend only on its own record and the
// trajectory, so each paired return (marked by the pair search) is computed
// once, whichever roles it has in however many pairs: the records are those of
// computing the first and the second returns of all pairs apart. The values
// are kept by slot in the stage's per-return memory (16 bytes a return, beside
// the slot of each record); when the pairs are kept in memory, each paired
// return also gets its place among the file's paired returns (its rank, in
// slot order) and its terms there.
struct SlotValues {
    uint32_t* rank;
    float* angle;
    const int32_t* slotOf;  // by record number
    uint16_t* range;
    unsigned char* paired;  // one bit per slot
    PairedReturns* kept = nullptr;

    explicit SlotValues(CellOrderedFile& g) {
        const ReturnScratch scratch = g.scratch();
        rank = scratch.ranks();
        angle = scratch.angles();
        slotOf = scratch.record_cells();
        range = scratch.ranges();
        paired = scratch.paired_marks();
    }
    bool is_paired(uint32_t slot) const { return paired[slot >> 3] & (1u << (slot & 7)); }
    // The number of paired returns of slots first .. last - 1 (first a multiple of 8).
    uint32_t count(uint32_t first, uint32_t last) const {
        uint32_t n = 0, byte = first / 8;
        for (const uint32_t end = (last + 7) / 8; byte < end;) {  // eight bytes at a time, then the rest
            uint64_t word = 0;
            const uint32_t take = std::min<uint32_t>(8, end - byte);
            std::memcpy(&word, paired + byte, take);
            n += static_cast<uint32_t>(__builtin_popcountll(word));
            byte += take;
        }
        return n;
    }
    // The paired returns of slots first .. last - 1 (a range of whole bytes of
    // the marks), the first of them of rank r.
    void compute(const CellOrderedFile& g, uint32_t first, uint32_t last, uint32_t r) {
        std::size_t cursor = 0;
        for (uint32_t slot = first; slot < last; ++slot) {
            if (!is_paired(slot)) continue;
            const unsigned char* rec = g.record(static_cast<int32_t>(slot));
            range_and_angle(rec, g.header, CellOrderedFile::kLayout, cursor, range[slot], angle[slot]);
            if (kept == nullptr) continue;
            rank[slot] = r;
            kept->set(r++, incidence_cosine(angle[slot]), range[slot], torvane::record_intensity(rec));
        }
    }
};

// The record slot of a byte offset of the point data: offset / len by a
// multiplication (exact: the product is within 1e-6 of the quotient, and the
// candidates are checked); false for an offset that is not the start of a
// record.
struct SlotOf {
    uint32_t len, N;
    double inverse;
    SlotOf(uint32_t recordLength, uint32_t records) : len(recordLength), N(records), inverse(1.0 / recordLength) {}
    bool operator()(int32_t offset, uint32_t& slot) const {
        if (offset < 0) return false;
        const uint64_t o = static_cast<uint64_t>(offset);
        uint64_t q = static_cast<uint64_t>(static_cast<double>(offset) * inverse);
        if (q * len != o) ++q;
        slot = static_cast<uint32_t>(q);
        return q * len == o && q < N;
    }
};

// Calls fn(t, slot1, slot2) for the pairs t = first .. last - 1 of the
// pair-index file, in their order, read through block. What comes back is
// checked before use: every offset must be the start of a record of the
// point data that the pair search paired.
template <class Fn>
void for_each_pair(const PairJob& job, std::FILE* tmp, uint32_t first, uint32_t last, Buffer<int32_t>& block,
                   const SlotValues& slots, Fn fn) {
    CellOrderedFile& g = job.g;
    const char* name = job.tmpName.c_str();
    block.resize_or_fail(std::size_t{1} << 20, "\nFailed to allocate memory for pair-element index position\n");
    const std::size_t perBlock = block.size() / 2;
    const SlotOf slot_of(g.recordLength, g.N);
    for (uint32_t t = first; t < last;) {
        const std::size_t want = std::min<std::size_t>(last - t, perBlock);
        int error = 0;
        if (read_at(::fileno(tmp), block.data(), want * 8, uint64_t{t} * 8, error) != want * 8) {
            if (error != 0) fail_because(error, name, "\nTemporary binary file %s is corrupt\n", name);
            fail("\nTemporary binary file %s is corrupt\n", name);
        }
        for (std::size_t k = 0; k < want; ++k) {
            uint32_t s1, s2;
            if (!slot_of(block[2 * k], s1) || !slot_of(block[2 * k + 1], s2) || !slots.is_paired(s1) ||
                !slots.is_paired(s2))
                fail("\nTemporary binary file %s is corrupt\n", name);
            fn(t + static_cast<uint32_t>(k), s1, s2);
        }
        t += static_cast<uint32_t>(want);
    }
}


// The paired records of a kept file in file order: their marks, and their
// positions among the kept returns. Shared out over the threads in ranges of
// whole words of the marks: each range marks its records and counts them,
// then fills its part of the positions.
void keep_file_order(const CellOrderedFile& g, const SlotValues& slots, KeptPairs& kept) {
    const Ranges records(g.N, 64);
    const unsigned parts = records.count;
    std::vector<uint32_t> before(parts + 1, 0);
    uint64_t* marks = kept.paired.data();
    run_parts(parts, [&](unsigned part) {
        uint32_t n = 0;
        for (uint32_t t = records.first(part); t < records.first(part + 1); ++t) {
            if (!slots.is_paired(static_cast<uint32_t>(slots.slotOf[t]))) continue;
            marks[t >> 6] |= uint64_t{1} << (t & 63);
            ++n;
        }
        before[part + 1] = n;
    });
    for (unsigned part = 0; part < parts; ++part) before[part + 1] += before[part];
    run_parts(parts, [&](unsigned part) {
        uint32_t* out = kept.fileOrder.data() + before[part];
        // The ranks lie in the order of the cells: those of later records are fetched ahead.
        constexpr uint32_t ahead = 16;
        const uint32_t end = records.first(part + 1);
        for (uint32_t w = records.first(part) >> 6; w < (end + 63) >> 6; ++w)
            for (uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
                const uint32_t t = (w << 6) + static_cast<uint32_t>(__builtin_ctzll(bits));
                if (t + ahead < end) __builtin_prefetch(slots.rank + slots.slotOf[t + ahead]);
                *out++ = slots.rank[slots.slotOf[t]];
            }
    });
}

// Takes room for the file's pairs in memory when they fit, and computes range
// and angle of every paired return (and its kept terms), in ranges of slots
// shared out over the threads; returns the kept pairs, or nullptr.
KeptPairs* compute_paired_returns(const PairJob& job, uint32_t nPairs, SlotValues& slots) {
    CellOrderedFile& g = job.g;
    const Ranges slotParts(g.N, 8);  // in whole bytes of the slot marks
    std::vector<uint32_t> firstRank(slotParts.count + 1, 0);
    for (unsigned part = 0; part < slotParts.count; ++part)
        firstRank[part + 1] = firstRank[part] + slots.count(slotParts.first(part), slotParts.first(part + 1));
    KeptPairs* kept = nullptr;
    if (keep_pairs_in_memory(job.LASID, nPairs, firstRank.back(), g.N)) {
        kept = &_pairStore.files[job.LASID];
        slots.kept = &kept->returns;
    }
    run_parts(slotParts.count,
              [&](unsigned part) { slots.compute(g, slotParts.first(part), slotParts.first(part + 1), firstRank[part]); });
    return kept;
}

// The positions of the returns of one range of pairs on their way into the
// kept pairs. A range after the first begins with a pair kept whole, as the
// pair before it is another thread's.
struct PositionWriter {
    uint32_t* code;
    std::vector<uint32_t>& escaped;
    bool followsPair;
    uint32_t previous = 0;

    void add(uint32_t t, uint32_t i1, uint32_t i2) {
        if (!followsPair || !PairPositions::encode(previous, i1, i2, code[t])) {
            code[t] = PairPositions::kEscaped;
            escaped.push_back(i1);
            escaped.push_back(i2);
        }
        previous = i1;
        followsPair = true;
    }
};

// The RAI records of ranges of pairs, shared out over the threads, each
// written at its own place in out, and the positions of the kept pairs; false
// when a write failed, with error its errno value.
bool write_rai_records(const PairJob& job, std::FILE* tmp, std::FILE* out, uint32_t nPairs, const SlotValues& slots,
                       KeptPairs* kept, int& error) {
    CellOrderedFile& g = job.g;
    const Ranges pairParts(nPairs, 8);
    if (g.pairBlocks.size() < pairParts.count) g.pairBlocks.resize(pairParts.count);
    if (g.raiBlocks.size() < pairParts.count) g.raiBlocks.resize(pairParts.count);
    std::vector<char> written(pairParts.count, 1);
    std::vector<std::vector<uint32_t>> escaped(pairParts.count);
    std::mutex writing;
    PairStrips* strips = _recordPairStrips && job.LASID < _pairStrips.size() ? &_pairStrips[job.LASID] : nullptr;
    if (strips != nullptr) {
        strips->source.assign(2 * std::size_t{nPairs}, 0);
        strips->time.assign(2 * std::size_t{nPairs}, 0.0f);
    }
    run_parts(pairParts.count, [&](unsigned part) {
        Buffer<RangeAngleIntensityStruct>& block = g.raiBlocks[part];
        block.resize_or_fail(std::size_t{1} << 16, "\nFailed to allocate memory for Range/Angle/Intensity structure\n");
        uint32_t start = pairParts.first(part);
        std::size_t used = 0;
        PositionWriter positions{kept != nullptr ? kept->pairs.code.data() : nullptr, escaped[part], part == 0};
        auto put = [&] {
            // One writer at a time: a second would only spin on the file's lock.
            std::lock_guard<std::mutex> lock(writing);
            int e = 0;
            if (written[part] && !write_at(::fileno(out), block.data(), used * sizeof(RangeAngleIntensityStruct),
                                           uint64_t{start} * sizeof(RangeAngleIntensityStruct), e)) {
                written[part] = 0;
                if (error == 0) error = e;
            }
            start += static_cast<uint32_t>(used);
            used = 0;
        };
        for_each_pair(job, tmp, pairParts.first(part), pairParts.first(part + 1), g.pairBlocks[part], slots,
                      [&](uint32_t t, uint32_t s1, uint32_t s2) {
                          RangeAngleIntensityStruct& rec = block[used++];
                          rec.Range1 = slots.range[s1];
                          rec.Angle1 = slots.angle[s1];
                          rec.Intensity1 = torvane::record_intensity(g.record(static_cast<int32_t>(s1)));
                          rec.Range2 = slots.range[s2];
                          rec.Angle2 = slots.angle[s2];
                          rec.Intensity2 = torvane::record_intensity(g.record(static_cast<int32_t>(s2)));
                          if (kept != nullptr) positions.add(t, slots.rank[s1], slots.rank[s2]);
                          if (strips != nullptr) {
                              const torvane::PointFormat& L = CellOrderedFile::kLayout;
                              for (const uint32_t k : {0u, 1u}) {
                                  const unsigned char* r = g.record(static_cast<int32_t>(k == 0 ? s1 : s2));
                                  strips->source[2 * std::size_t{t} + k] = torvane::record_point_source_id(r, L);
                                  strips->time[2 * std::size_t{t} + k] =
                                      static_cast<float>(torvane::record_gps_time(r, L) - _rd.front().T);
                              }
                          }
                          if (used == block.size()) put();
                      });
        put();
    });
    if (kept != nullptr) {
        std::vector<uint32_t>& all = kept->pairs.escaped;
        for (const std::vector<uint32_t>& e : escaped) all.insert(all.end(), e.begin(), e.end());
        take_from_budget(all.size() * sizeof(uint32_t));
    }
    return std::find(written.begin(), written.end(), 0) == written.end();
}

}  // namespace

void write_pair_attributes(const PairJob& job, FilePtr tmp, uint32_t nPairs) {
    pairStruct& entry = _pairInfo[job.LASID];
    job.out.print("  ... Computing Range for first return in a pair ...");
    SlotValues slots(job.g);
    KeptPairs* kept = compute_paired_returns(job, nPairs, slots);
    job.out.print("\r  ... Computing Range for second return in a pair ...");

    entry.nPairs = nPairs;
    const char* RAIName = entry.RAIName.c_str();
    FilePtr out = create_temporary_file(entry.RAIName, "wb");
    if (!out) fail_because(errno, entry.RAIName, "\nFailed to open binary file %s for writing\n", RAIName);
    bool written = false;
    int error = 0;
    try {
        written = write_rai_records(job, tmp.get(), out.get(), nPairs, slots, kept, error);
    } catch (const Failure&) {
        // A pair-index file found corrupt (or no memory): the RAI file was not to be begun.
        out.reset();
        remove_temporary_file(entry.RAIName);
        throw;
    }
    if (kept != nullptr) keep_file_order(job.g, slots, *kept);
    tmp.reset();
    remove_temporary_file(job.tmpName);
    if (std::fclose(out.release()) != 0 && written) written = false, error = errno;
    if (!written) fail_because(error, entry.RAIName, "\nFailed to write binary file %s\n", RAIName);
    job.out.print("\r%77s\r", "");
}

void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, FilePtr tmp, uint32_t nPairs) {
    write_pair_attributes(PairJob{LASID, g, standard_output(), kPairIndexFile}, std::move(tmp), nPairs);
}

}  // namespace quilvor
