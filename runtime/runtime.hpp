// runtime.hpp: everything a module source needs, in one include.
#pragma once

#include "pybind.hpp"
#include "attributes.hpp"
#include "classes.hpp"
#include "compat.hpp"
#include "context.hpp"
#include "frame.hpp"
#include "function.hpp"
#include "interned.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "unwind.hpp"
