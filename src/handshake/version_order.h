#pragma once

#include <optional>
#include <string_view>

// Release versions as the publisher numbers them: components of decimal
// digits separated by ".", compared as whole numbers from the left, a missing
// component counting as 0 ("1.001" < "1.002" < "1.010" < "2"; "1.1" equals
// "1.001" and "1.001.0"). A component may have any number of digits: it is
// compared as a digit string and never converted, so no text overflows.
// Portable; any thread.
namespace version_order {

// True when `v` is one or more components of one or more decimal digits,
// separated by single dots ("1.001"; not "", "1.", ".1", "1..2", "1.x", " 1").
bool well_formed(std::string_view v);

// -1, 0 or 1 as `a` is older than, equal to or newer than `b`; none when
// either is not well formed.
std::optional<int> compare(std::string_view a, std::string_view b);

} // namespace version_order
