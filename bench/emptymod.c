/* The cheapest possible native method, to compare the limiter's calls with:
   the host's own cost of calling into an extension; and a plain function
   that returns a new two-item dict, to compare the limiter's resident
   memory with. Built by acquire_bench.py. */
#include <Python.h>

static PyObject* empty(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  Py_RETURN_NONE;
}

static PyObject* new_dict(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  PyObject* d = PyDict_New();
  if (d == NULL) return NULL;
  PyObject* one = PyLong_FromLong(1);
  PyObject* two = PyLong_FromLong(2);
  if (one == NULL || two == NULL || PyDict_SetItemString(d, "sec", one) < 0 ||
      PyDict_SetItemString(d, "burst", two) < 0) {
    Py_XDECREF(one);
    Py_XDECREF(two);
    Py_DECREF(d);
    return NULL;
  }
  Py_DECREF(one);
  Py_DECREF(two);
  return d;
}

static PyMethodDef methods[] = {
    {"empty", empty, METH_NOARGS, "empty()\n--\n\nDoes nothing."},
    {"new_dict", new_dict, METH_NOARGS, "new_dict()\n--\n\nA new two-item dict."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "emptymod", "", -1, methods};

PyMODINIT_FUNC PyInit_emptymod(void) { return PyModule_Create(&module); }
