// The registry and the shell's folder chooser. The program names files in the system's ANSI code
// page (the loader and the engine use the A functions), so the chooser's wide path is converted to
// it; a folder whose name the code page cannot hold could not be used by them anyway.
#include "Win32UpgradeFolder.h"

#include <shobjidl.h>

#include <string>

namespace sorvel {
namespace {

constexpr const wchar_t* kChooserTitle = L"Open upgrade folder";

// A COM interface pointer that is released when it goes.
template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (m_p != nullptr)
            m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    Interface* operator->() const { return m_p; }
    Interface* Get() const { return m_p; }
    // For the functions that hand out a new reference.
    void** Out() { return reinterpret_cast<void**>(&m_p); }

private:
    Interface* m_p = nullptr;
};

// The registry key, opened or created; closed when it goes.
class SettingsKey {
public:
    explicit SettingsKey(bool create) {
        const LSTATUS status =
            create ? RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &m_hKey, nullptr)
                   : RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &m_hKey);
        if (status != ERROR_SUCCESS)
            m_hKey = nullptr;
    }
    ~SettingsKey() {
        if (m_hKey != nullptr)
            RegCloseKey(m_hKey);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

std::wstring Widened(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);
    return wide;
}

std::string Narrowed(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(length) - 1);
    return narrow;
}

} // namespace

std::string RememberedUpgradeFolder() {
    SettingsKey key(false);
    if (key.Get() == nullptr)
        return std::string();
    // The value may change between the two calls: ask again while it grows.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD bytes = 0;
        if (RegGetValueA(key.Get(), nullptr, kUpgradeFolderValue, RRF_RT_REG_SZ, nullptr, nullptr,
                         &bytes) != ERROR_SUCCESS)
            return std::string();
        std::string folder(bytes, '\0');
        const LSTATUS status = RegGetValueA(key.Get(), nullptr, kUpgradeFolderValue, RRF_RT_REG_SZ,
                                            nullptr, folder.data(), &bytes);
        if (status == ERROR_SUCCESS) {
            folder.resize(folder.find('\0')); // the value ends with its NUL
            return folder;
        }
        if (status != ERROR_MORE_DATA)
            return std::string();
    }
    return std::string();
}

void RememberUpgradeFolder(const std::string& folder) {
    SettingsKey key(true);
    if (key.Get() == nullptr)
        return;
    RegSetValueExA(key.Get(), kUpgradeFolderValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>(folder.size() + 1));
}

std::string ChooseUpgradeFolder(HWND hOwner, const std::string& from) {
    ComRef<IFileOpenDialog> chooser;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFileOpenDialog, chooser.Out())))
        return std::string();
    FILEOPENDIALOGOPTIONS options = 0;
    chooser->GetOptions(&options);
    chooser->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    chooser->SetTitle(kChooserTitle);
    if (!from.empty()) {
        char full[MAX_PATH] = {};
        const DWORD length = GetFullPathNameA(from.c_str(), MAX_PATH, full, nullptr);
        ComRef<IShellItem> start;
        if (length > 0 && length < MAX_PATH &&
            SUCCEEDED(SHCreateItemFromParsingName(Widened(full).c_str(), nullptr, IID_IShellItem,
                                                  start.Out())))
            chooser->SetFolder(start.Get());
    }
    // Cancelled, or closed: no folder.
    if (FAILED(chooser->Show(hOwner)))
        return std::string();
    ComRef<IShellItem> chosen;
    if (FAILED(chooser->GetResult(reinterpret_cast<IShellItem**>(chosen.Out()))))
        return std::string();
    wchar_t* path = nullptr;
    if (FAILED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr)
        return std::string();
    std::string folder = Narrowed(path);
    CoTaskMemFree(path);
    return folder;
}

} // namespace sorvel
