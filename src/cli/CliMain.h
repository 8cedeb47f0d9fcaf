// The unspool command, apart from its entry point: each system has its own entry
// (CliPosixMain.cpp, CliWinMain.cpp, chosen by CMake), which hands the arguments over in
// UTF-8 and returns what this returns.
#pragma once

#include <string>
#include <vector>

// Runs the command on Args (the program's name left out); the exit code.
int UnspoolMain(const std::vector<std::string>& Args);
