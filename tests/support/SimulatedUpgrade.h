// What the upgrade tests share: the texts the upgrade sequence shows, an upgrade folder for the
// box simulator, and a simulated box expecting given files. For targets that link sorvel_boxsim
// and sorvel_config.
#pragma once

#include "BoxSimulator.h"
#include "ConfigWriter.h"
#include "TempDir.h"
#include "UploadFormat.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
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
inline const std::string kInvalidPort = "Invalid COM port.\nPlease check connection.";
// The reason line of a box that never answered the wake-up.
inline const std::string kNoAnswer =
    "the box did not answer: is it switched on in upgrade mode, is the cable connected?";
// The last line of a message after a stop, for what the box holds ("sti.urt", "part of
// sti.urt"; none: nothing).
inline std::string RestartLine(const std::string& holds) {
    if (holds.empty())
        return "Nothing was sent to the box; start the upload again when the box is ready.";
    return "The box received " + holds +
           "; switch it off and on, then start again from the beginning.";
}

// An upgrade folder as the programs get it: Ressources/sti.urt, cart1.urt and cart2.urt, their
// contents from the seeds 1, 2 and 3, and Ressources/Configuration.zkf naming them.
struct UpgradeFolder {
    struct File {
        std::size_t records;
        std::size_t recordBytes; // the first record's size; record i holds recordBytes + i
    };
    struct Paths {
        std::string sti, cart1, cart2; // absolute
    };

    UpgradeFolder(File sti, File cart1, File cart2) : sti(sti), cart1(cart1), cart2(cart2) {}

    // Writes the files and the configuration into dir; a failure fails the test.
    Paths Write(TempDir& dir) const {
        auto write = [&dir](const char* name, const File& file, std::uint32_t seed) {
            const auto bytes = upload::MakeSampleFile(file.records, file.recordBytes, seed, 1);
            return dir.Write(std::string("Ressources/") + name, bytes).string();
        };
        auto named = [this](const char* name, const std::string& path) {
            return windowsPaths ? std::string(".\\Ressources\\") + name : path;
        };
        const Paths paths{write("sti.urt", sti, 1), write("cart1.urt", cart1, 2),
                          write("cart2.urt", cart2, 3)};
        ConfigContents contents;
        contents.stiPath = named("sti.urt", paths.sti);
        if (full) {
            contents.cartridge1Path = named("cart1.urt", paths.cart1);
            contents.cartridge2Path = named("cart2.urt", paths.cart2);
        }
        contents.softwareVersion = softwareVersion;
        std::string error;
        EXPECT_TRUE(WriteConfiguration(dir.Path(), contents, &error)) << error;
        return paths;
    }

    File sti, cart1, cart2;
    // The configuration names the cartridge files too (they are written either way).
    bool full = true;
    // The configuration names the files as written on Windows, relative to the folder
    // (.\Ressources\sti.urt), instead of by their absolute paths.
    bool windowsPaths = false;
    std::optional<std::string> softwareVersion;
};

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
