// Chunked file checksums on files that only Linux has.
#include "FileAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sorvel {
namespace {

TEST(FileCrc32, AFileThatEndsBeforeItsLengthIsAReadFailure) {
    // sysfs attributes report a size of one page but hold a few bytes: a file that ends early.
    std::string shortFile;
    for (const char* candidate :
         {"/sys/kernel/uevent_seqnum", "/sys/kernel/kexec_loaded", "/sys/kernel/profiling",
          "/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state"}) {
        std::vector<BYTE> buffer;
        if (ReadWholeFile(candidate, 1 << 20, &buffer).status == FileStatus::ReadFailed) {
            shortFile = candidate;
            break;
        }
    }
    ASSERT_FALSE(shortFile.empty()) << "no sysfs attribute found to read";
    DWORD crc = 0;
    EXPECT_EQ(FileCrc32(shortFile, &crc).status, FileStatus::ReadFailed) << shortFile;
}

} // namespace
} // namespace sorvel
