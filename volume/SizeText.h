// Sizes as the window and the companion show them.
#pragma once

#include <cstdint>
#include <string>

namespace deruzera {

// A byte count as "N b", "N Kb", "N Mb" or "N Gb" with up to two truncated
// decimals and `decimalSeparator`.
std::string SizeToText(std::int64_t value, const std::string& decimalSeparator = ".");

}  // namespace deruzera
