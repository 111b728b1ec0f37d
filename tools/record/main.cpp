// sorvel-record: lists, sums up and exports the record of upgrade attempts.
#include "BinaryOutput.h"
#include "RecordTool.h"

#include <iostream>

int main(int argc, char** argv) {
    sorvel::tool::MakeStandardOutputBinary();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = sorvel::tool::RunRecordTool(args, std::cout, std::cerr);
    std::cout.flush();
    return std::cout ? status : sorvel::tool::kRecordExitUnreadable;
}
