// LAS_IntensityImage: an intensity image of a survey, to see what a
// normalization did (before and after, on one grey scale).
#include <cstdio>
#include <cstdlib>

#include "las_input.h"
#include "intensity_image.h"
#include "temp_files.h"

using namespace intensity_image;

namespace {

int run(int argc, char** argv) {
    quilvor::_programName = "LAS_IntensityImage";
    if (torvane::asks_for_help(argc, argv)) {
        image_usage();
        return quilvor::report_status("LAS_IntensityImage");
    }
    quilvor::install_interrupt_cleanup();
    torvane::credits();
    if (argc == 1) {
        image_usage();
        std::exit(-1);
    }
    ImageOptions o;
    try {
        o = parse_image_arguments(argc, argv);
    } catch (const quilvor::Failure& f) {
        if (!f.message.empty()) throw;
        std::printf("\nMissing or excessive number of arguments\n\n");
        image_usage();
        std::exit(-1);
    }

    const std::vector<std::string> names = quilvor::read_list(o.listFile.c_str());
    quilvor::Survey survey = quilvor::open_survey(names);
    std::vector<std::string> inputs = names;
    inputs.push_back(o.listFile);
    quilvor::check_outputs_apart(inputs, {{o.output, "image", 0}, {world_file_name(o.output), "world file", 1}});

    IntensityGrid grid;
    shape_grid(grid, o, survey);
    add_files(grid, o.firstOnly, survey);
    if (grid.used == 0) quilvor::fail("\nNo return of the listed files lies in the grid: nothing to draw\n");
    double lo = o.lo, hi = o.hi;
    if (!o.fixedRange) percentile_range(grid, lo, hi);
    write_image(grid, lo, hi, o.output);

    std::printf("\nGrid:        %u x %u cells of %s\n", grid.ncols, grid.nrows, o.cellSizeText.c_str());
    std::printf("Returns:     %llu%s\n", static_cast<unsigned long long>(grid.used), o.firstOnly ? " (first returns)" : "");
    std::printf("Grey scale:  %.3f to %.3f%s\n", lo, hi,
                o.fixedRange ? " (given)" : " (2nd to 98th percentile of the cell means)");
    std::printf("Written:     %s, %s\n", o.output.c_str(), world_file_name(o.output).c_str());
    return quilvor::report_status("LAS_IntensityImage");
}

}  // namespace

int main(int argc, char** argv) { return quilvor::run_program(argc, argv, run); }
