// sorvel-config: makes, shows and verifies the configuration file of an upgrade.
#include "ConfigTool.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = sorvel::tool::RunConfigTool(args, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
