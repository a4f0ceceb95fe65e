// deruzera-cli list: the volumes a source holds (List.cpp).
#pragma once

#include <string>
#include <vector>

// Runs `deruzera-cli list` with the words after "list"; returns the exit code.
int ListCommand(const std::vector<std::string>& args);
