// Hash maps keyed by owned names, looked up by string_view without a copy.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vornik {

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

}  // namespace vornik
