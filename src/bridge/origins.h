#pragma once
// The web origins whose pages may open a WebSocket. Pure; any thread.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge {

// Production first, then staging.
inline constexpr std::array<std::string_view, 2> builtInOrigins{
    "https://daw.krevlo.example",
    "https://staging.daw.krevlo.example",
};

// Byte-for-byte membership in the built-in list or in `extra`; no normalising of
// any kind. An empty origin is never allowed.
bool originIn(const std::string& origin, const std::vector<std::string>& extra);

// The extra origins the environment asks for: QUILLET_ORIGINS whole, as one
// entry, whenever it is set (also when empty, which then admits nothing).
std::vector<std::string> originsFromEnvironment();

}  // namespace bridge
