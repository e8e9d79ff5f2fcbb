#pragma once

#include <cstddef>

namespace varnok::testing {

// Calls of operator new (plain and array forms) in this binary so far.
std::size_t allocationsSoFar();

}  // namespace varnok::testing
