#pragma once
// The simulator's log: one JSON object a line, built field by field in the
// order the README documents.

#include <cstdint>
#include <string>
#include <string_view>

namespace apsim {

std::string JsonEscape(std::string_view text);

class JsonLine {
public:
    JsonLine(uint64_t t, std::string_view event);
    JsonLine& Num(std::string_view key, int64_t v);
    JsonLine& Str(std::string_view key, std::string_view v);
    JsonLine& Bool(std::string_view key, bool v);
    // The faults applied, as AddName lists them; no field when there were none.
    JsonLine& Fault(const std::string& names);
    std::string Done() { return s_ + "}"; }

private:
    void Key(std::string_view key);
    std::string s_;
};

// Appends a name to a comma-separated list (the "fault" field).
void AddName(std::string& list, std::string_view name);
// Appends each name of the list names that list does not hold yet.
void AddNewNames(std::string& list, std::string_view names);

}  // namespace apsim
