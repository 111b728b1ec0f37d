// What the program's dialogs decide without drawing anything: the views (the Qt dialogs on
// Linux, the native Win32 dialogs on Windows) ask this and only draw the answers.
//
// Main dialog. The configuration's load result decides, once, before the dialog shows:
//
//   load result      disabled                           mode, radio marked
//   CONFIG_NONE      "Start Upload", "Cancel Upload",   MODE_NONE, none
//                    "Versions ..."
//   CONFIG_STI_ONLY  "Complete Update",                 MODE_STI_ONLY, "Only the STI"
//                    "Only the Cartridge"
//   CONFIG_FULL      nothing                            MODE_COMPLETE, "Complete Update"
//
// The update mode is DefaultUpdateMode's (UpgradeModes.h), the one mapping every front end uses.
// The upload state narrows it down: while a sequence runs (connecting, sending, between files,
// at a prompt) "Start Upload", the port field and the mode buttons are disabled, so that nothing
// changes under a running upgrade; "Cancel Upload" is enabled only while there is something to
// cancel (a file being sent, or the sequence between files); "Exit" (which explains why it
// refuses) and "Versions ..." stay as the load set them. A radio button, once clicked, selects
// its mode (ModeOfRadio).
//
// The upgrade folder. A dialog program loads the upgrade of the folder given on its command
// line; without one, of the folder it was started in when that holds a configuration, else of
// the folder that loaded last time (remembered per user) when it still holds one, else of the
// start folder, whose load then says what is missing. When the loaded folder holds no
// configuration, the program offers the system's folder chooser and loads the folder chosen,
// until one holds a configuration or the user cancels (LoadUpgradeFolder).
//
// Port list. "COM1:" to "COM4:" first (the first one selected), then the ports this machine
// has, in the order the platform lists them, leaving out every port that an entry listed
// before already reaches (the platform says what "reaches" means; by default the same text,
// or the same COM number however written). Windows reports its ports as bare COM names in no
// particular order; ComPortEntries turns them into entries written like the first four, in
// natural order.
//
// Version dialog. Five read-only fields, top to bottom: software, hardware, Brevon and Pellum
// Mail versions, cartridge type; each text up to its first NUL. The Pellum Mail version is
// shown only after a full load (an STI-only load never reads it), and the fields show their
// text in upper case.
//
// No state is shared: a CUpgradeDlgLogic belongs to its dialog's thread; the static and free
// functions may be called from any thread.
#pragma once

#include "ConfigFile.h"
#include "MessageBox.h"
#include "Resource.h"
#include "SorvelWinTypes.h"
#include "UpgradeModes.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

class CUpgradeDlgLogic {
public:
    // The port list's own entries, in their order, before the machine's ports.
    static constexpr std::array<const char*, 4> kTemplatePorts = {
        "COM1:", "COM2:", "COM3:", "COM4:"};
    // The main dialog's controls, in template order (the tab order).
    static constexpr std::array<int, 9> kControls = {
        IDCANCEL,           IDC_PORT_COMBO, IDC_START_UPLOAD,
        IDC_CANCEL_UPLOAD,  IDC_PROGRESS,   IDC_COMPLETE_UPDATE,
        IDC_ONLY_CARTRIDGE, IDC_ONLY_STI,   IDC_VERSIONS};
    // Whether the port entry `listed` already opens the port that `candidate` names.
    using PortReaches =
        std::function<bool(const std::string& listed, const std::string& candidate)>;

    // nConfigResult: what CConfigFile::Load returned (CONFIG_NONE until a load).
    explicit CUpgradeDlgLogic(BYTE nConfigResult = CONFIG_NONE);

    void SetConfigResult(BYTE nConfigResult) { m_nConfigResult = nConfigResult; }
    BYTE ConfigResult() const { return m_nConfigResult; }
    // 1 when the configuration loaded (any result but CONFIG_NONE), else 0.
    BYTE ConfigLoaded() const;

    // Whether control nID is enabled while the upload state is nUploadState (STATE_IDLE ...).
    // "Exit", the progress bar and the static texts are always enabled.
    bool IsEnabled(int nID, int nUploadState = STATE_IDLE) const;
    // The update mode the dialog selects after the load.
    BYTE InitialUpdateMode() const;
    // The radio button marked after the load (IDC_COMPLETE_UPDATE, IDC_ONLY_STI), or 0 for none.
    int CheckedRadio() const;

    // The mode a radio button selects; MODE_NONE for any other control.
    static BYTE ModeOfRadio(int nID);
    // The radio button of a mode; 0 for MODE_NONE and unknown modes.
    static int RadioOfMode(BYTE nMode);

    // The port list's entries: kTemplatePorts, then each of machinePorts in its order unless
    // empty or reached by an entry before it.
    static std::vector<std::string> PortEntries(const std::vector<std::string>& machinePorts,
                                                const PortReaches& reaches = SamePort);
    // The default PortReaches: the same text, or COM names of the same number ("COM3:",
    // "com3").
    static bool SamePort(const std::string& listed, const std::string& candidate);
    // Port names as Windows reports them ("COM10", "COM3") as entries: COM names written as the
    // list writes them ("COM10:", "COM3:"), other names as given; in natural order, without
    // empty names and repeats.
    static std::vector<std::string> ComPortEntries(const std::vector<std::string>& names);

    // Whether a sequence runs in nUploadState: connecting, sending, or between files.
    static bool SequenceRuns(int nUploadState);

private:
    BYTE m_nConfigResult;
};

// True when folder holds the configuration file that the loader reads
// (".\Ressources\Configuration.zkf" below it).
bool HoldsUpgrade(const std::string& folder);

// The folder a dialog program loads first (see the header comment). commandLine: the folder
// given on the command line, "" for none; remembered: "" for none.
std::string FirstUpgradeFolder(const std::string& commandLine, const std::string& startFolder,
                               const std::string& remembered);

// What loading an upgrade folder needs of the program.
struct UpgradeFolderHooks {
    // Makes folder the program's upgrade folder and loads its configuration (showing the
    // loader's messages); returns the load result.
    std::function<BYTE(const std::string& folder)> load;
    // Offers the system's folder chooser, opened at from; returns the folder chosen, or "" when
    // the user cancelled.
    std::function<std::string(const std::string& from)> choose;
    // Keeps folder as the one to try first next time.
    std::function<void(const std::string& folder)> remember;
};

// Loads folder; while it holds no configuration and offerChooser is set, asks for another with
// the chooser and loads that. Remembers the folder that loaded (as an absolute path). Returns
// the last load's result; *pLoaded (when not null) is the folder last loaded.
BYTE LoadUpgradeFolder(const std::string& folder, const UpgradeFolderHooks& hooks,
                       bool offerChooser = true, std::string* pLoaded = nullptr);

// One field of the version dialog.
struct VersionField {
    int nID;          // IDC_SOFTWARE_VERSION ... IDC_CARTRIDGE_TYPE
    std::string text; // as loaded, up to its first NUL; the field shows ShownVersionText(text)
};

// The version dialog's fields for a CONFIG_STI_ONLY or CONFIG_FULL load, top to bottom. The
// texts are copies: the record is not referred to afterwards. A missing text is empty.
std::array<VersionField, 5> VersionFields(const CONFIG_INFO& info, BYTE nConfigResult);

// A text as a version field shows it: ASCII letters in upper case. Other bytes stay as they
// are, since what they mean depends on the encoding; the views upper-case those themselves.
std::string ShownVersionText(std::string text);
