#include "UpgradeDlgLogic.h"

#include "NaturalOrder.h"
#include "PortNames.h"

#include <algorithm>
#include <cstring>

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

bool CUpgradeDlgLogic::IsEnabled(int nID, int /*nUploadState*/) const {
    switch (nID) {
    case IDC_START_UPLOAD:
    case IDC_CANCEL_UPLOAD:
    case IDC_VERSIONS:
        // Without a configuration there is nothing to upload and nothing to show.
        return m_nConfigResult != CONFIG_NONE;
    case IDC_COMPLETE_UPDATE:
    case IDC_ONLY_CARTRIDGE:
        // Both need the cartridge files, which only a full load verified.
        return m_nConfigResult != CONFIG_STI_ONLY;
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
