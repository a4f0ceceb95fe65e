// deruzera-cli list: the volumes a source holds (ListVolumes.cpp).
#pragma once

#include <string>
#include <vector>

namespace deruzera::cli {

// Runs `deruzera-cli list` with the words after "list"; returns the exit code.
int ListVolumes(const std::vector<std::string>& args);

}  // namespace deruzera::cli
