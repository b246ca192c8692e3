// Range, incidence angle and intensity of both returns of every pair, and the RAI file.
#include "pairs.h"
#include "trajectory.h"

namespace quilvor {

using torvane::load;

namespace {

// Reads role (0: offset1, 1: offset2) of every pair record of ~tmp_rpi into vec,
// and the GPS time of that return into GPSvec.
void read_role(std::FILE* tmp, uint32_t nPairs, int role, const unsigned char* pLAS, std::vector<int32_t>& vec,
               std::vector<double>& GPSvec) {
    std::rewind(tmp);
    constexpr uint32_t perBlock = 1u << 19;
    std::vector<int32_t> block(2 * static_cast<std::size_t>(perBlock));
    uint32_t t = 0;
    while (t < nPairs) {
        const uint32_t want = (nPairs - t < perBlock) ? nPairs - t : perBlock;
        if (std::fread(block.data(), 2 * sizeof(int32_t), want, tmp) != want)
            fail("\nFailed to read from temporary binary file ~tmp_rpi\n");
        for (uint32_t k = 0; k < want; ++k, ++t) {
            const int32_t offset = block[2 * static_cast<std::size_t>(k) + role];
            vec[t] = offset;
            GPSvec[t] = load<double>(pLAS + offset + torvane::withinRecordOffsetToGPSTime);
        }
    }
}

}  // namespace

void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, std::FILE* tmp, uint32_t nPairs) {
    std::vector<RangeAngleIntensityStruct> RAI;
    allocate_or_fail(RAI, nPairs, "\nFailed to allocate memory for Range/Angle/Intensity structure\n");
    std::printf("  ... Computing Range for first return in a pair ...");

    std::vector<double> GPSvec;
    std::vector<int32_t> ID, vec, indexVec;
    allocate_or_fail(GPSvec, nPairs, "\nFailed to allocate memory for vector of GPS time in the first return in a pair\n");
    allocate_or_fail(ID, nPairs, "\nFailed to allocate memory for index vector of first returns in a pair\n");
    allocate_or_fail(vec, nPairs, "\nFailed to allocate memory for pair-element index position\n");
    allocate_or_fail(indexVec, nPairs, "\nFailed to allocate memory for the index vector of first return in a pair\n");
    allocate_or_fail(_rangeVec, nPairs, "\nFailed to allocate memory for range vector of first return in a pair\n");
    allocate_or_fail(_angleVec, nPairs,
                     "\nFailed to allocate memory for incidence angle vector of first return in a pair\n");
    const unsigned char* pLAS = g.pLAS.get();

    for (int role = 0; role < 2; ++role) {
        if (role == 1) std::printf("\r  ... Computing Range for second return in a pair ...");
        read_role(tmp, nPairs, role, pLAS, vec, GPSvec);
        if (role == 1) {
            std::fclose(tmp);
            std::remove("~tmp_rpi");
        }
        for (uint32_t t = 0; t < nPairs; ++t) ID[t] = static_cast<int32_t>(t);
        torvane::d_quicksort(GPSvec.data(), static_cast<int32_t>(nPairs), ID.data());
        for (uint32_t t = 0; t < nPairs; ++t) indexVec[t] = vec[static_cast<uint32_t>(ID[t])];

        _GPSTimeMin = load<double>(pLAS + indexVec[0] + torvane::withinRecordOffsetToGPSTime);
        _GPSTimeMax = load<double>(pLAS + indexVec[nPairs - 1] + torvane::withinRecordOffsetToGPSTime);
        calc_RangeAndAngle(pLAS, &g.ph12, indexVec.data(), nPairs);

        for (uint32_t t = 0; t < nPairs; ++t) {
            RangeAngleIntensityStruct& rec = RAI[static_cast<uint32_t>(ID[t])];
            const uint16_t intensity = load<uint16_t>(pLAS + indexVec[t] + torvane::withinRecordOffsetToIntensity);
            if (role == 0) {
                rec.Range1 = _rangeVec[t];
                rec.Angle1 = _angleVec[t];
                rec.Intensity1 = intensity;
            } else {
                rec.Range2 = _rangeVec[t];
                rec.Angle2 = _angleVec[t];
                rec.Intensity2 = intensity;
            }
        }
    }

    _pairInfo[LASID].nPairs = nPairs;
    const char* RAIName = _pairInfo[LASID].RAIName.c_str();
    std::FILE* out = std::fopen(RAIName, "wb");
    if (out == nullptr) fail("\nFailed to open binary file %s for writing\n", RAIName);
    const bool written = std::fwrite(RAI.data(), sizeof(RangeAngleIntensityStruct), nPairs, out) == nPairs;
    if (std::fclose(out) != 0 || !written) fail("\nFailed to write binary file %s\n", RAIName);

    std::vector<uint16_t>().swap(_rangeVec);
    std::vector<float>().swap(_angleVec);
    std::printf("\r%77s\r", "");
}

void pairDataToFile(uint16_t LASID) {
    CellOrderedFile g;
    if (!build_grid_index(LASID, g)) return;

    std::FILE* tmp = std::fopen("~tmp_rpi", "w+b");
    if (tmp == nullptr) fail("\nCannot open temporary binary file to hold the indices of identified return pairs\n");
    std::printf("\r  ... Searching for return pairs ...\r");
    const uint32_t nPairs = search_return_pairs(g, tmp);
    std::vector<int32_t>().swap(g.cumulativeCount);
    std::vector<int32_t>().swap(g.countReturnsInCell);
    std::printf("\r  Found %u pairs                     \n", nPairs);
    if (nPairs == 0) {
        std::fclose(tmp);
        std::remove("~tmp_rpi");
        std::printf("\r%77s\r", "");
        return;
    }
    if (std::fflush(tmp) != 0) fail("\nFailed to write to temporary binary file ~tmp_rpi\n");
    // The decoded coordinates are not needed any more.
    std::vector<double>().swap(g.x);
    std::vector<double>().swap(g.y);
    std::vector<double>().swap(g.z);
    std::vector<double>().swap(g.t);
    write_pair_attributes(LASID, g, tmp, nPairs);
}

}  // namespace quilvor
