#include "UpgradeDlgLogic.h"

#include "NaturalOrder.h"
#include "PortNames.h"

#include "FileAccess.h"
#include "Program.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Configuration texts are at most 65535 bytes; the bound only guards a record without its NUL.
constexpr std::size_t kMaxConfigText = 65536;

std::string TextOf(const char* text, std::size_t maxLength) {
    return text ? std::string(text, strnlen(text, maxLength)) : std::string();
}

} // namespace

CUpgradeDlgLogic::CUpgradeDlgLogic(BYTE nConfigResult) : m_nConfigResult(nConfigResult) {}

BYTE CUpgradeDlgLogic::ConfigLoaded() const {
    return m_nConfigResult != CONFIG_NONE ? 1 : 0;
}

bool CUpgradeDlgLogic::SequenceRuns(int nUploadState) {
    return nUploadState == STATE_CONNECTED || nUploadState == STATE_UPLOADING ||
           nUploadState == STATE_STAGE_DONE;
}

bool CUpgradeDlgLogic::IsEnabled(int nID, int nUploadState) const {
    // Without a configuration there is nothing to upload and nothing to show.
    const bool loaded = m_nConfigResult != CONFIG_NONE;
    const bool runs = SequenceRuns(nUploadState);
    switch (nID) {
    case IDC_START_UPLOAD:
        return loaded && !runs;
    case IDC_CANCEL_UPLOAD:
        // A stopped sequence has already let go of the port: nothing is left to cancel.
        return loaded && (nUploadState == STATE_UPLOADING || nUploadState == STATE_STAGE_DONE);
    case IDC_VERSIONS:
        return loaded;
    case IDC_PORT_COMBO:
    case IDC_ONLY_STI:
        return !runs;
    case IDC_COMPLETE_UPDATE:
    case IDC_ONLY_CARTRIDGE:
        // Both need the cartridge files, which only a full load verified.
        return m_nConfigResult != CONFIG_STI_ONLY && !runs;
    default:
        return true;
    }
}

BYTE CUpgradeDlgLogic::InitialUpdateMode() const {
    return DefaultUpdateMode(m_nConfigResult);
}

int CUpgradeDlgLogic::CheckedRadio() const {
    return RadioOfMode(InitialUpdateMode());
}

BYTE CUpgradeDlgLogic::ModeOfRadio(int nID) {
    switch (nID) {
    case IDC_COMPLETE_UPDATE:
        return MODE_COMPLETE;
    case IDC_ONLY_CARTRIDGE:
        return MODE_CARTRIDGE_ONLY;
    case IDC_ONLY_STI:
        return MODE_STI_ONLY;
    default:
        return MODE_NONE;
    }
}

int CUpgradeDlgLogic::RadioOfMode(BYTE nMode) {
    switch (nMode) {
    case MODE_COMPLETE:
        return IDC_COMPLETE_UPDATE;
    case MODE_CARTRIDGE_ONLY:
        return IDC_ONLY_CARTRIDGE;
    case MODE_STI_ONLY:
        return IDC_ONLY_STI;
    default:
        return 0;
    }
}

std::vector<std::string> CUpgradeDlgLogic::PortEntries(const std::vector<std::string>& machinePorts,
                                                       const PortReaches& reaches) {
    std::vector<std::string> entries(kTemplatePorts.begin(), kTemplatePorts.end());
    for (const std::string& port : machinePorts) {
        if (port.empty())
            continue;
        const bool reached =
            std::any_of(entries.begin(), entries.end(), [&](const std::string& listed) {
                return reaches ? reaches(listed, port) : SamePort(listed, port);
            });
        if (!reached)
            entries.push_back(port);
    }
    return entries;
}

bool CUpgradeDlgLogic::SamePort(const std::string& listed, const std::string& candidate) {
    if (listed == candidate)
        return true;
    const unsigned n = sorvel::ComPortNumber(listed);
    return n != 0 && n == sorvel::ComPortNumber(candidate);
}

std::vector<std::string> CUpgradeDlgLogic::ComPortEntries(const std::vector<std::string>& names) {
    std::vector<std::string> entries;
    for (const std::string& name : names) {
        if (name.empty())
            continue;
        const unsigned n = sorvel::ComPortNumber(name);
        entries.push_back(n != 0 ? "COM" + std::to_string(n) + ":" : name);
    }
    std::sort(entries.begin(), entries.end(), NaturalLess);
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}

bool HoldsUpgrade(const std::string& folder) {
    std::error_code error;
    return std::filesystem::is_regular_file(sorvel::ResolveStoredPath(folder, kConfigurationPath),
                                            error);
}

std::string FirstUpgradeFolder(const std::string& commandLine, const std::string& startFolder,
                               const std::string& remembered) {
    if (!commandLine.empty())
        return commandLine;
    if (HoldsUpgrade(startFolder) || remembered.empty() || !HoldsUpgrade(remembered))
        return startFolder;
    return remembered;
}

BYTE LoadUpgradeFolder(const std::string& folder, const UpgradeFolderHooks& hooks,
                       bool offerChooser, std::string* pLoaded) {
    std::string current = folder;
    for (;;) {
        const BYTE result = hooks.load ? hooks.load(current) : CONFIG_NONE;
        if (pLoaded)
            *pLoaded = current;
        if (result != CONFIG_NONE) {
            if (hooks.remember) {
                std::error_code error;
                const std::filesystem::path absolute =
                    std::filesystem::absolute(sorvel::NativePath(current), error);
                hooks.remember(error ? current : absolute.lexically_normal().string());
            }
            return result;
        }
        // A configuration that is there but does not verify is the upgrade's fault, not the
        // folder's: its messages said what is wrong, and no other folder is offered.
        if (!offerChooser || !hooks.choose || HoldsUpgrade(current))
            return result;
        const std::string chosen = hooks.choose(current);
        if (chosen.empty())
            return result;
        current = chosen;
    }
}

std::array<VersionField, 5> VersionFields(const CONFIG_INFO& info, BYTE nConfigResult) {
    // An STI-only load never reads the Pellum Mail record, whatever the record holds.
    const bool full = nConfigResult == CONFIG_FULL;
    return {{
        {IDC_SOFTWARE_VERSION, TextOf(info.pszSoftwareVersion, kMaxConfigText)},
        {IDC_HARDWARE_VERSION, TextOf(info.pszHardwareVersion, kMaxConfigText)},
        {IDC_BREVON_VERSION, TextOf(info.pszBrevonVersion, kMaxConfigText)},
        {IDC_PELLUM_VERSION, full ? TextOf(info.pszPellumVersion, kMaxConfigText) : std::string()},
        {IDC_CARTRIDGE_TYPE, TextOf(info.szCartridgeType, sizeof info.szCartridgeType)},
    }};
}

std::string ShownVersionText(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}
