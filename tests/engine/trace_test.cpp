// How the trace shows the bytes that came from the box: hex and text side by side, bounded.
#include "Trace.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik::test {
namespace {

TEST(TraceTest, BoxBytesShowAsHexAndPrintableTextCutAfterTheirLimit) {
    const std::string run64(64, 'A');
    struct {
        std::string bytes;
        std::string text;
    } const cases[] = {
        {std::string("\x06\x15") + "A", "06 15 41 \"..A\""},
        {"BOX>\r\n", "42 4f 58 3e 0d 0a \"BOX>..\""},
        // Bytes above 0x7e and the ends of the printable range.
        {"\x7f\x80\xff \x1f~", "7f 80 ff 20 1f 7e \"... .~\""},
        {std::string(1, '\0') + "\"", "00 22 \".\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoxBytesText(c.bytes.data(), c.bytes.size()), c.text);

    // A long run: its first bytes only, and how many more there were.
    std::string hex;
    for (std::size_t i = 0; i < kTraceBytesShown; ++i)
        hex += i == 0 ? "41" : " 41";
    EXPECT_EQ(BoxBytesText(run64.data(), kTraceBytesShown),
              hex + " \"" + std::string(kTraceBytesShown, 'A') + "\"");
    EXPECT_EQ(BoxBytesText(run64.data(), run64.size()),
              hex + " \"" + std::string(kTraceBytesShown, 'A') + "\" ... (" +
                  std::to_string(64 - kTraceBytesShown) + " more bytes)");
}

} // namespace
} // namespace tarvik::test
