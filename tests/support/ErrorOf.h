// What a call threw, for tests that check the exact error a user would see.
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace sorvane::testing {

// The description of the exception `f` threw, or "<no error>".
template <class F> std::string errorOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

// The `E` that `f` threw, if it threw one (anything else propagates).
template <class E, class F> std::optional<E> caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

} // namespace sorvane::testing
