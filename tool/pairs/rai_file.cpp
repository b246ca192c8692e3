// Range, incidence angle and intensity of both returns of every pair, and the RAI file.
#include <cstring>

#include "exponent.h"
#include "pair_store.h"
#include "pairs.h"
#include "temp_files.h"
#include "trajectory.h"

namespace quilvor {

namespace {

// A return's range and angle depend only on its own record and the
// trajectory, so each paired return is computed once, whichever roles it has
// in however many pairs: the records are those of computing the first and the
// second returns of all pairs apart. The values are kept by slot in the
// worker's per-return memory: 16 bytes a return.
struct SlotValues {
    double* cosine;     // of the incidence angle, when the pairs are kept in memory
    float* angle;
    uint16_t* range;
    unsigned char* known;  // one bit per slot
    bool withCosine;
    std::size_t cursor = 0;

    SlotValues(CellOrderedFile& g, bool cosines) : withCosine(cosines) {
        unsigned char* base = g.perReturn.data();
        const std::size_t N = g.N;
        cosine = reinterpret_cast<double*>(base);
        angle = reinterpret_cast<float*>(base + 8 * N);
        range = reinterpret_cast<uint16_t*>(base + 12 * N);
        known = base + 14 * N;
        std::memset(known, 0, (N + 7) / 8);
    }
    void compute(const CellOrderedFile& g, uint32_t slot) {
        if (known[slot >> 3] & (1u << (slot & 7))) return;
        known[slot >> 3] |= static_cast<unsigned char>(1u << (slot & 7));
        range_and_angle(g.record(static_cast<int32_t>(slot)), g.ph12, cursor, range[slot], angle[slot]);
        if (withCosine) cosine[slot] = incidence_cosine(angle[slot]);
    }
};

// Calls fn(offset1, offset2) for every pair of the pair-index file, in its
// order. What comes back is checked before use: every offset must be the
// start of a record of the point data.
template <class Fn>
void for_each_pair(const PairJob& job, std::FILE* tmp, uint32_t nPairs, Fn fn) {
    CellOrderedFile& g = job.g;
    std::rewind(tmp);
    g.pairBlock.resize_or_fail(std::size_t{1} << 20, "\nFailed to allocate memory for pair-element index position\n");
    const std::size_t perBlock = g.pairBlock.size() / 2;
    const int64_t pointBytes = static_cast<int64_t>(g.N) * g.recordLength;
    const char* name = job.tmpName.c_str();
    uint32_t t = 0;
    while (t < nPairs) {
        const std::size_t want = (nPairs - t < perBlock) ? nPairs - t : perBlock;
        if (std::fread(g.pairBlock.data(), 2 * sizeof(int32_t), want, tmp) != want)
            fail("\nTemporary binary file %s is corrupt\n", name);
        for (std::size_t k = 0; k < 2 * want; ++k) {
            const int32_t offset = g.pairBlock[k];
            if (offset < 0 || offset >= pointBytes || offset % g.recordLength != 0)
                fail("\nTemporary binary file %s is corrupt\n", name);
        }
        for (std::size_t k = 0; k < want; ++k) fn(g.pairBlock[2 * k], g.pairBlock[2 * k + 1]);
        t += static_cast<uint32_t>(want);
    }
}

}  // namespace

void write_pair_attributes(const PairJob& job, FilePtr tmp, uint32_t nPairs) {
    CellOrderedFile& g = job.g;
    pairStruct& entry = _pairInfo[job.LASID];
    const uint32_t len = g.recordLength;
    const bool keep = keep_pairs_in_memory(job.LASID, nPairs);
    PairTerms* kept = keep ? _pairStore.files[job.LASID].data() : nullptr;

    job.out.print("  ... Computing Range for first return in a pair ...");
    SlotValues slots(g, keep);
    for_each_pair(job, tmp.get(), nPairs, [&](int32_t o1, int32_t o2) {
        slots.compute(g, static_cast<uint32_t>(o1) / len);
        slots.compute(g, static_cast<uint32_t>(o2) / len);
    });
    job.out.print("\r  ... Computing Range for second return in a pair ...");

    entry.nPairs = nPairs;
    const char* RAIName = entry.RAIName.c_str();
    FilePtr out = create_temporary_file(entry.RAIName, "wb");
    if (!out) fail("\nFailed to open binary file %s for writing\n", RAIName);
    g.raiBlock.resize_or_fail(std::size_t{1} << 16, "\nFailed to allocate memory for Range/Angle/Intensity structure\n");
    RangeAngleIntensityStruct* block = g.raiBlock.data();
    std::size_t used = 0;
    bool written = true;
    uint32_t t = 0;
    for_each_pair(job, tmp.get(), nPairs, [&](int32_t o1, int32_t o2) {
        const uint32_t s1 = static_cast<uint32_t>(o1) / len, s2 = static_cast<uint32_t>(o2) / len;
        RangeAngleIntensityStruct& rec = block[used++];
        rec.Range1 = slots.range[s1];
        rec.Angle1 = slots.angle[s1];
        rec.Intensity1 = torvane::record_intensity(g.record(static_cast<int32_t>(s1)));
        rec.Range2 = slots.range[s2];
        rec.Angle2 = slots.angle[s2];
        rec.Intensity2 = torvane::record_intensity(g.record(static_cast<int32_t>(s2)));
        if (kept != nullptr)
            kept[t] = PairTerms{slots.cosine[s1], slots.cosine[s2], rec.Range1, rec.Intensity1, rec.Range2, rec.Intensity2};
        ++t;
        if (used == g.raiBlock.size()) {
            written = written && std::fwrite(block, sizeof(RangeAngleIntensityStruct), used, out.get()) == used;
            used = 0;
        }
    });
    written = written && std::fwrite(block, sizeof(RangeAngleIntensityStruct), used, out.get()) == used;
    tmp.reset();
    remove_temporary_file(job.tmpName);
    if (std::fclose(out.release()) != 0 || !written) fail("\nFailed to write binary file %s\n", RAIName);
    job.out.print("\r%77s\r", "");
}

void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, FilePtr tmp, uint32_t nPairs) {
    write_pair_attributes(PairJob{LASID, g, standard_output(), kPairIndexFile}, std::move(tmp), nPairs);
}

}  // namespace quilvor
