// A listed file that changes while the run reads it: whatever is read twice is checked twice.
#include <fcntl.h>
#include <sys/stat.h>

#include "las_input.h"
#include "normalize.h"
#include "pair_test_support.h"

using namespace testutil;
using namespace quilvor;

namespace {

class ChangedInput : public pairtest::InFolder {
protected:
    // a.las with two returns that pair, validated as the run validates its list.
    void validated_file() {
        Point p, q;
        p.GPSTime = 100, q.GPSTime = 200, q.X = 1;
        setup_run(LasShape{}, {p, q}, 5, 5, 1, 1000);
        testing::internal::CaptureStdout();
        check_las_4_GPSTime();
        testing::internal::GetCapturedStdout();
    }
    void patch(std::size_t at, std::vector<unsigned char> bytes) {
        std::vector<unsigned char> b = read_file("a.las");
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        write_file("a.las", b);
    }
};

const char* const kChanged = "File a.las changed while it was being processed";

}  // namespace

TEST_F(ChangedInput, HeaderOrSizeChangedBeforeThePairSearch) {
    validated_file();
    patch(105, {20, 0});  // record length 28 -> 20
    EXPECT_FAILS_WITH(pairDataToFile(0), kChanged);
    validated_file();
    std::filesystem::resize_file("a.las", 227 + 28);  // one record of two
    EXPECT_FAILS_WITH(pairDataToFile(0), kChanged);
}

TEST_F(ChangedInput, HeaderChangedBeforeTheNormalizedWriter) {
    validated_file();
    run_stage();
    ASSERT_EQ(_pairInfo[0].nPairs, 1u);
    _meanRange = 1000.0;
    _normFactor = 2.0;
    for (const std::vector<unsigned char>& length : {std::vector<unsigned char>{20, 0}, {0, 0}}) {
        patch(105, length);
        EXPECT_FAILS_WITH(normalizeIntensity(), kChanged);
        EXPECT_FALSE(file_exists("a_NormI.las"));
    }
}

// An input replaced by another file of the same header and size (renamed
// over it, even with its modification time) between the pair search and the
// normalized copy: the copy is refused, not made from the other file.
TEST_F(ChangedInput, InputRenamedOverBeforeTheNormalizedWriter) {
    validated_file();
    run_stage();
    ASSERT_EQ(_pairInfo[0].nPairs, 1u);
    _meanRange = 1000.0;
    _normFactor = 2.0;
    std::vector<unsigned char> other = read_file("a.las");
    other[227 + 12] ^= 0x40;  // another intensity of the first return
    write_file("other.las", other);
    struct stat st;
    ASSERT_EQ(::stat("a.las", &st), 0);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, "other.las", times, 0), 0);
    std::filesystem::rename("other.las", "a.las");
    EXPECT_FAILS_WITH(normalizeIntensity(), kChanged);
    EXPECT_FALSE(file_exists("a_NormI.las"));
}

// The same file, read again unchanged: the copy is made.
TEST_F(ChangedInput, UnchangedInputIsCopied) {
    validated_file();
    run_stage();
    _meanRange = 1000.0;
    _normFactor = 2.0;
    testing::internal::CaptureStdout();
    normalizeIntensity();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(file_exists("a_NormI.las"));
}
