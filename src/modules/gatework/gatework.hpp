// Shared declarations of the gatework module's sources.
#pragma once

#include "interop.hpp"

#include <utility>
#include <vector>

namespace gatework {

// Each source of the module registers the functions it defines; the module
// body creates them in its fixed order (see module.cpp).
using MakeDef = vx::FunctionDef (*)();
std::vector<std::pair<const char *, MakeDef>> &registry();

struct Register {
    Register(const char *name, MakeDef make) { registry().emplace_back(name, make); }
};

}  // namespace gatework
