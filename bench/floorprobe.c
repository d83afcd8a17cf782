/* The floor under one asyncio awaitable made by native code: exactly the
   host calls an AsyncRateLimiter awaitable costs on the loop thread, made
   here with no executor, no limiter and no checks of our own, each in the
   forms the interpreter offers, so that the cheapest form of each call and
   the sum of the cheapest forms can be read. Built and driven by
   floor_bench.py.

   Making side, per awaitable: asyncio.get_running_loop(),
   contextvars.copy_context(), loop.create_future(), a new done-callback
   instance, future.add_done_callback(callback).
   Completing side: a new completor instance, getattr(future, "set_result"),
   loop.call_soon_threadsafe(completor, future, set_result, value,
   context=None); then the loop calls the completor (future.cancelled(),
   set_result(value)) and the done-callback (future.cancelled()).

   Three callable types: Bare (its call returns None and looks at nothing),
   DoneCallback (one argument, the cancelled check) and Completor (three
   arguments, the cancelled check, then complete(value)). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <time.h>

static PyObject *s_create_future, *s_add_done_callback, *s_cancelled, *s_set_result,
    *s_call_soon_threadsafe, *s_context, *kw_context, *f_get_running_loop, *f_copy_context;
static PyTypeObject *bare_type, *done_type, *completor_type;

static PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* --- the three callable types --------------------------------------------- */

typedef struct {
  PyObject_HEAD
} ProbeObject;

static PyObject* bare_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  (void)self;
  (void)args;
  (void)kwargs;
  Py_RETURN_NONE;
}

/* future.cancelled(), in the cheapest form measured on both interpreters;
   -1 with the error set on failure. */
static int is_cancelled(PyObject* future) {
  PyObject* answer = PyObject_CallMethodNoArgs(future, s_cancelled);
  if (answer == NULL) return -1;
  int truth = answer == Py_True ? 1 : answer == Py_False ? 0 : PyObject_IsTrue(answer);
  Py_DECREF(answer);
  return truth;
}

static PyObject* done_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  (void)self;
  if ((kwargs != NULL && PyDict_Size(kwargs) != 0) || PyTuple_GET_SIZE(args) != 1) {
    PyErr_SetString(PyExc_TypeError, "DoneCallback() takes one argument");
    return NULL;
  }
  if (is_cancelled(PyTuple_GET_ITEM(args, 0)) < 0) return NULL;
  Py_RETURN_NONE;
}

static PyObject* completor_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  (void)self;
  if ((kwargs != NULL && PyDict_Size(kwargs) != 0) || PyTuple_GET_SIZE(args) != 3) {
    PyErr_SetString(PyExc_TypeError, "Completor() takes three arguments");
    return NULL;
  }
  int cancelled = is_cancelled(PyTuple_GET_ITEM(args, 0));
  if (cancelled < 0) return NULL;
  if (cancelled) Py_RETURN_NONE;
  PyObject* done = PyObject_CallOneArg(PyTuple_GET_ITEM(args, 1), PyTuple_GET_ITEM(args, 2));
  if (done == NULL) return NULL;
  Py_DECREF(done);
  Py_RETURN_NONE;
}

static PyTypeObject* make_type(const char* name, ternaryfunc call) {
  PyType_Slot slots[] = {{Py_tp_call, (void*)call}, {0, NULL}};
  PyType_Spec spec = {name, sizeof(ProbeObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return (PyTypeObject*)PyType_FromSpec(&spec);
}

static PyObject* new_instance(PyTypeObject* type) { return PyType_GenericAlloc(type, 0); }

/* --- the forms of each host call --------------------------------------------- */

/* One form of one step, applied to `target` (and `arg`); a new reference or
   NULL. */
typedef PyObject* (*Form)(PyObject* target, PyObject* arg);

static PyObject* call_noargs(PyObject* f, PyObject* u) { (void)u; return PyObject_CallNoArgs(f); }
static PyObject* call_vector0(PyObject* f, PyObject* u) {
  (void)u;
  return PyObject_Vectorcall(f, NULL, 0, NULL);
}
static PyObject* call_object0(PyObject* f, PyObject* u) { (void)u; return PyObject_CallObject(f, NULL); }

#define METHOD_FORMS(step, name)                                                          \
  static PyObject* step##_callmethod(PyObject* o, PyObject* a) {                          \
    return a ? PyObject_CallMethodOneArg(o, name, a) : PyObject_CallMethodNoArgs(o, name); \
  }                                                                                      \
  static PyObject* step##_vectormethod(PyObject* o, PyObject* a) {                        \
    PyObject* argv[] = {o, a};                                                           \
    return PyObject_VectorcallMethod(name, argv, (a ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, \
                                     NULL);                                              \
  }                                                                                      \
  static PyObject* step##_getattr_call(PyObject* o, PyObject* a) {                        \
    PyObject* bound = PyObject_GetAttr(o, name);                                         \
    if (bound == NULL) return NULL;                                                      \
    PyObject* r = a ? PyObject_CallOneArg(bound, a) : PyObject_CallNoArgs(bound);        \
    Py_DECREF(bound);                                                                    \
    return r;                                                                            \
  }                                                                                      \
  static PyObject* step##_objargs(PyObject* o, PyObject* a) {                             \
    return PyObject_CallMethodObjArgs(o, name, a, NULL);                                 \
  }

METHOD_FORMS(create_future, s_create_future)
METHOD_FORMS(add_done_callback, s_add_done_callback)
METHOD_FORMS(cancelled, s_cancelled)

static PyObject* getattr_set_result(PyObject* o, PyObject* u) {
  (void)u;
  return PyObject_GetAttr(o, s_set_result);
}

/* call_soon_threadsafe(completor, future, set_result, value, context=None):
   `o` is the loop, `a` a 4-tuple (completor, future, set_result, value). */
static PyObject* soon_vectormethod(PyObject* o, PyObject* a) {
  PyObject* argv[] = {o, PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(a, 1), PyTuple_GET_ITEM(a, 2),
                      PyTuple_GET_ITEM(a, 3), Py_None};
  return PyObject_VectorcallMethod(s_call_soon_threadsafe, argv,
                                   5 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_context);
}
static PyObject* soon_getattr_vector(PyObject* o, PyObject* a) {
  PyObject* bound = PyObject_GetAttr(o, s_call_soon_threadsafe);
  if (bound == NULL) return NULL;
  PyObject* argv[] = {NULL, PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(a, 1),
                      PyTuple_GET_ITEM(a, 2), PyTuple_GET_ITEM(a, 3), Py_None};
  PyObject* r = PyObject_Vectorcall(bound, argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kw_context);
  Py_DECREF(bound);
  return r;
}
static PyObject* soon_getattr_call(PyObject* o, PyObject* a) {
  PyObject* bound = PyObject_GetAttr(o, s_call_soon_threadsafe);
  if (bound == NULL) return NULL;
  PyObject* kwargs = PyDict_New();
  PyObject* r = NULL;
  if (kwargs != NULL && PyDict_SetItem(kwargs, s_context, Py_None) == 0) {
    r = PyObject_Call(bound, a, kwargs);
  }
  Py_XDECREF(kwargs);
  Py_DECREF(bound);
  return r;
}

static PyObject* new_generic(PyObject* type, PyObject* u) {
  (void)u;
  return PyType_GenericAlloc((PyTypeObject*)type, 0);
}
static PyObject* new_tp_alloc(PyObject* type, PyObject* u) {
  (void)u;
  PyTypeObject* t = (PyTypeObject*)type;
  allocfunc alloc = (allocfunc)PyType_GetSlot(t, Py_tp_alloc);
  return alloc(t, 0);
}
static PyObject* new_object(PyObject* type, PyObject* u) {
  (void)u;
  return (PyObject*)_PyObject_New((PyTypeObject*)type);
}

typedef struct {
  const char* step;
  const char* form;
  Form run;
} Variant;

/* Which target each step is applied to. */
enum Target { T_RUNNING_LOOP, T_COPY_CONTEXT, T_LOOP, T_FUTURE, T_TYPE };

typedef struct {
  Variant v;
  enum Target target;
  int with_callback; /* the argument is a fresh done-callback */
} Case;

static const Case cases[] = {
    {{"get_running_loop", "PyObject_CallNoArgs", call_noargs}, T_RUNNING_LOOP, 0},
    {{"get_running_loop", "PyObject_Vectorcall", call_vector0}, T_RUNNING_LOOP, 0},
    {{"get_running_loop", "PyObject_CallObject", call_object0}, T_RUNNING_LOOP, 0},
    {{"copy_context", "PyObject_CallNoArgs", call_noargs}, T_COPY_CONTEXT, 0},
    {{"copy_context", "PyObject_Vectorcall", call_vector0}, T_COPY_CONTEXT, 0},
    {{"create_future", "PyObject_CallMethodNoArgs", create_future_callmethod}, T_LOOP, 0},
    {{"create_future", "PyObject_VectorcallMethod", create_future_vectormethod}, T_LOOP, 0},
    {{"create_future", "PyObject_GetAttr + PyObject_CallNoArgs", create_future_getattr_call},
     T_LOOP, 0},
    {{"create_future", "PyObject_CallMethodObjArgs", create_future_objargs}, T_LOOP, 0},
    {{"new callback instance", "PyType_GenericAlloc", new_generic}, T_TYPE, 0},
    {{"new callback instance", "tp_alloc slot", new_tp_alloc}, T_TYPE, 0},
    {{"new callback instance", "PyObject_New", new_object}, T_TYPE, 0},
    {{"add_done_callback", "PyObject_CallMethodOneArg", add_done_callback_callmethod}, T_FUTURE, 1},
    {{"add_done_callback", "PyObject_VectorcallMethod", add_done_callback_vectormethod},
     T_FUTURE, 1},
    {{"add_done_callback", "PyObject_GetAttr + PyObject_CallOneArg",
      add_done_callback_getattr_call},
     T_FUTURE, 1},
    {{"add_done_callback", "PyObject_CallMethodObjArgs", add_done_callback_objargs}, T_FUTURE, 1},
    {{"cancelled", "PyObject_CallMethodNoArgs", cancelled_callmethod}, T_FUTURE, 0},
    {{"cancelled", "PyObject_VectorcallMethod", cancelled_vectormethod}, T_FUTURE, 0},
    {{"cancelled", "PyObject_GetAttr + PyObject_CallNoArgs", cancelled_getattr_call}, T_FUTURE, 0},
    {{"cancelled", "PyObject_CallMethodObjArgs", cancelled_objargs}, T_FUTURE, 0},
    {{"set_result read", "PyObject_GetAttr", getattr_set_result}, T_FUTURE, 0},
};

/* forms(n): [(step, form, ns per call)] for every case, each measured over
   n calls on its own fresh objects. On the loop thread, inside a running
   loop. */
static PyObject* forms(PyObject* self, PyObject* arg) {
  (void)self;
  Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "n must be positive");
    return NULL;
  }
  PyObject* loop = PyObject_CallNoArgs(f_get_running_loop);
  if (loop == NULL) return NULL;
  PyObject* out = PyList_New(0);
  PyObject* futures = PyList_New(n);
  PyObject* callbacks = PyList_New(n);
  if (out == NULL || futures == NULL || callbacks == NULL) goto fail;
  for (size_t c = 0; c < sizeof cases / sizeof cases[0]; ++c) {
    const Case* k = &cases[c];
    /* Fresh futures and callbacks for each case, made before the clock starts. */
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* fut = NULL;
      if (k->target == T_FUTURE) {
        fut = PyObject_CallMethodNoArgs(loop, s_create_future);
        if (fut == NULL) goto fail;
      } else {
        fut = new_ref(Py_None);
      }
      PyList_SetItem(futures, i, fut);
      PyObject* cb = k->with_callback ? new_instance(done_type) : new_ref(Py_None);
      if (cb == NULL) goto fail;
      PyList_SetItem(callbacks, i, cb);
    }
    PyObject* target = k->target == T_RUNNING_LOOP   ? f_get_running_loop
                       : k->target == T_COPY_CONTEXT ? f_copy_context
                       : k->target == T_LOOP         ? loop
                       : k->target == T_TYPE         ? (PyObject*)done_type
                                                     : NULL;
    long long start = now_ns();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* on = target ? target : PyList_GET_ITEM(futures, i);
      PyObject* a = k->with_callback ? PyList_GET_ITEM(callbacks, i) : NULL;
      PyObject* r = k->v.run(on, a);
      if (r == NULL) goto fail;
      Py_DECREF(r);
    }
    double ns = (double)(now_ns() - start) / (double)n;
    PyObject* row = Py_BuildValue("(ssd)", k->v.step, k->v.form, ns);
    if (row == NULL || PyList_Append(out, row) < 0) {
      Py_XDECREF(row);
      goto fail;
    }
    Py_DECREF(row);
  }
  /* call_soon_threadsafe: each form schedules n completions with the bare
     callable as completor; the loop runs them after this call returns. */
  {
    static const struct { const char* form; Form run; } soon[] = {
        {"PyObject_VectorcallMethod", soon_vectormethod},
        {"PyObject_GetAttr + PyObject_Vectorcall", soon_getattr_vector},
        {"PyObject_GetAttr + PyObject_Call", soon_getattr_call},
    };
    PyObject* bare = new_instance(bare_type);
    if (bare == NULL) goto fail;
    PyObject* a = PyTuple_Pack(4, bare, Py_None, bare, Py_None);
    Py_DECREF(bare);
    if (a == NULL) goto fail;
    for (size_t s = 0; s < sizeof soon / sizeof soon[0]; ++s) {
      long long start = now_ns();
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* r = soon[s].run(loop, a);
        if (r == NULL) {
          Py_DECREF(a);
          goto fail;
        }
        Py_DECREF(r);
      }
      double ns = (double)(now_ns() - start) / (double)n;
      PyObject* row = Py_BuildValue("(ssd)", "call_soon_threadsafe", soon[s].form, ns);
      if (row == NULL || PyList_Append(out, row) < 0) {
        Py_XDECREF(row);
        Py_DECREF(a);
        goto fail;
      }
      Py_DECREF(row);
    }
    Py_DECREF(a);
  }
  Py_DECREF(futures);
  Py_DECREF(callbacks);
  Py_DECREF(loop);
  return out;
fail:
  Py_XDECREF(out);
  Py_XDECREF(futures);
  Py_XDECREF(callbacks);
  Py_DECREF(loop);
  return NULL;
}

/* make(n): makes n awaitables the floor's way, every step in its cheapest
   form, and returns (futures, ns per step as a dict). The steps are timed
   one after another within each awaitable, so the dict's sum is what one
   awaitable costs to make (less one clock reading per step, measured and
   taken off). */
static PyObject* make(PyObject* self, PyObject* arg) {
  (void)self;
  Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "n must be positive");
    return NULL;
  }
  long long clock_cost = now_ns();
  for (int i = 0; i < 1000; ++i) (void)now_ns();
  double per_read = (double)(now_ns() - clock_cost) / 1001.0;
  long long spent[5] = {0, 0, 0, 0, 0};
  PyObject* futures = PyList_New(n);
  if (futures == NULL) return NULL;
  for (Py_ssize_t i = 0; i < n; ++i) {
    long long t0 = now_ns();
    PyObject* loop = PyObject_CallNoArgs(f_get_running_loop);
    long long t1 = now_ns();
    PyObject* context = loop ? PyObject_CallNoArgs(f_copy_context) : NULL;
    long long t2 = now_ns();
    PyObject* fut = context ? PyObject_CallMethodNoArgs(loop, s_create_future) : NULL;
    long long t3 = now_ns();
    PyObject* cb = fut ? new_instance(done_type) : NULL;
    long long t4 = now_ns();
    PyObject* added = cb ? PyObject_CallMethodOneArg(fut, s_add_done_callback, cb) : NULL;
    long long t5 = now_ns();
    Py_XDECREF(added);
    Py_XDECREF(cb);
    Py_XDECREF(context);
    Py_XDECREF(loop);
    if (added == NULL) {
      Py_XDECREF(fut);
      Py_DECREF(futures);
      return NULL;
    }
    PyList_SET_ITEM(futures, i, fut);
    spent[0] += t1 - t0;
    spent[1] += t2 - t1;
    spent[2] += t3 - t2;
    spent[3] += t4 - t3;
    spent[4] += t5 - t4;
  }
  static const char* names[] = {"get_running_loop", "copy_context", "create_future",
                                "new callback instance", "add_done_callback"};
  PyObject* steps = PyDict_New();
  for (int s = 0; steps != NULL && s < 5; ++s) {
    PyObject* ns = PyFloat_FromDouble((double)spent[s] / (double)n - per_read);
    if (ns == NULL || PyDict_SetItemString(steps, names[s], ns) < 0) Py_CLEAR(steps);
    Py_XDECREF(ns);
  }
  if (steps == NULL) {
    Py_DECREF(futures);
    return NULL;
  }
  PyObject* result = PyTuple_Pack(2, futures, steps);
  Py_DECREF(futures);
  Py_DECREF(steps);
  return result;
}

/* make_one(): one awaitable made the floor's way, returned to the caller:
   the shape of an AsyncRateLimiter method (a no-argument method returning a
   new future). */
static PyObject* make_one(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  PyObject* loop = PyObject_CallNoArgs(f_get_running_loop);
  if (loop == NULL) return NULL;
  PyObject* context = PyObject_CallNoArgs(f_copy_context);
  PyObject* fut = context ? PyObject_CallMethodNoArgs(loop, s_create_future) : NULL;
  PyObject* cb = fut ? new_instance(done_type) : NULL;
  PyObject* added = cb ? PyObject_CallMethodOneArg(fut, s_add_done_callback, cb) : NULL;
  Py_XDECREF(added);
  Py_XDECREF(cb);
  Py_XDECREF(context);
  Py_DECREF(loop);
  if (added == NULL) {
    Py_XDECREF(fut);
    return NULL;
  }
  return fut;
}

/* complete(futures, value): schedules each future's completion the floor's
   way and returns ns per step as a dict; the loop runs the completors (and
   then the done-callbacks) once control goes back to it. */
static PyObject* complete(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (nargs != 2 || !PyList_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "complete(futures: list, value)");
    return NULL;
  }
  PyObject* futures = args[0];
  PyObject* value = args[1];
  Py_ssize_t n = PyList_GET_SIZE(futures);
  if (n == 0) return PyDict_New();
  PyObject* loop = PyObject_CallNoArgs(f_get_running_loop);
  if (loop == NULL) return NULL;
  long long clock_cost = now_ns();
  for (int i = 0; i < 1000; ++i) (void)now_ns();
  double per_read = (double)(now_ns() - clock_cost) / 1001.0;
  long long spent[3] = {0, 0, 0};
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* fut = PyList_GET_ITEM(futures, i);
    long long t0 = now_ns();
    PyObject* completor = new_instance(completor_type);
    long long t1 = now_ns();
    PyObject* set_result = completor ? PyObject_GetAttr(fut, s_set_result) : NULL;
    long long t2 = now_ns();
    PyObject* done = NULL;
    if (set_result != NULL) {
      PyObject* argv[] = {loop, completor, fut, set_result, value, Py_None};
      done = PyObject_VectorcallMethod(s_call_soon_threadsafe, argv,
                                       5 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw_context);
    }
    long long t3 = now_ns();
    Py_XDECREF(set_result);
    Py_XDECREF(completor);
    if (done == NULL) {
      Py_DECREF(loop);
      return NULL;
    }
    Py_DECREF(done);
    spent[0] += t1 - t0;
    spent[1] += t2 - t1;
    spent[2] += t3 - t2;
  }
  Py_DECREF(loop);
  static const char* names[] = {"new completor instance", "set_result read",
                                "call_soon_threadsafe"};
  PyObject* steps = PyDict_New();
  for (int s = 0; steps != NULL && s < 3; ++s) {
    PyObject* ns = PyFloat_FromDouble((double)spent[s] / (double)n - per_read);
    if (ns == NULL || PyDict_SetItemString(steps, names[s], ns) < 0) Py_CLEAR(steps);
    Py_XDECREF(ns);
  }
  return steps;
}


/* --- the blocking class's methods, without the limiter ----------------------
   No-argument methods making the host calls RateLimiter's methods make:
   nothing (release), the lock let go and taken back around nothing, then
   True (a granted acquire), a new float (wait_time with a full window), a
   dict of new ints under made-once keys (get_remaining). */

static PyObject* nothing(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  Py_RETURN_NONE;
}

static PyObject* unlocked_true(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  PyThreadState* state = PyEval_SaveThread();
  PyEval_RestoreThread(state);
  Py_RETURN_TRUE;
}

static PyObject* new_float(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  return PyFloat_FromDouble(0.25);
}

static PyObject* dict_keys[5];

static PyObject* dict_of(int entries) {
  PyObject* d = PyDict_New();
  for (int i = 0; d != NULL && i < entries; ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(1000000000000ULL + (unsigned long long)i);
    if (v == NULL || PyDict_SetItem(d, dict_keys[i], v) < 0) Py_CLEAR(d);
    Py_XDECREF(v);
  }
  return d;
}

static PyObject* dict2(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  return dict_of(2);
}

static PyObject* dict5(PyObject* self, PyObject* unused) {
  (void)self;
  (void)unused;
  return dict_of(5);
}

static PyMethodDef methods[] = {
    {"nothing", nothing, METH_NOARGS, "nothing()\n--\n\nReturns None."},
    {"unlocked_true", unlocked_true, METH_NOARGS,
     "unlocked_true()\n--\n\nLets the interpreter lock go, takes it back, returns True."},
    {"new_float", new_float, METH_NOARGS, "new_float()\n--\n\nA new float."},
    {"dict2", dict2, METH_NOARGS, "dict2()\n--\n\nA new dict of two new ints."},
    {"dict5", dict5, METH_NOARGS, "dict5()\n--\n\nA new dict of five new ints."},
    {"forms", forms, METH_O, "forms(n)\n--\n\nEvery form of every step, timed."},
    {"make_one", make_one, METH_NOARGS, "make_one()\n--\n\nOne awaitable made the floor's way."},
    {"make", make, METH_O, "make(n)\n--\n\nn awaitables made the floor's way."},
    {"complete", (PyCFunction)(void (*)(void))complete, METH_FASTCALL,
     "complete(futures, value)\n--\n\nSchedules the completions the floor's way."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floorprobe", "", -1, methods};

static PyObject* import_attr(const char* module_name, const char* name) {
  PyObject* m = PyImport_ImportModule(module_name);
  if (m == NULL) return NULL;
  PyObject* a = PyObject_GetAttrString(m, name);
  Py_DECREF(m);
  return a;
}

PyMODINIT_FUNC PyInit_floorprobe(void) {
  s_create_future = PyUnicode_InternFromString("create_future");
  s_add_done_callback = PyUnicode_InternFromString("add_done_callback");
  s_cancelled = PyUnicode_InternFromString("cancelled");
  s_set_result = PyUnicode_InternFromString("set_result");
  s_call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  s_context = PyUnicode_InternFromString("context");
  static const char* key_names[] = {"second", "minute", "hour", "day", "burst"};
  for (int i = 0; i < 5; ++i) {
    dict_keys[i] = PyUnicode_InternFromString(key_names[i]);
    if (dict_keys[i] == NULL) return NULL;
  }
  kw_context = s_context ? PyTuple_Pack(1, s_context) : NULL;
  f_get_running_loop = import_attr("asyncio", "get_running_loop");
  f_copy_context = import_attr("contextvars", "copy_context");
  bare_type = make_type("floorprobe.Bare", bare_call);
  done_type = make_type("floorprobe.DoneCallback", done_call);
  completor_type = make_type("floorprobe.Completor", completor_call);
  if (!kw_context || !f_get_running_loop || !f_copy_context || !bare_type || !done_type ||
      !completor_type) {
    return NULL;
  }
  PyObject* m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  if (PyModule_AddObject(m, "Bare", new_ref((PyObject*)bare_type)) < 0 ||
      PyModule_AddObject(m, "DoneCallback", new_ref((PyObject*)done_type)) < 0 ||
      PyModule_AddObject(m, "Completor", new_ref((PyObject*)completor_type)) < 0) {
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
