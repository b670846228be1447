// exceptions.cpp: `raise`, `except` and `with`, as the interpreter runs them.
#include "compat.hpp"
#include "frame.hpp"
#include "unwind.hpp"

#include <qm/language.hpp>

namespace qm {

namespace {

py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(o); }
py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

[[noreturn]] void throw_pending() { throw py::error_already_set(); }

}  // namespace

namespace detail {
void park_if_ending() noexcept { qm::park_if_ending(); }
}  // namespace detail

/* raise ********************************************************************************/

void raise(py::handle exception, const Location& loc) {
    reached(loc);
    PyObject* exc = exception.ptr();
    if (PyExceptionClass_Check(exc)) {
        // A class is called with no arguments; it must give an instance.
        PyObject* made = parking_on_exit([&] { return compat::call_no_args(exc); });
        if (!made) throw_pending();
        py::object instance = steal(made);
        if (!PyExceptionInstance_Check(made)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exc, reinterpret_cast<PyObject*>(Py_TYPE(made)));
            throw_pending();
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made)), made);
        throw_pending();
    }
    if (!PyExceptionInstance_Check(exc)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw_pending();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw_pending();
}

void unbound_local(const Name& name, const Location& loc) {
    reached(loc);
    PyErr_Format(PyExc_UnboundLocalError, compat::unbound_local_message(), PyUnicode_AsUTF8(name.str()));
    throw_pending();
}

void rethrow(Error& e) {
    e.restore();
    throw_pending();
}

void rethrow_pending() { throw_pending(); }

/* except *******************************************************************************/

bool matches(const Error& e, py::handle type, const Location& loc) {
    // What the interpreter checks of an `except` clause's type: an exception class, or a
    // tuple of them.
    PyObject* t = type.ptr();
    auto valid = [](PyObject* c) { return PyExceptionClass_Check(c); };
    bool ok = valid(t);
    if (!ok && PyTuple_Check(t)) {
        ok = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t) && ok; ++i) ok = valid(PyTuple_GET_ITEM(t, i));
    }
    if (!ok) {
        // The caught exception is the context of this error, as in the interpreter.
        const_cast<Error&>(e).restore();
        PyObject *ctype, *cvalue, *ctb;
        PyErr_Fetch(&ctype, &cvalue, &ctb);
        PyErr_NormalizeException(&ctype, &cvalue, &ctb);
        if (ctb) PyException_SetTraceback(cvalue, ctb);
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        PyObject *ntype, *nvalue, *ntb;
        PyErr_Fetch(&ntype, &nvalue, &ntb);
        PyErr_NormalizeException(&ntype, &nvalue, &ntb);
        PyException_SetContext(nvalue, cvalue);  // steals cvalue
        Py_XDECREF(ctype);
        Py_XDECREF(ctb);
        PyErr_Restore(ntype, nvalue, ntb);
        fail_at(loc);
    }
    return PyErr_GivenExceptionMatches(e.type().ptr(), t) != 0;
}

Handling::Handling(Error& caught) {
    caught.restore();
    {
        // What came in, for a bare `raise`.
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        original_trace_ = py::reinterpret_borrow<py::object>(trace);
        PyErr_Restore(type, value, trace);
    }
    // The exception reached the handling function: its traceback gets that entry.
    if (Frame* frame = current_frame()) frame->add_traceback();
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    type_ = steal(type);
    value_ = steal(value);
    trace_ = steal(trace);
    if (trace_ && PyException_SetTraceback(value_.ptr(), trace_.ptr()) < 0) throw_pending();

    PyErr_GetExcInfo(&type, &value, &trace);
    saved_type_ = steal(type);
    saved_value_ = steal(value);
    saved_trace_ = steal(trace);
    PyErr_SetExcInfo(compat::new_ref(type_.ptr()), compat::new_ref(value_.ptr()),
                     trace_ ? compat::new_ref(trace_.ptr()) : nullptr);
}

void Handling::reraise() const {
    // The handling function's entry comes back as the exception leaves it.
    PyException_SetTraceback(value_.ptr(), original_trace_ ? original_trace_.ptr() : Py_None);
    PyErr_Restore(compat::new_ref(type_.ptr()), compat::new_ref(value_.ptr()),
                  original_trace_ ? compat::new_ref(original_trace_.ptr()) : nullptr);
    throw_pending();
}

Handling::~Handling() {
    // PyErr_SetExcInfo takes over the three references.
    PyErr_SetExcInfo(saved_type_.release().ptr(), saved_value_.release().ptr(),
                     saved_trace_.release().ptr());
}

/* with *********************************************************************************/

namespace {

/// The special method `name` of the manager's type, bound to the manager, as the
/// interpreter looks it up; nullptr with nothing set when the type has none.
py::object special_method(PyObject* manager, const Name& name) {
    PyObject* found = compat::type_lookup(Py_TYPE(manager), name.str());
    if (!found) return py::object();
    py::object descr = borrow(found);  // held: __get__ may run Python code
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        PyObject* bound = parking_on_exit([&] {
            return get(descr.ptr(), manager, reinterpret_cast<PyObject*>(Py_TYPE(manager)));
        });
        if (!bound) throw_pending();
        return steal(bound);
    }
    return descr;
}

[[noreturn, gnu::cold]] void not_a_manager(PyObject* manager, const char* missing) {
    compat::context_manager_error(manager, missing);
    throw_pending();
}

}  // namespace

WithBlock::WithBlock(py::handle manager) {
    py::object enter;
    if constexpr (compat::with_looks_up_exit_first) {
        exit_ = special_method(manager.ptr(), "__exit__"_id);
        if (!exit_) not_a_manager(manager.ptr(), "__exit__");
        enter = special_method(manager.ptr(), "__enter__"_id);
        if (!enter) not_a_manager(manager.ptr(), "__enter__");
    } else {
        enter = special_method(manager.ptr(), "__enter__"_id);
        if (!enter) not_a_manager(manager.ptr(), "__enter__");
        exit_ = special_method(manager.ptr(), "__exit__"_id);
        if (!exit_) not_a_manager(manager.ptr(), "__exit__");
    }
    PyObject* value = parking_on_exit([&] { return compat::call_no_args(enter.ptr()); });
    if (!value) throw_pending();
    value_ = steal(value);
}

void WithBlock::exit() {
    PyObject* r = parking_on_exit([&] {
        return PyObject_CallFunctionObjArgs(exit_.ptr(), Py_None, Py_None, Py_None, nullptr);
    });
    if (!r) throw_pending();
    Py_DECREF(r);
}

void WithBlock::exit_with(Error& e) {
    e.restore();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && PyException_SetTraceback(value, tb) < 0) PyErr_Clear();

    // While __exit__ runs the exception is the one being handled: sys.exc_info() shows it
    // and an exception raised meanwhile gets it as its context.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_SetExcInfo(type, value, tb);
    PyObject* r = parking_on_exit([&] {
        return PyObject_CallFunctionObjArgs(exit_.ptr(), type, value, tb ? tb : Py_None, nullptr);
    });
    PyErr_SetExcInfo(saved_type, saved_value, saved_tb);

    int swallowed = -1;
    if (r) {
        swallowed = parking_on_exit([&] { return PyObject_IsTrue(r); });
        Py_DECREF(r);
    }
    if (swallowed != 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        if (swallowed < 0) throw_pending();  // __exit__ raised: its error leaves instead
        return;
    }
    PyErr_Restore(type, value, tb);
    throw_pending();
}

}  // namespace qm
