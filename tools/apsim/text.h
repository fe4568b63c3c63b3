#pragma once
// Parsing of the texts the state file, the fault knobs and the control
// commands share. Surrounding blanks are allowed everywhere.

#include <cstdint>
#include <string_view>

namespace apsim {

std::string_view Trim(std::string_view s);  // spaces, tabs and carriage returns
// Decimal, or hexadecimal after "0x"; false above max.
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t& out);
bool ParseProbability(std::string_view text, double& out);  // 0..1

}  // namespace apsim
