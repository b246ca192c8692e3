// The coordinate system named in a LAS file's (extended) variable-length records.
#include "las_crs.h"

#include <geotiff/geo_normalize.h>
#include <geotiff/geo_simpletags.h>
#include <geotiff/geo_tiffp.h>
#include <geotiff/geokeys.h>
#include <geotiff/geotiff.h>
#include <geotiff/geovalues.h>
#include <proj.h>
#include <unistd.h>

#include <cmath>
#include <memory>

namespace navigation {

using quilvor::fail;

std::vector<LasRecord> read_las_records(const quilvor::LasInput& in) {
    std::vector<LasRecord> records;
    for (const torvane::VariableRecord& r : in.of->records) {
        if (r.user != torvane::kProjectionUser) continue;
        records.push_back(LasRecord{r.user, r.id, quilvor::record_data(in, r)});
    }
    return records;
}

namespace {

// The library's own diagnostics ("Error: ..." lines) never reach standard
// error: keys it cannot read name no coordinate system, and the program says so.
void quiet_keys(GTIF*, int, const char*, ...) {}
void quiet_proj(void*, int, const char*) {}

// A GeoTIFF key set read through libgeotiff's in-memory tags, with a PROJ
// context of its own that neither logs nor uses the network.
struct KeySet {
    ST_TIFF* tags = ST_Create();
    GTIF* gtif = nullptr;
    PJ_CONTEXT* proj = proj_context_create();
    ~KeySet() {
        if (gtif != nullptr) GTIFFree(gtif);
        ST_Destroy(tags);
        if (proj != nullptr) proj_context_destroy(proj);
    }
    bool open() {
        if (proj != nullptr) {
            proj_log_func(proj, nullptr, quiet_proj);
            proj_log_level(proj, PJ_LOG_NONE);
            proj_context_set_enable_network(proj, 0);
        }
        TIFFMethod methods;
        GTIFSetSimpleTagsMethods(&methods);
        gtif = GTIFNewWithMethodsEx(tags, &methods, quiet_keys, nullptr);
        if (gtif != nullptr && proj != nullptr) GTIFAttachPROJContext(gtif, proj);
        return gtif != nullptr;
    }
};

// The largest magnitude of a GeoTIFF double parameter taken: far beyond any
// false easting, axis or angle of a real system, and small enough for every
// definition built from it.
constexpr double kLargestKeyParameter = 1e9;

// The vertical system's EPSG code, or 0.
int vertical_code(GTIF* gtif) {
    unsigned short code = 0;
    if (GTIFKeyGetSHORT(gtif, VerticalCSTypeGeoKey, &code, 0, 1) != 1) return 0;
    return code == KvUserDefined ? 0 : code;
}

}  // namespace

std::string crs_of_geotiff_keys(const std::vector<uint16_t>& keys, const std::vector<double>& doubles,
                                const std::string& ascii, const std::string& file) {
    // A key directory is four shorts of header, then four per key.
    if (keys.size() < 4 || keys.size() < 4 + 4 * static_cast<std::size_t>(keys[3])) return "";
    // Every parameter checked before the library builds a definition from it.
    for (std::size_t k = 0; k < doubles.size(); ++k)
        if (!(std::fabs(doubles[k]) <= kLargestKeyParameter))
            fail("\n%s%s: GeoTIFF parameter %zu is %g, beyond what a coordinate system takes (at most %g)\n",
                 file.empty() ? "GeoTIFF keys" : "File ", file.c_str(), k + 1, doubles[k], kLargestKeyParameter);
    KeySet set;
    std::vector<uint16_t> keyCopy = keys;
    std::vector<double> doubleCopy = doubles;
    ST_SetKey(set.tags, 34735, static_cast<int>(keyCopy.size()), STT_SHORT, keyCopy.data());
    if (!doubleCopy.empty()) ST_SetKey(set.tags, 34736, static_cast<int>(doubleCopy.size()), STT_DOUBLE, doubleCopy.data());
    std::string asciiCopy = ascii;
    if (!asciiCopy.empty()) ST_SetKey(set.tags, 34737, static_cast<int>(asciiCopy.size() + 1), STT_ASCII, asciiCopy.data());
    if (!set.open()) return "";
    GTIFDefn defn;
    if (!GTIFGetDefn(set.gtif, &defn)) return "";
    const int vertical = vertical_code(set.gtif);
    const std::string withVertical = vertical != 0 ? "+" + std::to_string(vertical) : "";
    if (defn.PCS != KvUserDefined && defn.PCS > 0)
        return "EPSG:" + std::to_string(defn.PCS) + withVertical;
    if (defn.Model == ModelTypeGeographic && defn.GCS != KvUserDefined && defn.GCS > 0)
        return "EPSG:" + std::to_string(defn.GCS) + withVertical;
    // Defined by its projection's code or parameters.
    char* proj4 = GTIFGetProj4Defn(&defn);
    if (proj4 == nullptr) return "";
    std::string definition = proj4;
    GTIFFreeMemory(proj4);
    if (definition.find("+proj=") == std::string::npos) return "";
    return definition + " +type=crs";
}

namespace {

// The u16 directory, the doubles and the ASCII text of the GeoTIFF records.
std::string crs_of_geotiff_records(const std::vector<LasRecord>& records, const std::string& file) {
    std::vector<uint16_t> keys;
    std::vector<double> doubles;
    std::string ascii;
    for (const LasRecord& r : records) {
        if (r.user != "LASF_Projection") continue;
        if (r.id == 34735)
            for (std::size_t k = 0; k + 2 <= r.data.size(); k += 2) keys.push_back(torvane::load<uint16_t>(&r.data[k]));
        if (r.id == 34736)
            for (std::size_t k = 0; k + 8 <= r.data.size(); k += 8) doubles.push_back(torvane::load<double>(&r.data[k]));
        if (r.id == 34737) ascii.assign(r.data.begin(), r.data.end());
    }
    while (!ascii.empty() && ascii.back() == '\0') ascii.pop_back();
    return keys.empty() ? "" : crs_of_geotiff_keys(keys, doubles, ascii, file);
}

}  // namespace

std::string crs_of_records(const std::vector<LasRecord>& records, const std::string& file) {
    for (const LasRecord& r : records) {
        if (r.user != "LASF_Projection" || r.id != 2112) continue;
        std::string wkt(r.data.begin(), r.data.end());
        wkt = wkt.substr(0, wkt.find('\0'));
        if (!wkt.empty()) return wkt;
    }
    return crs_of_geotiff_records(records, file);
}

}  // namespace navigation
