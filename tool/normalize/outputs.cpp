// The names of the normalized copies, and the check that none replaces an input.
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "normalize.h"

namespace quilvor {

std::string normalizedName(const std::string& LASName) {
    const bool laz = LASName.size() >= 4 && LASName.compare(LASName.size() - 4, 4, ".laz") == 0;
    return LASName.substr(0, LASName.size() - 4) + (laz ? "_NormI.laz" : "_NormI.las");
}

void check_outputs_against_inputs() {
    for (const pairStruct& out : _pairInfo) {
        const std::string outName = normalizedName(out.LASName);
        std::error_code ec;
        if (!std::filesystem::exists(outName, ec)) continue;
        for (const pairStruct& in : _pairInfo) {
            std::error_code ec2;
            if (std::filesystem::equivalent(outName, in.LASName, ec2))
                fail("\nOutput file %s would overwrite input file %s\n", outName.c_str(), in.LASName.c_str());
        }
    }
}

void check_output_name(const std::string& outName) {
    struct stat st;
    if (::stat(outName.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        fail_because(EISDIR, outName, "\nFailed to open file %s for writing intensity normalized data\n",
                     outName.c_str());
}

}  // namespace quilvor
