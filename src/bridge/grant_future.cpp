// GrantFuture: the class is written in the host's own language and made
// once per process. Its await runs on every acquire of a limiter with
// max_burst, and the interpreter runs it as fast as asyncio.Future's own
// (on PyPy, calls into native code would cost more than the whole await);
// only the rare hand-back calls into the native holder.
#include "bridge/grant_future.hpp"

#include "host/convert.hpp"

namespace ratevane::bridge {
namespace {

using host::HostError;
using host::Ref;
using host::Result;

constexpr const char* kClassSource = R"PY(
GIVEN_BACK = object()


class GrantFuture(Future):
    """The future of an acquire that may take a burst permit. When the
    awaiting task is cancelled after the grant arrived and before it
    resumed, the permit goes back, and result() answers None from then on."""

    _grant = None  # what holds the grant's permit; GIVEN_BACK once handed back

    def __await__(self):
        if not self.done():
            self._asyncio_future_blocking = True
            try:
                yield self
            except BaseException:
                # A cancel (or any exception) thrown in, or the coroutine
                # closed: the awaiter never sees the result.
                grant = self._grant
                if grant is not None and grant is not GIVEN_BACK:
                    self._grant = GIVEN_BACK
                    grant.give_back()
                raise
        if not self.done():
            raise RuntimeError("await wasn't used with future")
        return self.result()

    __iter__ = __await__

    def result(self):
        if self._grant is GIVEN_BACK:
            return None
        return Future.result(self)
)PY";

PyObject* grant_future_class = nullptr;  // made once, kept for the process
PyObject* grant_name = nullptr;          // "_grant"

Result<PyObject*> grant_future_type() {
  if (grant_future_class != nullptr) return grant_future_class;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return HostError::fetch();
  Ref future = Ref::steal(PyObject_GetAttrString(asyncio.get(), "Future"));
  if (!future) return HostError::fetch();
  Ref globals = host::checked(PyDict_New());
  Ref name = host::to_str("ratevane");
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0 ||
      PyDict_SetItemString(globals.get(), "Future", future.get()) < 0) {
    return HostError::fetch();
  }
  Ref code = Ref::steal(Py_CompileString(kClassSource, "<ratevane GrantFuture>", Py_file_input));
  if (!code) return HostError::fetch();
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return HostError::fetch();
  PyObject* cls = PyDict_GetItemString(globals.get(), "GrantFuture");  // borrowed
  if (cls == nullptr) host::fail("the GrantFuture class was not made");
  grant_name = PyUnicode_InternFromString("_grant");
  if (grant_name == nullptr) return HostError::fetch();
  Py_INCREF(cls);
  grant_future_class = cls;
  return grant_future_class;
}

}  // namespace

Result<Ref> new_grant_future(PyObject* loop) {
  Result<PyObject*> type = grant_future_type();
  if (!type) return std::move(type.error());
  static PyObject* no_args = nullptr;
  if (no_args == nullptr) no_args = host::checked(PyTuple_New(0)).release();
  Ref kwargs = host::checked(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "loop", loop) < 0) return HostError::fetch();
  Ref future = Ref::steal(PyObject_Call(*type, no_args, kwargs.get()));
  if (!future) return HostError::fetch();
  return future;
}

bool is_grant_future(PyObject* future) {
  return grant_future_class != nullptr &&
         reinterpret_cast<PyObject*>(Py_TYPE(future)) == grant_future_class;
}

Result<Ref> keep_grant(PyObject* future, PyObject* holder) {
  if (PyObject_SetAttr(future, grant_name, holder) < 0) return HostError::fetch();
  return host::none();
}

}  // namespace ratevane::bridge
