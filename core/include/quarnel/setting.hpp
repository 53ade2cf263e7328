// The one setting read from outside a call's arguments: QUARNEL_PARALLEL.
#pragma once

#include <optional>
#include <string_view>

namespace quarnel {

// The mode named by a QUARNEL_PARALLEL value ("1", "on", "true", "parallel" / "0", "off",
// "false", "serial", after trimming Unicode white space and folding ASCII case), or
// nothing when the value names none (including text that is not valid UTF-8).
std::optional<bool> parse_parallel_setting(std::string_view text);

// The mode QUARNEL_PARALLEL names now, read afresh on every call; nothing when it is unset
// or names no mode.
std::optional<bool> parallel_setting();

}  // namespace quarnel
