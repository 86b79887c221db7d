// What random.cpp offers beyond the product's interface: the state itself,
// so that the generator's steps can be checked.
#pragma once

#include <cstdint>

// The current state.
std::uint32_t random_state();
