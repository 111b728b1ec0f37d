// libFuzzer target for the upgrade record's reader. Each input is the text of a record file.
// Besides the sanitizers' checks, the reader must keep exactly the whole lines that FromJson
// accepts, each as FromJson reads it, and count every other line that is not blank: the reader's
// own way through a line, without a JSON tree, may never read one otherwise.
#include "UpgradeRecordReader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sorvel::record;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const RecordContents contents = ParseRecords(text);

    std::vector<UpgradeAttempt> expected;
    std::size_t skipped = 0;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        UpgradeAttempt attempt;
        if (end != std::string_view::npos && !object.is_discarded() &&
            FromJson(object, &attempt, nullptr))
            expected.push_back(std::move(attempt));
        else
            ++skipped;
    }
    if (contents.skipped != skipped || contents.attempts.size() != expected.size() ||
        (skipped > 0) != (contents.firstSkippedLine > 0))
        std::abort();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (ToJson(contents.attempts[i]) != ToJson(expected[i]))
            std::abort();
    }
    return 0;
}
