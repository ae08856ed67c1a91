#pragma once
// How many members an aggregate has, counted by the compiler: a reset that must cover every
// member asserts the count, so that a member added later cannot survive a reset unseen.
#include <cstddef>

namespace brevant {
namespace detail {

// Stands for any member's initializer; only named in unevaluated checks, never defined.
struct AnyInitializer {
    template <typename T>
    operator T() const;
};

}  // namespace detail

template <typename T, typename... Given>
consteval std::size_t fieldCount() {
    if constexpr (requires { T{Given{}..., detail::AnyInitializer{}}; })
        return fieldCount<T, Given..., detail::AnyInitializer>();
    else
        return sizeof...(Given);
}

}  // namespace brevant
