// Writes the seed corpora and the fixed companion files of the fuzzing
// targets: small LAS files made by the test builders, a small simulated
// survey, trajectories and lists; for LAS_Trajectory, the LAS seeds and the
// tiles of a vegetated simulated survey.
//   fuzz_seeds <folder with a simulated survey> <output folder> [<folder with a vegetated survey>]
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "las_builder.h"

using namespace testutil;
namespace fs = std::filesystem;

namespace {

std::vector<Point> crossing_swaths() {
    // Two swaths over the same spots, 40 s apart, with the aircraft above them.
    std::vector<Point> pts;
    for (int k = 0; k < 12; ++k) {
        Point a, b;
        a.X = b.X = 100 * (k % 4);
        a.Y = b.Y = 100 * (k / 4);
        a.Z = 5, b.Z = 15;
        a.GPSTime = 10 + k, b.GPSTime = 50 + k;
        a.Intensity = static_cast<uint16_t>(100 + k), b.Intensity = static_cast<uint16_t>(80 + 2 * k);
        a.bitfield = 0x09, b.bitfield = 0x12;
        pts.push_back(a);
        pts.push_back(b);
    }
    return pts;
}

// A variable-length record of the projection: its 54-byte header, then data.
void add_projection_record(std::vector<unsigned char>& to, uint16_t id, const std::vector<unsigned char>& data) {
    std::vector<unsigned char> head(54, 0);
    const char user[] = "LASF_Projection";
    std::copy(user, user + sizeof(user) - 1, head.begin() + 2);
    torvane::store<uint16_t>(&head[18], id);
    torvane::store<uint16_t>(&head[20], static_cast<uint16_t>(data.size()));
    to.insert(to.end(), head.begin(), head.end());
    to.insert(to.end(), data.begin(), data.end());
}

// A LAS 1.2 file whose GeoTIFF keys define a transverse Mercator projection
// by its parameters (the path that hands numbers to the libraries), and one
// naming its system by an EPSG code with a vertical one.
void write_crs_seeds(const fs::path& folder, const std::vector<Point>& points) {
    const std::vector<std::pair<std::vector<uint16_t>, std::vector<double>>> sets = {
        {{1, 1, 0, 11, 1024, 0, 1, 1, 2048, 0, 1, 4326, 3072, 0, 1, 32767, 3074, 0, 1, 32767, 3075, 0, 1, 1,
          3076, 0, 1, 9001, 3080, 34736, 1, 0, 3081, 34736, 1, 1, 3082, 34736, 1, 2, 3083, 34736, 1, 3,
          3092, 34736, 1, 4},
         {-123.0, 0.0, 500000.0, 0.0, 0.9996}},
        {{1, 1, 0, 2, 3072, 0, 1, 32610, 4096, 0, 1, 5703}, {}}};
    for (std::size_t k = 0; k < sets.size(); ++k) {
        std::vector<unsigned char> keys, doubles;
        for (uint16_t v : sets[k].first) {
            keys.resize(keys.size() + 2);
            torvane::store<uint16_t>(&keys[keys.size() - 2], v);
        }
        for (double v : sets[k].second) {
            doubles.resize(doubles.size() + 8);
            torvane::store<double>(&doubles[doubles.size() - 8], v);
        }
        LasShape shape;
        shape.scale = 0.01;
        add_projection_record(shape.preamble, 34735, keys);
        if (!doubles.empty()) add_projection_record(shape.preamble, 34736, doubles);
        std::vector<unsigned char> las = make_las(shape, points);
        torvane::LASHeader h = torvane::header_from_bytes(las.data());
        h.NumberOfVariableLengthRecords = doubles.empty() ? 1 : 2;
        torvane::header_to_bytes(h, las.data());
        write_file(folder / (k == 0 ? "user_tm.las" : "epsg_vertical.las"), las);
    }
}

const char* const kTrajectory = "0 0 1000 0\n400 300 1000 40\n0 0 1100 80\n-50 10 1120 100\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seeds <simulated survey folder> <output folder> [<vegetated survey folder>]\n");
        return 2;
    }
    const fs::path sim = argv[1], out = argv[2];
    for (const char* d : {"seeds/las", "seeds/trajectory", "seeds/list", "seeds/rebuild", "work/las", "work/trajectory",
                          "work/list/sub", "work/rebuild", "work/image-las", "work/image-list/sub"})
        fs::create_directories(out / d);

    // LAS seeds: crafted versions and formats, and a simulated tile.
    LasShape s12;
    s12.scale = 0.01;
    write_file(out / "seeds/las/v12_f1.las", make_las(s12, crossing_swaths()));
    LasShape s10 = s12;
    s10.versionMinor = 0;
    s10.format = 3;
    s10.preamble = {0xDD, 0xCC};
    write_file(out / "seeds/las/v10_f3.las", make_las(s10, crossing_swaths()));
    LasShape s11 = s12;
    s11.versionMinor = 1;
    s11.preamble = std::vector<unsigned char>(54, 0);
    write_file(out / "seeds/las/v11_f1_vlr.las", make_las(s11, crossing_swaths()));
    // LAS 1.3 with a wave packet format; LAS 1.4 with 64-bit counts alone,
    // extra bytes, and waveform data and an EVLR after the records.
    LasShape s13 = s12;
    s13.versionMinor = 3;
    s13.format = 4;
    write_file(out / "seeds/las/v13_f4.las", make_las(s13, crossing_swaths()));
    LasShape s14 = s12;
    s14.versionMinor = 4;
    s14.format = 6;
    write_file(out / "seeds/las/v14_f6.las", make_las(s14, crossing_swaths()));
    s14.format = 3;
    s14.recordLength = 40;
    write_file(out / "seeds/las/v14_f3_extra.las", make_las(s14, crossing_swaths()));
    s14.format = 10;
    s14.recordLength = 0;
    s14.tail = std::vector<unsigned char>(60 + 8 + 60 + 4, 0x11);
    std::vector<unsigned char> wave = make_las(s14, crossing_swaths());
    torvane::LASHeader h = torvane::header_from_bytes(wave.data());
    h.StartOfWaveformDataPacketRecord = wave.size() - s14.tail.size();
    h.StartOfFirstExtendedVariableLengthRecord = h.StartOfWaveformDataPacketRecord + 68;
    h.NumberOfExtendedVariableLengthRecords = 1;
    torvane::header_to_bytes(h, wave.data());
    write_file(out / "seeds/las/v14_f10_wave_evlr.las", wave);
    std::string tile;
    for (const auto& e : fs::directory_iterator(sim))
        if (e.path().extension() == ".las" && (tile.empty() || e.path().string() < tile)) tile = e.path().string();
    if (!tile.empty()) fs::copy_file(tile, out / "seeds/las/simulated.las", fs::copy_options::overwrite_existing);

    // The LAS target reads input.las with this trajectory.
    write_text(out / "work/las/list.txt", "input.las\n");
    write_text(out / "work/las/traj.txt", kTrajectory);

    // Trajectory seeds, read with a fixed valid file.
    write_text(out / "seeds/trajectory/plain.txt", kTrajectory);
    write_text(out / "seeds/trajectory/heading.txt", std::string("X Y Z T\n") + kTrajectory);
    write_text(out / "seeds/trajectory/unsorted.txt", "400 300 1000 40\n0 0 1000 0\n-50 10 1120 100\n0 0 1100 80\n");
    fs::copy_file(sim / "trajectory.txt", out / "seeds/trajectory/simulated.txt", fs::copy_options::overwrite_existing);
    write_file(out / "work/trajectory/a.las", make_las(s12, crossing_swaths()));
    write_text(out / "work/trajectory/list.txt", "a.las\n");

    // List seeds, naming files of the list target's folder.
    write_file(out / "work/list/a.las", make_las(s12, crossing_swaths()));
    write_file(out / "work/list/b.las", make_las(s10, crossing_swaths()));
    write_file(out / "work/list/sub/a.las", make_las(s11, crossing_swaths()));
    write_text(out / "work/list/traj.txt", kTrajectory);
    write_text(out / "seeds/list/one.txt", "a.las\n");
    write_text(out / "seeds/list/three.txt", "a.las b.las\nsub/a.las\n");
    write_text(out / "seeds/list/twice.txt", "a.las\ta.las\n");

    // LAS_Trajectory reads input.las alone: the LAS seeds, and the tiles of
    // a survey whose lines have pulses enough to be fitted.
    for (const auto& e : fs::directory_iterator(out / "seeds/las"))
        fs::copy_file(e.path(), out / "seeds/rebuild" / e.path().filename(), fs::copy_options::overwrite_existing);
    if (argc == 4)
        for (const auto& e : fs::directory_iterator(argv[3]))
            if (e.path().extension() == ".las")
                fs::copy_file(e.path(), out / "seeds/rebuild" / ("vegetated_" + e.path().filename().string()),
                              fs::copy_options::overwrite_existing);
    write_text(out / "work/rebuild/list.txt", "input.las\n");

    // LAS_Trajectory --sbet reads the coordinate system of input.las (its
    // records), with the navigated survey's SBET beside it (run.sh).
    fs::create_directories(out / "seeds/crs");
    fs::create_directories(out / "work/crs");
    write_crs_seeds(out / "seeds/crs", crossing_swaths());
    write_text(out / "work/crs/list.txt", "input.las\n");

    // LAS_IntensityImage reads input.las (its LAS target, with the LAS seeds)
    // and the files of its list target's folder (with the list seeds).
    write_text(out / "work/image-las/list.txt", "input.las\n");
    for (const char* f : {"a.las", "b.las", "sub/a.las"})
        fs::copy_file(out / "work/list" / f, out / "work/image-list" / f, fs::copy_options::overwrite_existing);
    return 0;
}
