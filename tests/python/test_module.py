"""What the module and its two class objects look like from Python: import,
names, signatures, method tables, and the argument handling of __exit__."""

import importlib
import importlib.machinery
import importlib.util
import inspect
import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import ratevane
from conftest import IS_PYPY

SIGNATURE = (
    "(sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, "
    "hour_window=None, day_window=None, blocking=True, max_burst=None)"
)
PARAMS = ["sec", "min", "hour", "day", "sec_window", "min_window", "hour_window", "day_window",
          "blocking", "max_burst"]
CLASSES = ["RateLimiter", "AsyncRateLimiter"]
METHODS = {
    "RateLimiter": ["acquire", "release", "get_remaining", "wait_time", "__enter__", "__exit__"],
    "AsyncRateLimiter": ["acquire", "release", "get_remaining", "wait_time", "__aenter__",
                         "__aexit__"],
}
EXIT_PARAMS = "_exc_type, _exc_value, _traceback"

cpython_only = pytest.mark.skipif(IS_PYPY, reason="PyPy lets types made by PyType_FromSpec "
                                  "be subclassed and take new attributes")


@pytest.fixture(params=CLASSES)
def cls(request):
    return getattr(ratevane, request.param)


# --- the module -------------------------------------------------------------


def test_import_again_gives_the_same_module():
    assert importlib.import_module("ratevane") is ratevane
    assert __import__("ratevane") is ratevane


def test_second_initialisation_gives_the_same_module():
    # module_from_spec runs the extension's init export once more.
    spec = importlib.util.spec_from_file_location("ratevane", ratevane.__file__)
    assert importlib.util.module_from_spec(spec) is ratevane


def test_import_after_forgetting_the_module_gives_the_same_classes():
    saved = sys.modules.pop("ratevane")
    try:
        again = importlib.import_module("ratevane")
        assert again.RateLimiter is saved.RateLimiter
        assert again.AsyncRateLimiter is saved.AsyncRateLimiter
        if not IS_PYPY:  # PyPy hands out a fresh module object around the same classes
            assert again is saved
    finally:
        sys.modules["ratevane"] = saved


def test_module_attributes():
    assert ratevane.__name__ == "ratevane"
    assert ratevane.__doc__ == ""
    assert type(ratevane.__all__) is list
    assert ratevane.__all__ == ["RateLimiter", "AsyncRateLimiter"]
    public = {name for name in vars(ratevane) if not name.startswith("_")}
    assert public == {"RateLimiter", "AsyncRateLimiter"}  # no functions of its own


# The libraries a build may load besides the interpreter: glibc's own. The
# loader is among them because thread-local storage in a shared library is
# reached through it.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


WINDOWS = sys.platform == "win32"
ENTRIES = {"PyInit_ratevane", "PyInit_awaitable_bridge"}
elf_only = pytest.mark.skipif(WINDOWS, reason="reads an ELF library; a DLL is checked below")
windows_only = pytest.mark.skipif(not WINDOWS, reason="reads a Windows DLL")


@elf_only
def test_library_exports_its_two_module_entries_only():
    symbols = subprocess.run(["nm", "-D", "--defined-only", ratevane.__file__],
                             capture_output=True, text=True, check=True).stdout.split()
    assert set(symbols[2::3]) == ENTRIES, symbols


# The CPython wheels hold one module for the stable ABI, which every CPython
# from 3.10 on loads: named with the stable-ABI suffix on Linux, and plain
# ".pyd" on Windows (which has no other stable-ABI name).
STABLE_ABI_SUFFIX = ".pyd" if WINDOWS else ".abi3.so"


def is_stable_abi_module(path):
    return not IS_PYPY and os.path.basename(path) == "ratevane" + STABLE_ABI_SUFFIX


def test_library_file_carries_the_interpreters_own_suffix():
    # The full suffix of this interpreter (implementation, version and
    # platform), or on CPython the stable-ABI one, never a bare ".so" that
    # any interpreter (PyPy too) would also load.
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    name = os.path.basename(ratevane.__file__)
    assert name == "ratevane" + suffixes[0] or is_stable_abi_module(name), (name, suffixes)
    assert name[len("ratevane"):] in suffixes, (name, suffixes)


@pytest.mark.skipif("RATEVANE_WHEEL" not in os.environ or IS_PYPY,
                    reason="the CPython wheels hold a stable-ABI module; PyPy has no stable ABI")
def test_cpython_wheel_holds_the_stable_abi_module():
    assert is_stable_abi_module(ratevane.__file__), ratevane.__file__
    import ratevane_shm
    assert os.path.basename(ratevane_shm.__file__) == "ratevane_shm" + STABLE_ABI_SUFFIX


installed_wheel = pytest.mark.skipif(
    "RATEVANE_WHEEL" not in os.environ,
    reason="checks an installed binary wheel (make test sets RATEVANE_WHEEL)")


def check_loaded_from_the_wheel():
    # Loaded from where the wheel was installed: the interpreter's own
    # site-packages, or the folder RATEVANE_WHEEL names (pip --target).
    target = os.environ["RATEVANE_WHEEL"]
    where = target if os.path.isdir(target) else sysconfig.get_paths()["platlib"]
    assert os.path.normcase(ratevane.__file__).startswith(
        os.path.normcase(os.path.join(where, ""))), (ratevane.__file__, where)


@installed_wheel
@elf_only
def test_wheel_library_needs_only_glibc():
    check_loaded_from_the_wheel()
    dynamic = subprocess.run(["readelf", "-d", ratevane.__file__],
                             capture_output=True, text=True, check=True).stdout
    needed = {line.rsplit("[", 1)[1].rstrip("]") for line in dynamic.splitlines()
              if "(NEEDED)" in line}
    assert needed <= SYSTEM_LIBRARIES, needed


def dll_imports_and_exports(path):
    import pefile  # installed with the test tools of the Windows run

    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
    ])
    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    exports = []
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        exports = [symbol.name.decode() if symbol.name else f"#{symbol.ordinal}"
                   for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    pe.close()
    return imports, exports


@windows_only
def test_dll_exports_its_two_module_entries_only():
    _, exports = dll_imports_and_exports(ratevane.__file__)
    assert sorted(exports) == sorted(ENTRIES), exports


@installed_wheel
@windows_only
def test_wheel_dll_needs_only_the_interpreter_the_kernel_and_the_crt():
    # The C++ runtime is inside the module: a libstdc++, libgcc or
    # winpthread DLL, or Microsoft's C++ runtime, would have to be installed
    # beside it.
    check_loaded_from_the_wheel()
    imports, _ = dll_imports_and_exports(ratevane.__file__)
    # A stable-ABI module links against python3.dll, which every CPython
    # from 3.2 on installs and which forwards to the versioned DLL.
    expected_python = ("python3.dll" if is_stable_abi_module(ratevane.__file__)
                       else "python%d%d.dll" % sys.version_info[:2])
    others = {dll for dll in imports
              if dll not in (expected_python, "kernel32.dll") and not dll.startswith("api-ms-win-crt-")}
    assert expected_python in imports and "kernel32.dll" in imports, imports
    assert others == set(), imports


# --- the class objects ------------------------------------------------------


def test_class_names(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls is getattr(ratevane, cls.__name__)


# CPython before 3.10 copies a type spec's doc without its signature line,
# so a source build on 3.9 shows none either.
@pytest.mark.xfail((IS_PYPY and sys.version_info >= (3, 11))
                   or (not IS_PYPY and sys.version_info < (3, 10)), strict=True,
                   reason="PyPy 3.11 (7.3.19, 8.0.1) keeps no class doc from a type spec, and "
                          "CPython 3.9 keeps it without the signature, so the classes show no "
                          "text signature there")
def test_class_signature(cls):
    assert cls.__text_signature__ == SIGNATURE
    signature = inspect.signature(cls)
    assert str(signature) == SIGNATURE
    assert list(signature.parameters) == PARAMS
    assert {p.kind for p in signature.parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_class_doc(cls):
    # The doc text is only the signature; what is left after it is empty.
    # PyPy reports an empty class docstring as None.
    assert cls.__doc__ == (None if IS_PYPY else "")


def test_method_table(cls):
    own = sorted(name for name, value in vars(cls).items()
                 if callable(value) and name not in ("__new__",))
    assert own == sorted(METHODS[cls.__name__])
    for name in METHODS[cls.__name__]:
        assert getattr(cls, name).__doc__ is None  # a signature and an empty docstring


@pytest.mark.skipif(IS_PYPY, reason="PyPy shows no text signatures of methods")
def test_method_signatures(cls):
    *plain, exit_name = METHODS[cls.__name__]
    for name in plain:
        assert getattr(cls, name).__text_signature__ == "($self)"
        assert str(inspect.signature(getattr(cls, name))) == "(self, /)"
    assert getattr(cls, exit_name).__text_signature__ == f"($self, {EXIT_PARAMS})"
    assert str(inspect.signature(getattr(cls, exit_name))) == f"(self, /, {EXIT_PARAMS})"


@cpython_only
def test_subclassing_refused(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@cpython_only
def test_no_instance_dict_and_no_weak_references(cls):
    instance = cls(sec=1)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


# --- arguments to methods -----------------------------------------------------


@pytest.mark.parametrize("cls_name,method", [
    (c, m) for c in CLASSES for m in METHODS[c][:-1]
])
def test_no_argument_methods_refuse_arguments(cls_name, method):
    instance = getattr(ratevane, cls_name)(sec=5, blocking=False)
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(instance, method)(1)
    with pytest.raises(TypeError):
        getattr(instance, method)(x=1)


def test_methods_refuse_an_instance_of_the_other_class():
    rate, other = ratevane.RateLimiter(sec=5), ratevane.AsyncRateLimiter(sec=5)
    for name in ["acquire", "release", "get_remaining", "wait_time", "__enter__"]:
        with pytest.raises(TypeError):
            getattr(ratevane.RateLimiter, name)(other)
    with pytest.raises(TypeError):
        ratevane.RateLimiter.__exit__(other, None, None, None)
    with pytest.raises(TypeError):
        ratevane.AsyncRateLimiter.acquire(rate)
    assert rate.get_remaining() == {"second": 5}


EXIT_ERRORS = [
    ((), {}, "missing 3 required positional arguments: '_exc_type', '_exc_value', and "
             "'_traceback'"),
    ((None,), {}, "missing 2 required positional arguments: '_exc_value' and '_traceback'"),
    ((None, None), {}, "missing 1 required positional argument: '_traceback'"),
    ((None,), {"_traceback": None}, "missing 1 required positional argument: '_exc_value'"),
    ((None, None, None, None), {}, "takes 3 positional arguments but 4 were given"),
    ((None, None, None, None), {"bogus": 1}, "takes 3 positional arguments but 4 were given"),
    ((None, None, None), {"exc": None}, "got an unexpected keyword argument 'exc'"),
    ((None, None, None), {"_exc_type": None}, "got multiple values for argument '_exc_type'"),
    ((), {"_exc_type": None, "_exc_value": None, "_traceback": None, "extra": 1},
     "got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("args,kwargs,message", EXIT_ERRORS)
def test_exit_argument_errors(args, kwargs, message):
    limiter = ratevane.RateLimiter(sec=5, max_burst=2)
    assert limiter.acquire()
    with pytest.raises(TypeError) as info:
        limiter.__exit__(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == "RateLimiter.__exit__() " + message
    # The refused call handed nothing back.
    assert limiter.get_remaining()["burst"] == 1


def test_exit_arguments_are_checked_before_the_instance():
    with pytest.raises(TypeError, match=r"^RateLimiter\.__exit__\(\) missing 3 required"):
        ratevane.RateLimiter.__exit__(ratevane.RateLimiter(sec=1))


@pytest.mark.parametrize("args,kwargs", [
    ((None, None, None), {}),
    ((), {"_exc_type": None, "_exc_value": None, "_traceback": None}),
    ((ValueError,), {"_traceback": object(), "_exc_value": ValueError("x")}),
    ((1, "two", [3]), {}),
])
def test_exit_accepts_any_three_objects(args, kwargs):
    limiter = ratevane.RateLimiter(sec=5)
    assert limiter.__exit__(*args, **kwargs) is False
