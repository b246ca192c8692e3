// pairDataToFile: the pairs of one LAS file of the list, from its records to its RAI file.
#include "pairs.h"
#include "temp_files.h"

namespace quilvor {

void pairDataToFile(uint16_t LASID) {
    CellOrderedFile g;
    if (!build_grid_index(LASID, g)) return;

    FilePtr tmpFile = create_temporary_file(kPairIndexFile, "w+b");
    if (!tmpFile) fail("\nCannot open temporary binary file to hold the indices of identified return pairs\n");
    std::FILE* tmp = tmpFile.get();
    std::printf("\r  ... Searching for return pairs ...\r");
    const uint32_t nPairs = search_return_pairs(g, tmp);
    std::vector<int32_t>().swap(g.cumulativeCount);
    std::vector<int32_t>().swap(g.countReturnsInCell);
    std::printf("\r  Found %u pairs                     \n", nPairs);
    if (nPairs == 0) {
        tmpFile.reset();
        remove_temporary_file(kPairIndexFile);
        std::printf("\r%77s\r", "");
        return;
    }
    if (std::fflush(tmp) != 0) fail("\nFailed to write to temporary binary file ~tmp_rpi\n");
    // The decoded coordinates are not needed any more.
    std::vector<double>().swap(g.x);
    std::vector<double>().swap(g.y);
    std::vector<double>().swap(g.z);
    std::vector<double>().swap(g.t);
    write_pair_attributes(LASID, g, std::move(tmpFile), nPairs);
}

}  // namespace quilvor
