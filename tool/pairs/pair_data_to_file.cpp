// pairDataToFile: the pairs of one LAS file of the list, from its records to its RAI file.
#include <algorithm>

#include "file_stage.h"
#include "pairs.h"
#include "temp_files.h"

namespace quilvor {

namespace {

// A file abandoned because an earlier one failed leaves nothing behind.
void stop_if_abandoned(const PairJob& job, FilePtr* tmp = nullptr) {
    if (!job.out.abandoned()) return;
    if (tmp != nullptr) {
        tmp->reset();
        remove_temporary_file(job.tmpName);
    }
    throw Failure("");
}

std::string pair_index_file(unsigned worker) {
    return _threads == 1 ? kPairIndexFile : kPairIndexFile + "." + std::to_string(worker + 1);
}

}  // namespace

void pair_data_to_file(const PairJob& job) {
    if (!build_grid_index(job)) return;
    stop_if_abandoned(job);

    FilePtr tmp = create_temporary_file(job.tmpName, "w+b");
    if (!tmp) fail("\nCannot open temporary binary file to hold the indices of identified return pairs\n");
    job.out.print("\r  ... Searching for return pairs ...\r");
    const uint32_t nPairs = search_return_pairs(job, tmp.get());
    job.out.print("\r  Found %u pairs                     \n", nPairs);
    if (nPairs == 0) {
        tmp.reset();
        remove_temporary_file(job.tmpName);
        job.out.print("\r%77s\r", "");
        return;
    }
    if (std::fflush(tmp.get()) != 0) fail("\nFailed to write to temporary binary file %s\n", job.tmpName.c_str());
    stop_if_abandoned(job, &tmp);
    write_pair_attributes(job, std::move(tmp), nPairs);
}

void pairDataToFiles() {
    std::vector<CellOrderedFile> memory(std::max(1u, _threads));
    FileStage stage;
    stage.threads = _threads;
    stage.work = [&memory](uint16_t i, Console& out, unsigned worker) -> std::function<void()> {
        pair_data_to_file(PairJob{i, memory[worker], out, pair_index_file(worker)});
        return nullptr;
    };
    // A name listed twice shares its RAI file: the later entry waits for the earlier.
    stage.waitFor = [](uint16_t i) {
        for (int j = i - 1; j >= 0; --j)
            if (_pairInfo[j].RAIName == _pairInfo[i].RAIName) return j;
        return -1;
    };
    stage.discard = [](uint16_t i, uint16_t failed) {
        for (uint16_t j = 0; j <= failed; ++j)
            if (_pairInfo[j].RAIName == _pairInfo[i].RAIName) return;  // kept as one thread keeps it
        remove_temporary_file(_pairInfo[i].RAIName);
    };
    try {
        run_file_stage(stage);
    } catch (const Failure&) {
        if (_threads > 1)
            for (unsigned w = 0; w < _threads; ++w) remove_temporary_file(pair_index_file(w));
        throw;
    }
}

void pairDataToFile(uint16_t LASID) {
    static CellOrderedFile memory;  // kept from one file to the next
    pair_data_to_file(PairJob{LASID, memory, standard_output(), kPairIndexFile});
}

}  // namespace quilvor
