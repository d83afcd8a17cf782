"""Two jobs on Windows PE files, for the win_amd64 wheel.

    python cross/pe_tool.py def python3.dll > python3.def
        The DLL's exported names as a module-definition file, which
        `zig dlltool` turns into the import library extensions link with.

    python cross/pe_tool.py check WHEEL
        The wheel holds the two stable-ABI modules (ratevane.pyd and
        ratevane_shm.pyd) and nothing else that is an extension; each
        imports from python3.dll, KERNEL32 and the Universal CRT only
        (ratevane_shm from ADVAPI32 too), and exports its module entries
        only; prints what it found.
"""

import re
import sys
import zipfile

import pefile

# What a module built with Zig's C++ runtime linked in may load: the
# interpreter's stable-ABI DLL, the kernel and the Universal CRT's API sets, all present on
# every supported Windows (the CRT's as part of Windows 10, or the update
# that CPython's own installer brings on older systems).
ALLOWED_IMPORT = re.compile(r"^(python3\.dll|kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$", re.I)
# The host budgets' module builds security descriptors for its named
# mapping and mutex, which takes ADVAPI32 (on every Windows as well).
ADVAPI = re.compile(r"^advapi32\.dll$", re.I)
# Each module the wheel must hold: its module entries, and what it may
# import beyond ALLOWED_IMPORT.
MODULES = {
    "ratevane.pyd": ({"PyInit_ratevane", "PyInit_awaitable_bridge"}, None),
    "ratevane_shm.pyd": ({"PyInit_ratevane_shm"}, ADVAPI),
}
PACKAGES = {"ratevane-stubs", "ratevane_shm-stubs", "ratevane_redis"}
REQUIRED = ["ratevane-stubs/__init__.pyi", "ratevane_shm-stubs/__init__.pyi",
            "ratevane_redis/__init__.py"]


def imports_and_exports(data):
    pe = pefile.PE(data=data, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
    ])
    imports = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    exports = []
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        exports = [symbol.name.decode() if symbol.name else f"#{symbol.ordinal}"
                   for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    return pe, imports, exports


def write_def(dll_path):
    _, _, exports = imports_and_exports(open(dll_path, "rb").read())
    name = dll_path.replace("\\", "/").rsplit("/", 1)[-1]
    print(f"LIBRARY {name}")
    print("EXPORTS")
    for symbol in exports:
        if not symbol.startswith("#"):
            print(f"  {symbol}")


def check_wheel(path):
    failures = []
    with zipfile.ZipFile(path) as wheel:
        modules = [n for n in wheel.namelist() if n.endswith(".pyd")]
        # The module, its stubs, the pure-Python companion and the metadata;
        # nothing else (an import library or a DLL beside the module would
        # be an install mistake).
        names = wheel.namelist()
        extra = [n for n in names if n not in modules and n.split("/", 1)[0] not in PACKAGES
                 and not re.match(r"^ratevane-[^/]+\.dist-info/", n)]
        if extra:
            failures.append(f"files that do not belong in the wheel: {extra}")
        for required in REQUIRED:
            if required not in names:
                failures.append(f"{required} missing")
        missing = sorted(set(MODULES) - set(modules))
        if missing:
            failures.append(f"extension modules missing: {missing}")
        for name in modules:
            if name not in MODULES:
                failures.append(f"{name}: not a stable-ABI module of this distribution "
                                f"({sorted(MODULES)})")
                continue
            entries, also_allowed = MODULES[name]
            pe, imports, exports = imports_and_exports(wheel.read(name))
            print(f"{name}: machine {pe.FILE_HEADER.Machine:#x}, imports {imports}, exports {exports}")
            if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
                failures.append(f"{name}: not an x86-64 image")
            bad = [dll for dll in imports if not ALLOWED_IMPORT.match(dll)
                   and not (also_allowed and also_allowed.match(dll))]
            if bad:
                failures.append(f"{name}: imports {bad}")
            if set(exports) != entries:
                failures.append(f"{name}: exports {sorted(exports)}, not {sorted(entries)}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "def":
        write_def(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "check":
        sys.exit(check_wheel(sys.argv[2]))
    else:
        sys.exit(__doc__)
