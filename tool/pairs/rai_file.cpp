// Range, incidence angle and intensity of both returns of every pair, and the RAI file.
#include "pairs.h"
#include "temp_files.h"
#include "trajectory.h"

namespace quilvor {

using torvane::load;

namespace {

// Reads the nPairs records of ~tmp_rpi: offset1 and offset2 of every pair.
// What comes back is checked before use: every offset must be the start of a
// record of the point data.
void read_pair_offsets(std::FILE* tmp, uint32_t nPairs, const CellOrderedFile& g, std::vector<int32_t>& offsets) {
    std::rewind(tmp);
    constexpr uint32_t perBlock = 1u << 19;
    uint32_t t = 0;
    while (t < nPairs) {
        const uint32_t want = (nPairs - t < perBlock) ? nPairs - t : perBlock;
        if (std::fread(offsets.data() + 2 * static_cast<std::size_t>(t), 2 * sizeof(int32_t), want, tmp) != want)
            fail("\nTemporary binary file %s is corrupt\n", kPairIndexFile.c_str());
        t += want;
    }
    const int64_t pointBytes = static_cast<int64_t>(g.N) * g.recordLength;
    for (const int32_t offset : offsets)
        if (offset < 0 || offset >= pointBytes || offset % g.recordLength != 0)
            fail("\nTemporary binary file %s is corrupt\n", kPairIndexFile.c_str());
}

}  // namespace

// A return's range and angle depend only on its own record and the
// trajectory, so every paired return is computed once, in GPS-time order,
// however many pairs it belongs to and in whichever role: the records are the
// same as computing the first and the second returns of all pairs apart.
void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, FilePtr tmp, uint32_t nPairs) {
    std::vector<RangeAngleIntensityStruct> RAI;
    allocate_or_fail(RAI, nPairs, "\nFailed to allocate memory for Range/Angle/Intensity structure\n");
    std::printf("  ... Computing Range for first return in a pair ...");

    std::vector<int32_t> offsets;
    allocate_or_fail(offsets, 2 * static_cast<std::size_t>(nPairs),
                     "\nFailed to allocate memory for pair-element index position\n");
    read_pair_offsets(tmp.get(), nPairs, g, offsets);
    const unsigned char* pLAS = g.pLAS.get();
    const uint32_t len = g.recordLength;

    // The paired returns, in slot order, and their GPS times.
    std::vector<uint8_t> paired;
    allocate_or_fail(paired, g.N, "\nFailed to allocate memory for pair-element index position\n");
    for (int32_t offset : offsets) paired[static_cast<uint32_t>(offset) / len] = 1;
    uint32_t count = 0;
    for (uint32_t s = 0; s < g.N; ++s) count += paired[s];
    std::vector<double> GPSvec;
    std::vector<int32_t> indexVec;
    allocate_or_fail(GPSvec, count, "\nFailed to allocate memory for vector of GPS time in the first return in a pair\n");
    allocate_or_fail(indexVec, count, "\nFailed to allocate memory for the index vector of first return in a pair\n");
    for (uint32_t s = 0, k = 0; s < g.N; ++s) {
        if (!paired[s]) continue;
        indexVec[k] = static_cast<int32_t>(s * len);
        GPSvec[k] = load<double>(pLAS + static_cast<std::size_t>(s) * len + torvane::withinRecordOffsetToGPSTime);
        ++k;
    }
    std::vector<uint8_t>().swap(paired);
    torvane::d_quicksort(GPSvec.data(), static_cast<int32_t>(count), indexVec.data());
    std::vector<double>().swap(GPSvec);

    allocate_or_fail(_rangeVec, count, "\nFailed to allocate memory for range vector of first return in a pair\n");
    allocate_or_fail(_angleVec, count,
                     "\nFailed to allocate memory for incidence angle vector of first return in a pair\n");
    _GPSTimeMin = load<double>(pLAS + indexVec[0] + torvane::withinRecordOffsetToGPSTime);
    _GPSTimeMax = load<double>(pLAS + indexVec[count - 1] + torvane::withinRecordOffsetToGPSTime);
    calc_RangeAndAngle(pLAS, &g.ph12, indexVec.data(), count);

    // Range and angle by slot.
    std::vector<uint16_t> slotRange;
    std::vector<float> slotAngle;
    allocate_or_fail(slotRange, g.N, "\nFailed to allocate memory for range vector of first return in a pair\n");
    allocate_or_fail(slotAngle, g.N,
                     "\nFailed to allocate memory for incidence angle vector of first return in a pair\n");
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t s = static_cast<uint32_t>(indexVec[k]) / len;
        slotRange[s] = _rangeVec[k];
        slotAngle[s] = _angleVec[k];
    }
    std::vector<uint16_t>().swap(_rangeVec);
    std::vector<float>().swap(_angleVec);

    std::printf("\r  ... Computing Range for second return in a pair ...");
    tmp.reset();
    remove_temporary_file(kPairIndexFile);

    for (uint32_t t = 0; t < nPairs; ++t) {
        RangeAngleIntensityStruct& rec = RAI[t];
        const int32_t o1 = offsets[2 * static_cast<std::size_t>(t)], o2 = offsets[2 * static_cast<std::size_t>(t) + 1];
        const uint32_t s1 = static_cast<uint32_t>(o1) / len, s2 = static_cast<uint32_t>(o2) / len;
        rec.Range1 = slotRange[s1];
        rec.Angle1 = slotAngle[s1];
        rec.Intensity1 = load<uint16_t>(pLAS + o1 + torvane::withinRecordOffsetToIntensity);
        rec.Range2 = slotRange[s2];
        rec.Angle2 = slotAngle[s2];
        rec.Intensity2 = load<uint16_t>(pLAS + o2 + torvane::withinRecordOffsetToIntensity);
    }

    _pairInfo[LASID].nPairs = nPairs;
    const char* RAIName = _pairInfo[LASID].RAIName.c_str();
    FilePtr out = create_temporary_file(RAIName, "wb");
    if (!out) fail("\nFailed to open binary file %s for writing\n", RAIName);
    const bool written = std::fwrite(RAI.data(), sizeof(RangeAngleIntensityStruct), nPairs, out.get()) == nPairs;
    if (std::fclose(out.release()) != 0 || !written) fail("\nFailed to write binary file %s\n", RAIName);
    std::printf("\r%77s\r", "");
}

}  // namespace quilvor
