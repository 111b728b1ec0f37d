// What the upgrade tests share: the texts the upgrade sequence shows, upload files for the box
// simulator, and a simulated box expecting given files. For targets that link sorvel_boxsim.
#pragma once

#include "BoxSimulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace sorvel::test {

inline const std::string kReboot = "Please wait for the Set Top Box reboots and then click on OK";
inline const std::string kFile = "Please wait for the front panel displays 'FILE'\nand click on OK";
inline const std::string kSwitchOff = "Upload stopped.\nPlease switch off the set top box";
inline const std::string kStiUpdated =
    "Your Brevon Box was updated.\nPlease wait during the write process.";
inline const std::string kGood = "Your Brevon Box was updated. Please wait for the\nfront panel "
                                 "displays 'Good' before switching off";
inline const std::string kTimeout = "Error during upload.\nPlease check connection and try again.";
inline const std::string kReallyStop = "Do you really want to stop upload ?.";
inline const std::string kStoppedRestart = "Upload stopped.\nPlease restart device and click OK.";
inline const std::string kNoUpload = "No upload in progress.";
inline const std::string kInProgress = "Upload in progress.\nPlease stop operation first.";
inline const std::string kPortUsed =
    "COM port used by another application.\nPlease change COM port or close application.";

// An upload file of records of recordBytes, recordBytes + 1, ... bytes whose contents follow
// from seed.
inline std::vector<std::uint8_t> UploadFile(std::size_t records, std::size_t recordBytes,
                                            std::uint8_t seed) {
    std::vector<std::vector<std::uint8_t>> bodies;
    for (std::size_t i = 0; i < records; ++i)
        bodies.push_back(
            boxsim::MakeRecordBody(recordBytes + i, static_cast<std::uint8_t>(seed + i)));
    return boxsim::MakeUploadFile(bodies);
}

// A started simulated box expecting the files in order (none: it takes any records).
inline std::unique_ptr<boxsim::BoxSimulator> StartBox(const std::vector<std::string>& files,
                                                      boxsim::Options options = {}) {
    auto box = std::make_unique<boxsim::BoxSimulator>(std::move(options));
    EXPECT_TRUE(box->Ok()) << box->Error();
    for (const auto& file : files)
        EXPECT_TRUE(box->Expect(file));
    EXPECT_TRUE(box->Start());
    return box;
}

// Exactly n files arrived, every byte as sent.
inline void ExpectFilesArrived(const boxsim::BoxSimulator& box, std::size_t n) {
    ASSERT_TRUE(box.WaitForFilesCompleted(n, std::chrono::seconds(10)));
    auto report = box.GetReport();
    EXPECT_TRUE(report.errors.empty()) << report.errors.front();
    EXPECT_EQ(report.filesCompleted, n);
}

} // namespace sorvel::test
