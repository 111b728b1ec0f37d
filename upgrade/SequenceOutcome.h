// How an upgrade sequence ended, as the sequencer tells its front end: the result, what kind of
// fault ended it, the message the user was shown, and what the box holds.
#pragma once

#include <string>
#include <utility>
#include <vector>

enum class UpgradeResult {
    Updated, // every file of the update mode went to the box
    Failed,  // a fault ended the sequence
    Stopped, // the user ended it (Cancel Upload, a refused prompt, Ctrl-C, the program closing)
};

enum class FailureClass {
    None,          // updated
    Configuration, // an upload file did not pass its check or did not start
    Port,          // the port did not open
    Line,          // the box did not answer, stopped asking, or the port went away
    BoxRefused,    // the box refused a record again and again
    User,          // stopped by the user
    FileChanged,   // an upload file changed while it was being sent
};

struct SequenceOutcome {
    UpgradeResult result = UpgradeResult::Failed;
    FailureClass failure = FailureClass::None;
    // The whole message shown at the end ("" when nothing was shown, as after Ctrl-C).
    std::string message;
    // One line for a status line: the result and what the box holds.
    std::string summary;
    // The files the box received whole, as the configuration names them, in the order sent.
    std::vector<std::string> delivered;
    // For each file the box received whole, in the same order: how often it asked for the
    // file's last record again (the engine's GetLastRecordResends at its completion).
    std::vector<std::pair<std::string, int>> lastRecordResends;
};

// The name of an upload file as a configuration names it, without its folders (separated by
// slashes or backslashes: ".\Ressources\Cartridge1.urt" gives "Cartridge1.urt").
std::string UploadFileName(const std::string& path);

// "a", "a and b", "a, b and c".
std::string ListOf(const std::vector<std::string>& items);

// "The box received Sti.urt and part of Cartridge1.urt", or "" when the box has nothing: the
// files it received whole (as the configuration names them) and the one it received part of
// ("" for none).
std::string BoxHolds(const std::vector<std::string>& delivered, const std::string& partial);

// The last line of a message that ends a sequence early: what the box holds (BoxHolds) and what
// to do. filesAtFault: the upgrade's files are to blame, and are to be copied again.
std::string NextStepLine(const std::string& holds, bool filesAtFault);
