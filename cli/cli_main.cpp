// velmorant-cli: the board from the command line.
#include <iostream>
#include <string>
#include <vector>

#include "Cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> Args(argv + 1, argv + argc);
    return velcli::RunCli(Args, std::cout, std::cerr);
}
