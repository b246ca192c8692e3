// LAS_Trajectory: rebuilds the aircraft trajectory of a survey from the beams
// of its multi-return pulses and writes it as the X Y Z T text LAS_Quilvor reads.
#include <sys/stat.h>

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

// The listed files, checked as LAS_Quilvor checks them; then, before any
// work, the output: none of the inputs, and a place where it can be written.
quilvor::Survey listed_files(const TrajectoryOptions& o) {
    const std::vector<std::string> names = quilvor::read_list(o.listFile.c_str());
    quilvor::Survey survey = quilvor::open_survey(names);
    std::vector<std::string> inputs = names;
    inputs.push_back(o.listFile);
    if (!o.sbet.empty()) inputs.push_back(o.sbet);
    struct stat st;
    if (!o.crs.empty() && ::stat(o.crs.c_str(), &st) == 0) inputs.push_back(o.crs);  // a file holding the definition
    quilvor::check_outputs_apart(inputs, {{o.output, "trajectory", 0}});
    quilvor::check_output_place(o.output, "\nFailed to open file %s for writing\n");
    return survey;
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
    const PathError e = rms_error(l, l.start, l.end);
    std::printf("  Path error:    %.3f horizontal, %.3f vertical (estimated RMS, %s)\n", e.horizontal, e.vertical,
                unit.c_str());
    for (const TimeSpan& b : l.bridged) {
        std::printf("  Bridged:       %.3f to %.3f (%.1f s without multi-return pulses)\n", b.first, b.last,
                    b.last - b.first);
        const PathError eb = rms_error(l, b.first, b.last);
        std::printf("                 path error there %.3f horizontal, %.3f vertical\n", eb.horizontal, eb.vertical);
    }
}

// The first line, or bridged stretch of a line, whose estimated error exceeds
// --max-error: refused, unless accepted with --accept-inaccurate. Without
// --max-error the limit is kDefaultMaxError metres, in feet where the files'
// coordinates are.
void check_path_error(const SurveyPath& path, const TrajectoryOptions& o, const std::string& unit) {
    double maxError = o.maxError;
    if (!o.maxErrorGiven && (unit == "ft" || unit == "US ft"))
        maxError = kDefaultMaxError / (unit == "ft" ? 0.3048 : 1200.0 / 3937.0);
    auto worse = [maxError](const PathError& e) { return !(e.horizontal <= maxError && e.vertical <= maxError); };
    std::size_t count = 0;
    char first[400] = "";
    for (std::size_t i = 0; i < path.lines.size(); ++i) {
        const LinePath& l = path.lines[i];
        for (const TimeSpan& b : l.bridged) {
            const PathError eb = rms_error(l, b.first, b.last);
            if (worse(eb) && count++ == 0)
                std::snprintf(first, sizeof(first), "Flight line %zu, bridged from GPS time %.3f to %.3f (%.1f s "
                              "without multi-return pulses): the rebuilt path's estimated error there is %.3f "
                              "horizontal, %.3f vertical (RMS, %s)",
                              i + 1, b.first, b.last, b.last - b.first, eb.horizontal, eb.vertical, unit.c_str());
        }
        const PathError e = rms_error(l, l.start, l.end);
        if (worse(e) && count++ == 0)
            std::snprintf(first, sizeof(first), "Flight line %zu (GPS time %.3f to %.3f): its rebuilt path's "
                          "estimated error is %.3f horizontal, %.3f vertical (RMS, %s)",
                          i + 1, l.start, l.end, e.horizontal, e.vertical, unit.c_str());
    }
    if (count == 0) return;
    if (o.acceptInaccurate) {
        std::printf("\nAccepted with --accept-inaccurate: %zu estimated errors of lines or bridged stretches above "
                    "--max-error %g\n", count, maxError);
        return;
    }
    std::fprintf(stderr,
                 "LAS_Trajectory: where a line has few multi-return pulses, or none over a long stretch (open "
                 "ground, water, thinned data), the beams hold the path too loosely and it may lie far from the "
                 "aircraft, which biases the range exponent. Use the survey's own trajectory, or leave those "
                 "files out of the list; or take the path as it is with --accept-inaccurate (or a larger "
                 "--max-error).\n");
    quilvor::fail("\n%s, more than --max-error %g%s\n", first, maxError,
                  count > 1 ? " (and more: see above)" : "");
}

// The --sbet source: the navigation solution in the files' coordinates and time.
int convert_navigation(quilvor::Survey& survey, const TrajectoryOptions& o) {
    navigation::SbetOptions so;
    so.sbet = o.sbet;
    so.crs = o.crs;
    so.gpsWeek = o.gpsWeek;
    so.step = o.stepGiven ? o.step : 0.0;
    const std::vector<quilvor::refDataStruct> samples = navigation::trajectory_from_sbet(survey, so);
    write_samples(o.output, samples, "SBET file " + o.sbet);
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
    check_path_error(path, o, unit);

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
