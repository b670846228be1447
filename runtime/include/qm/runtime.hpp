// runtime.hpp: all a module source may include. It sees Python through these operations only;
// the interpreter's own API, private layouts and the runtime's caches stay behind them.
#pragma once

#include "object.hpp"
#include "language.hpp"
#include "define.hpp"
#include "files.hpp"
