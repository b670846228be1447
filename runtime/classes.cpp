// classes.cpp: class creation through the builtin `type`.
#include "classes.hpp"

#include "interned.hpp"
#include "ops.hpp"

namespace qm {

py::object make_class(const char* name,
                      std::initializer_list<std::pair<const char*, py::object>> members,
                      const std::source_location& loc) {
    reached(loc);
    py::dict ns;
    ns[intern("__module__")] = global("__name__", loc);
    ns[intern("__qualname__")] = py::str(name);
    for (const auto& [member, value] : members) ns[intern(member)] = value;
    py::object type = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), py::tuple(), ns);
    set_global(name, cls, loc);
    return cls;
}

py::object staticmethod(py::object function) {
    PyObject* wrapped = PyStaticMethod_New(function.ptr());
    if (!wrapped) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(wrapped);
}

}  // namespace qm
