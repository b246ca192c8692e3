// LAS_Quilvor: estimates the range normalization exponent of return
// intensities from pairs of returns of overlapping swaths, and writes an
// intensity-normalized copy of every LAS file.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "certainty.h"
#include "driver.h"
#include "exponent.h"
#include "normalize.h"
#include "pair_store.h"
#include "pairs.h"
#include "temp_files.h"
#include "trajectory.h"

using namespace quilvor;

namespace {

int run(int argc, char** argv) {
    if (torvane::asks_for_help(argc, argv)) {
        help();
        return report_status("LAS_Quilvor");
    }
    install_interrupt_cleanup();
    const std::string refused = argc == 1 ? "" : take_extra_outputs(argc, argv);
    findOptionalArgs(argc, argv);
    if (argc == 1) {
        torvane::credits();
        usage();
        std::exit(-1);
    }
    if (!refused.empty() || argc != _optionalArgs + 7) {
        torvane::credits();
        std::printf("\nMissing or excessive number of arguments\n\n");
        usage();
        if (!refused.empty()) std::fprintf(stderr, "LAS_Quilvor: %s\n", refused.c_str());
        std::exit(-1);
    }
    torvane::credits();
    const std::clock_t start = std::clock();

    for (int k = 3; k <= 6; ++k) torvane::check_numeric_argument(argv[k]);
    checkArgs(argv);
    read_run_settings();

    {
        const std::vector<std::string> names = read_list(argv[1]);
        _fileCount = static_cast<uint16_t>(names.size());
        init_pairInfo(names);
        check_las_4_GPSTime();
    }
    if (_skipNormalizationFlag == -1) check_outputs_against_inputs();
    check_extra_outputs(argv);

    load_reference_data(argv[2]);

    lock_working_directory();
    reset_pair_store(_pairRecordBudget, _fileCount);
    prepare_certainty();
    pairDataToFiles();
    cmpMeanRange();
    cmpPreNormIntensityVar();
    calcRangeFactor(0.01, 2.0, 4.0);
    assess_certainty();
    delete_tmp_RAI_files();
    pairReport();
    print_strip_gains_line();
    write_json_report(argc, argv);
    print_warnings();
    draw_plots();
    if (_skipNormalizationFlag == -1) normalizeIntensity();
    std::vector<pairStruct>().swap(_pairInfo);

    const std::clock_t end = std::clock();
    const double ticks = static_cast<double>(end - start);
    std::printf("\nElapsed CPU time %.3f seconds\n", ticks * 1000.0 / CLOCKS_PER_SEC / 1000.0);
    return report_status("LAS_Quilvor");
}

}  // namespace

int main(int argc, char** argv) { return run_program(argc, argv, run); }
