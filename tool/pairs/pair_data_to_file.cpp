// pairDataToFile: the pairs of one LAS file of the list, from its records to its RAI file.
#include <errno.h>

#include "pairs.h"
#include "temp_files.h"

namespace quilvor {

void pair_data_to_file(const PairJob& job) {
    if (!build_grid_index(job)) return;

    FilePtr tmp = create_temporary_file(job.tmpName, "w+b");
    if (!tmp)
        fail_because(errno, job.tmpName,
                     "\nCannot open temporary binary file to hold the indices of identified return pairs\n");
    job.out.print("\r  ... Searching for return pairs ...\r");
    const uint32_t nPairs = search_return_pairs(job, tmp.get());
    job.out.print("\r  Found %u pairs                     \n", nPairs);
    if (nPairs == 0) {
        tmp.reset();
        remove_temporary_file(job.tmpName);
        job.out.print("\r%77s\r", "");
        return;
    }
    if (std::fflush(tmp.get()) != 0)
        fail_because(errno, job.tmpName, "\nFailed to write to temporary binary file %s\n", job.tmpName.c_str());
    write_pair_attributes(job, std::move(tmp), nPairs);
}

void pairDataToFiles() {
    CellOrderedFile memory;  // one file's memory, kept from one file to the next
    for (uint16_t i = 0; i < _fileCount; ++i) pair_data_to_file(PairJob{i, memory, standard_output(), kPairIndexFile});
}

void pairDataToFile(uint16_t LASID) {
    static CellOrderedFile memory;  // kept from one file to the next
    pair_data_to_file(PairJob{LASID, memory, standard_output(), kPairIndexFile});
}

}  // namespace quilvor
