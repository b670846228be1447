#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *speed_add(PyObject *self, PyObject *args)
{
    long a, b;
    if (!PyArg_ParseTuple(args, "ll:add", &a, &b)) {
        return NULL;
    }
    return PyLong_FromLong(a + b);
}

static PyMethodDef speed_methods[] = {
    {"add", speed_add, METH_VARARGS, "add(a, b) -> a + b"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef speed_module = {
    PyModuleDef_HEAD_INIT, "_speed", NULL, -1, speed_methods,
};

PyMODINIT_FUNC PyInit__speed(void)
{
    return PyModule_Create(&speed_module);
}
