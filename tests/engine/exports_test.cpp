// Tarvik_Dll exports the class CTarvik and nothing else of the project's.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The names of the defined dynamic symbols, demangled.
std::set<std::string> DefinedSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D -C --defined-only '" + library + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        // "<address> <type> <name>"
        const auto first = text.find(' ');
        const auto second = first == std::string::npos ? first : text.find(' ', first + 1);
        if (second != std::string::npos) {
            names.insert(text.substr(second + 1));
        }
    }
    ::pclose(pipe);
    return names;
}

TEST(Exports, OnlyTheMembersOfCTarvikLeaveTheLibrary) {
    const std::set<std::string> symbols = DefinedSymbols(TARVIK_DLL_PATH);
    const std::set<std::string> members = {
        "CTarvik::CTarvik(void (*)(_tagUploadNotificationMsgstruct*))",
        "CTarvik::operator=(CTarvik const&)",
        "CTarvik::Connect()",
        "CTarvik::UploadURTFile(char*)",
        "CTarvik::CancelUploadProcess()",
        "CTarvik::Disconnect()",
        "CTarvik::GetLastErrorText()",
        "CTarvik::GetLastRecordResends()",
        "CTarvik::GetLastPortFailure()",
        "CTarvik::TraceNote(char const*)",
    };
    for (const std::string& member : members) {
        EXPECT_TRUE(symbols.count(member)) << member << " is not exported";
    }
    for (const std::string& symbol : symbols) {
        // Besides the class, only hooks that a sanitizer build may add.
        const bool tool = symbol.rfind("__asan", 0) == 0 || symbol.rfind("__ubsan", 0) == 0 ||
                          symbol.rfind("__tsan", 0) == 0 || symbol.rfind("__sanitizer", 0) == 0;
        EXPECT_TRUE(members.count(symbol) || tool) << "exported: " << symbol;
    }
}

} // namespace
