// arguments.cpp: positional-or-keyword argument binding with the interpreter's messages.
#include "arguments.hpp"

#include "function.hpp"

#include <algorithm>

namespace qm {

namespace {

/// Wrong number of positional arguments: "at least", "at most" or "exactly".
[[gnu::cold]] int count_error(FunctionObject* func, Py_ssize_t min, Py_ssize_t max,
                              Py_ssize_t given) {
    const bool too_few = given < min;
    const Py_ssize_t expected = too_few ? min : max;
    const char* more_or_less = min == max ? "exactly" : too_few ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)",
                 func->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return -1;
}

[[gnu::cold]] int unexpected_keyword(FunctionObject* func, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", func->name,
                 key);
    return -1;
}

[[gnu::cold]] int multiple_values(FunctionObject* func, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'",
                 func->name, key);
    return -1;
}

[[gnu::cold]] int keywords_not_strings(FunctionObject* func) {
    PyErr_Format(PyExc_TypeError, "%.200U() keywords must be strings", func->name);
    return -1;
}

/// Index of `key` among `names[from:]`, or -1. Keyword names from source code are interned,
/// so identity finds them; names built at run time need the string comparison.
Py_ssize_t find_name(PyObject* names, Py_ssize_t from, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = from; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = from; i < n; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0) return i;
    return -1;
}

}  // namespace

int bind_arguments(FunctionObject* func, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** values) noexcept {
    // 1. Count the parameters that have no default: they are required.
    // 2. Take the positional arguments.
    // 3. Fill the remaining parameters from the keywords, in parameter order; the first
    //    required one missing is reported with its index as the count given.
    // 4. Any keyword left over names a parameter already given by position, or none.
    // 5. Fill the rest from the defaults.
    PyObject* names = func->varnames;
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    // Every parameter given by position: handed straight through.
    if (!kwnames && nargs == n) {
        for (Py_ssize_t i = 0; i < n; ++i) values[i] = args[i];
        return 0;
    }

    const Py_ssize_t ndefaults =
        func->defaults ? std::min(PyTuple_GET_SIZE(func->defaults), n) : 0;
    const Py_ssize_t min = n - ndefaults;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > n || (nkw == 0 && nargs < min)) return count_error(func, min, n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    // Positional arguments only (at least `min` of them): nothing to match, and the rest
    // straight from the defaults, which belong to the last parameters.
    if (nkw == 0) {
        const Py_ssize_t skip = func->defaults ? PyTuple_GET_SIZE(func->defaults) - ndefaults : 0;
        for (Py_ssize_t i = nargs; i < n; ++i)
            values[i] = PyTuple_GET_ITEM(func->defaults, skip + i - min);
        return 0;
    }
    for (Py_ssize_t i = nargs; i < n; ++i) values[i] = nullptr;

    if (nkw > 0) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t matched = 0;
        for (Py_ssize_t i = nargs; i < n; ++i) {
            PyObject* name = PyTuple_GET_ITEM(names, i);
            for (Py_ssize_t k = 0; k < nkw && !values[i]; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0)) {
                    values[i] = kwvalues[k];
                    ++matched;
                }
            }
            if (!values[i] && i < min) return count_error(func, min, n, i);
        }
        if (matched < nkw) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (!PyUnicode_Check(key)) return keywords_not_strings(func);
                if (find_name(names, nargs, key) >= 0) continue;
                const Py_ssize_t given = find_name(names, 0, key);
                if (given >= 0 && given < nargs) return multiple_values(func, key);
                return unexpected_keyword(func, key);
            }
        }
    }

    // Defaults belong to the last parameters, also when __defaults__ holds more values.
    const Py_ssize_t skip = func->defaults ? PyTuple_GET_SIZE(func->defaults) - ndefaults : 0;
    for (Py_ssize_t i = min; i < n; ++i)
        if (!values[i]) values[i] = PyTuple_GET_ITEM(func->defaults, skip + i - min);
    return 0;
}

}  // namespace qm
