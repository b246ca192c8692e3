// Removal of the RAI files and the summary report.
#include <cstdio>

#include "exponent.h"
#include "temp_files.h"

namespace quilvor {

void delete_tmp_RAI_files() {
    for (const pairStruct& entry : _pairInfo) remove_temporary_file(entry.RAIName);
}

void pairReport() {
    static const char rule[] = "-----------------------------------------------------------";
    std::printf("\rSummary:%70s\n", "");
    std::printf("%s\n", rule);
    std::printf("%-40s %8s %9s\n", "LASName", "Pairs", "MeanRange");
    std::printf("%s\n", rule);
    for (const pairStruct& entry : _pairInfo)
        std::printf("%-40s %8u %9.3f\n", entry.LASName.c_str(), entry.nPairs, entry.meanRange);
    std::printf("%s\n", rule);
    std::printf("%-40s %8.0f %9.3f\n", "Total:", _allPairs, _meanRange);
    std::printf("\nPre-normalization within-pair intensity variance: %9.3f\n", _preNormIntensityVar);
    std::printf("Post-normalization within-pair intensity variance:%9.3f\n", _postNormIntensityVar);
    std::printf("%-40s %8s %9.3f\n", "Optimal Range Normalization Exponent:", "", _normFactor);
}

}  // namespace quilvor
