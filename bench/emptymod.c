/* The cheapest possible native method, to compare the limiter's calls with:
   the host's own cost of calling into an extension. Built by
   acquire_bench.py. */
#include <Python.h>

static PyObject* empty(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"empty", empty, METH_NOARGS, "empty()\n--\n\nDoes nothing."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "emptymod", "", -1, methods};

PyMODINIT_FUNC PyInit_emptymod(void) { return PyModule_Create(&module); }
