// A scratch folder for a test, removed with everything in it when the object is destroyed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sorvel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // Writes a file below the folder (creating its folders) and returns its full path.
    std::filesystem::path Write(const std::string& relative,
                                const std::vector<std::uint8_t>& bytes);
    std::filesystem::path Write(const std::string& relative, const std::string& text);

private:
    std::filesystem::path m_path;
};

// Reads a whole file; empty when it does not open.
std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);

} // namespace sorvel::test
