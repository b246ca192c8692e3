// LAS_SimSurvey: a synthetic airborne survey whose intensities follow a
// chosen range exponent, written as tiles of LAS files, the trajectory file
// and the list file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simsurvey {

struct Options {
    uint64_t seed = 1;
    int lines = 3;               // parallel flight lines, flown west-east, then east-west, ...
    double length = 500.0;       // length of each line over the area, metres
    double altitude = 300.0;     // height above the mean terrain, metres
    double scanAngle = 20.0;     // half-angle of the across-track scanner, degrees
    double overlap = 0.4;        // fraction of a swath shared with the next one
    double density = 2.0;        // returns of the ground per square metre
    double exponent = 2.0;       // the true range exponent
    double noise = 0.02;         // relative sigma of the gaussian intensity noise
    double tile = 250.0;         // tile edge, metres
    double speed = 60.0;         // aircraft speed, m/s
    double turn = 60.0;          // time of each turn between lines, seconds
    double vegetation = 0.1;     // share of pulses with a canopy return above the ground return
    int maxReturns = 2;          // 2, or 3: half the canopy pulses return from inside the canopy too
    double roll = 0.0;           // amplitude of the aircraft's gentle roll, degrees (0: level flight)
    double heightStep = 0.04;    // lines flown at heights this fraction apart (low, nominal, high, low, ...)
    double stripGain = 0.0;      // each line's intensities scaled by a gain drawn from [1 - G, 1 + G]
    double stripReflectance = 0.0;    // each line sees the reflectance times 1 + A x a smooth field of its own (spread 1)
    double reflectanceLength = 500.0; // the field's waves are 0.5 to 1.5 times this long, metres
    double openGround = 0.0;     // metres of open ground (no canopy) in the middle of every line
    double positionNoise = 0.0;  // sigma of the gaussian error of each return's X, Y and Z, metres
    int versionMinor = 2;        // LAS 1.0, 1.1 or 1.2
    int format = 1;              // point data format 1 or 3
    double scale = 0.01;         // coordinate scale factor (all three axes)
    double offsetX = 500000.0, offsetY = 4000000.0, offsetZ = 0.0;
    double timeBase = 345600.0;  // GPS time of the survey's start
    bool adjustedTime = false;   // the times are adjusted standard GPS time (--time-base adjusted)
    // --sbet FILE: the true trajectory also as an SBET file (in the folder of
    // the survey), and every LAS file naming its coordinate system (UTM zone 10 north).
    std::string sbet;
    bool laz = false;            // --laz: the tiles compressed (LAZ), named .laz
    std::string outDir = ".";
};

// One simulated return, before it is written.
struct Return {
    double x, y, z;   // real coordinates
    double t;         // GPS time
    double range;     // true range from the aircraft
    double angle;     // true incidence angle from the vertical, degrees
    uint16_t intensity;
    uint8_t returnNumber, numberOfReturns;
    uint16_t line;
};

struct Summary {
    std::vector<std::string> files;
    uint64_t returns = 0;
    double maxPairDistance = 0, radius = 0, minTime = 0, maxTime = 0;
};

// Derived geometry of the survey.
double swath_width(const Options& o);
double line_spacing(const Options& o);
double line_y(const Options& o, int line);        // across-track position of a line
double line_height(const Options& o, int line);   // flying height (Z) of a line
double strip_gain(const Options& o, int line);    // the gain of a line's intensities (1 without --strip-gain)
// The factor of the reflectance that line sees at (x, y): 1 without --strip-reflectance.
double strip_reflectance(const Options& o, int line, double x, double y);
double line_start_time(const Options& o, int line);
double trajectory_end(const Options& o);  // the last time of trajectory.txt
double line_duration(const Options& o);
double terrain(double x, double y);
double reflectance(double x, double y);
// Aircraft position at GPS time t on a line: straight, or with a roll, the
// sideways drift and the heave that go with it.
void aircraft_on_line(const Options& o, int line, double t, double& x, double& y, double& z);
// Aircraft position at any time of the flight, turns included.
void aircraft_position(const Options& o, double t, double& x, double& y, double& z);
// The aircraft's roll at GPS time t, radians (0 without --roll).
double roll_angle(const Options& o, double t);

// Every return whose ground position lies in [x0, x1) x [y0, y1), in GPS-time order.
void returns_in_rectangle(const Options& o, double x0, double x1, double y0, double y1, std::vector<Return>& out);

// The simulated survey's coordinate system, and its record in a LAS file
// (a GeoTIFF key directory before LAS 1.4, OGC WKT in LAS 1.4): empty
// without --sbet.
inline constexpr const char* kSurveyCrs = "EPSG:32610";
std::vector<unsigned char> crs_record(const Options& o);
// Writes the true trajectory (the samples of trajectory.txt) as an SBET file:
// geographic coordinates by PROJ, time in seconds of the GPS week.
std::string write_sbet_trajectory(const Options& o, const std::string& path);

// Writes the survey into o.outDir; returns what was written.
Summary simulate(const Options& o);

// Parses the command line into o; returns an empty string or an error text.
std::string parse_options(int argc, char** argv, Options& o);

}  // namespace simsurvey
