// POSIX entry of the unspool command; CMake builds it into the command everywhere but on
// Windows (CliWinMain.cpp). The arguments are UTF-8 already and go to the command as they
// are.
#include "CliMain.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    return UnspoolMain(std::vector<std::string>(argv + 1, argv + argc));
}
