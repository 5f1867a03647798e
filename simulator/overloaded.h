// Builds a visitor for std::visit from one lambda per alternative.
#pragma once

namespace simulator {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

}  // namespace simulator
