// LAS_Trajectory: rebuilds the aircraft trajectory of a survey from the beams
// of its multi-return pulses and writes it as the X Y Z T text LAS_Quilvor reads.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "las_input.h"
#include "las_trajectory.h"
#include "parallel.h"
#include "sbet_source.h"
#include "temp_files.h"

using namespace las_trajectory;

namespace {

TrajectoryOptions options(int argc, char** argv) {
    if (argc == 1) {
        trajectory_usage();
        std::exit(-1);
    }
    try {
        return parse_trajectory_arguments(argc, argv);
    } catch (const quilvor::Failure& f) {
        if (!f.message.empty()) throw;
        std::printf("\nMissing or excessive number of arguments\n\n");
        trajectory_usage();
        std::exit(-1);
    }
}

// The listed files, checked as LAS_Quilvor checks them.
quilvor::Survey listed_files(const TrajectoryOptions& o) {
    return quilvor::open_survey(quilvor::read_list(o.listFile.c_str()));
}

void refuse_thin_lines(const std::vector<FlightLine>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const FlightLine& l = lines[i];
        const std::size_t needed = pulses_needed(l.span.last - l.span.first);
        if (l.pulses >= needed) continue;
        std::fprintf(stderr,
                     "LAS_Trajectory: the path is rebuilt from the beams of pulses with two or more returns "
                     "(vegetation, edges); a line over open ground or water has too few. Use the survey's own "
                     "trajectory, or leave that line's files out of the list.\n");
        quilvor::fail("\nFlight line %zu (GPS time %.6f to %.6f) cannot be rebuilt: it has %zu multi-return pulses "
                      "and needs at least %zu\n", i + 1, l.span.first, l.span.last, l.pulses, needed);
    }
}

// Fits every line's path, the lines shared out over the run's threads.
SurveyPath fit_lines(const std::vector<FlightLine>& lines, const std::vector<Pulse>& pulses) {
    SurveyPath path;
    path.lines.resize(lines.size());
    std::vector<char> fitted(lines.size(), 0);
    std::atomic<std::size_t> next{0};
    const unsigned threads = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(quilvor::_threads, lines.size())));
    quilvor::run_parts(threads, [&](unsigned) {
        for (std::size_t i; (i = next.fetch_add(1)) < lines.size();)
            fitted[i] = fit_line_path(lines[i], pulses.data() + lines[i].firstPulse, path.lines[i]);
    });
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!fitted[i])
            quilvor::fail("\nFlight line %zu (GPS time %.6f to %.6f) cannot be rebuilt: the beams of its %zu "
                          "multi-return pulses do not fix the path\n", i + 1, lines[i].span.first,
                          lines[i].span.last, lines[i].pulses);
    join_lines(path);
    return path;
}

void print_line(std::size_t i, const LinePath& l, const std::string& unit) {
    std::printf("\nFlight line %zu: GPS time %.3f to %.3f (%.1f s)\n", i + 1, l.start, l.end, l.end - l.start);
    std::printf("  Pulses used:   %zu (%zu left out, off their beams)\n", l.used, l.rejected);
    std::printf("  Beam distance: %.3f %s RMS\n", l.rms, unit.c_str());
    for (const TimeSpan& b : l.bridged)
        std::printf("  Bridged:       %.3f to %.3f (%.1f s without multi-return pulses)\n", b.first, b.last,
                    b.last - b.first);
}

// The --sbet source: the navigation solution in the files' coordinates and time.
int convert_navigation(quilvor::Survey& survey, const TrajectoryOptions& o) {
    navigation::SbetOptions so;
    so.sbet = o.sbet;
    so.crs = o.crs;
    so.gpsWeek = o.gpsWeek;
    so.step = o.stepGiven ? o.step : 0.0;
    const std::vector<quilvor::refDataStruct> samples = navigation::trajectory_from_sbet(survey, so);
    write_samples(o.output, samples);
    char every[48];
    if (o.stepGiven) std::snprintf(every, sizeof(every), "one every %g s", o.step);
    std::printf("\nWritten: %s (%zu samples, %s, GPS time %.6f to %.6f)\n", o.output.c_str(), samples.size(),
                o.stepGiven ? every : "every record", samples.front().T, samples.back().T);
    return quilvor::report_status("LAS_Trajectory");
}

int run(int argc, char** argv) {
    quilvor::_programName = "LAS_Trajectory";
    if (torvane::asks_for_help(argc, argv)) {
        trajectory_usage();
        return quilvor::report_status("LAS_Trajectory");
    }
    quilvor::install_interrupt_cleanup();
    torvane::credits();
    const TrajectoryOptions o = options(argc, argv);
    quilvor::read_run_settings();
    quilvor::Survey survey = listed_files(o);
    if (!o.sbet.empty()) return convert_navigation(survey, o);

    SurveyScan scan;
    scan_survey(survey, scan, true);
    PulseCount count;
    const std::vector<Pulse> pulses = assemble_pulses(scan.pieces, count);
    std::vector<ReturnPiece>().swap(scan.pieces);
    std::printf("\nListed files:        %u (%llu returns, GPS time %.3f to %.3f)\n",
                static_cast<unsigned>(survey.size()),
                static_cast<unsigned long long>(scan.returns), scan.all.first, scan.all.last);
    std::printf("Multi-return pulses: %zu (%llu of them across two files)\n", pulses.size(),
                static_cast<unsigned long long>(count.split));
    if (count.ambiguous > 0)
        std::printf("                     %llu GPS times shared by several pulses of one source left out\n",
                    static_cast<unsigned long long>(count.ambiguous));
    if (scan.all.empty) quilvor::fail("\nThe listed files hold no returns: there is no trajectory to rebuild\n");
    const std::vector<FlightLine> lines = split_flight_lines(scan.seconds, pulses);
    refuse_thin_lines(lines);
    const SurveyPath path = fit_lines(lines, pulses);
    // Distances are in the files' coordinate units.
    const std::string unit = navigation::files_distance_unit(survey);
    for (std::size_t i = 0; i < path.lines.size(); ++i) print_line(i, path.lines[i], unit);

    const double first = first_sample(scan.all.first - kMargin, o.step), last = last_sample(scan.all.last + kMargin, o.step);
    check_coverage(scan, first, last);
    check_sample_count(first, last, o.step);
    const uint64_t samples =
        write_trajectory(o.output, o.step, first, last, [&path](double t) { return survey_position(path, t); });
    std::printf("\nWritten: %s (%llu samples every %g s, GPS time %.3f to %.3f)\n", o.output.c_str(),
                static_cast<unsigned long long>(samples), o.step, first, last);
    return quilvor::report_status("LAS_Trajectory");
}

}  // namespace

int main(int argc, char** argv) { return quilvor::run_program(argc, argv, run); }
