#include "TestSystem.h"

#include <utility>
#include <windows.h>

namespace sorvel::test {
namespace {

// The system's text for an error in English, as the programs show it, without the period and
// line end that end it.
std::string EnglishText(DWORD error) {
    char buffer[512] = {};
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                         MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text;
}

} // namespace

std::string NoSuchFileText() {
    return EnglishText(ERROR_FILE_NOT_FOUND);
}

std::string NoSuchFolderText() {
    return EnglishText(ERROR_PATH_NOT_FOUND);
}

const bool kBackslashSeparates = true;

bool WaitReady(WaitHandle handle, std::chrono::milliseconds timeout) {
    const DWORD ms = timeout.count() >= static_cast<long long>(INFINITE)
                         ? INFINITE
                         : static_cast<DWORD>(timeout.count());
    return ::WaitForSingleObject(handle, ms) == WAIT_OBJECT_0;
}

long OpenHandleCount() {
    // GetProcessHandleCount answers 0 under Wine: the handles are counted one by one instead.
    // Handle values are multiples of 4 and the lowest free one is given out first, so the
    // values below 0x4000 cover any test process (it holds a few hundred at most).
    long count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}

std::vector<std::string> NotRegularPaths(const std::filesystem::path&) {
    // A device name that Windows keeps in every folder; never a serial port, which a test must
    // not even look at.
    return {"NUL"};
}

WriterHold::WriterHold(std::filesystem::path path) : m_path(std::move(path)) {}

WriterHold::~WriterHold() {
    Release();
}

bool WriterHold::Take() {
    if (m_handle != -1)
        return true;
    HANDLE file = ::CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

void WriterHold::Release() {
    if (m_handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = -1;
}

bool CanShareForReading(const std::filesystem::path& path) {
    HANDLE reader = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(reader);
    return true;
}

} // namespace sorvel::test
