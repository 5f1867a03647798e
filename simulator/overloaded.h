// Builds a visitor for std::visit from one lambda per alternative.
#pragma once

namespace simulator {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// clang 14 does not deduce an aggregate's template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace simulator
