#include "TempDir.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace sorvel::test {

TempDir::TempDir() {
    // A new folder under a random name: creating it fails when the name is taken, so two tests
    // never share one.
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "sorvel-test-%012llx",
                      static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            m_path = base / name;
            // The owner's alone, as a private temporary folder is (programs under test may
            // use it as their runtime folder).
            std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, error);
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary folder in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::filesystem::path TempDir::Write(const std::string& relative,
                                     const std::vector<std::uint8_t>& bytes) {
    std::filesystem::path full = m_path / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return full;
}

std::filesystem::path TempDir::Write(const std::string& relative, const std::string& text) {
    return Write(relative, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

} // namespace sorvel::test
