"""The module object: initialisation, attributes, function objects, stubs."""

import ast
import importlib
import inspect
import os
import pathlib
import shutil
import subprocess

import pytest
from conftest import native, run_isolated

NAMES = ["box_box", "sphere_sphere", "sphere_box", "capsule_triangles"]
SIGNATURES = {
    "box_box": ["ca", "Ra", "ha", "cb", "Rb", "hb"],
    "sphere_sphere": ["ca", "ra", "cb", "rb"],
    "sphere_box": ["cs", "rs", "cb", "Rb", "hb"],
    "capsule_triangles": ["cp0", "cp1", "radius", "verts", "hit", "points", "normals", "depths"],
}
MODULE_DOC = (
    "Native oriented box\u2194box contact generation (SAT + face clipping).\n"
    "\n"
    "A faithful port of :func:`zuli_physics.collide.box_box` and its clip\n"
    "helpers: same 15-axis separating-axis test, same reference/incident face choice,\n"
    "same Sutherland-Hodgman clip and 4-point manifold reduction -- but on C doubles\n"
    "with fixed-size scratch, so a pair costs native arithmetic instead of dozens of\n"
    "tiny numpy calls. Boxes are passed as ``center(3)``, world rotation ``R(3,3)``\n"
    "(columns are the box axes) and half-extents ``half(3)``; no proxy object needed.\n"
)
DOCS = {
    "box_box": "Return ``(count, normal, points, depths)`` for the oriented box pair.\n\n"
    "    ``normal`` is a length-3 tuple, ``points`` a list of ``count`` (x, y, z)\n"
    "    tuples and ``depths`` a list of ``count`` penetration depths.\n    ",
    "sphere_sphere": "Sphere\u2194sphere: ``(count, normal a\u2192b, [point], [depth])``.",
    "sphere_box": "Sphere\u2194oriented-box: ``(count, normal sphere\u2192box, [point], [depth])``.",
    "capsule_triangles": "Fill ``hit``/``points``/``normals``/``depths`` for every triangle.\n\n"
    "    ``verts`` is ``(N, 3, 3)`` -- triangle, vertex, axis. The output arrays are\n"
    "    written in place and are the caller's, so a controller reuses one set of\n"
    "    buffers across a frame instead of allocating per query.\n    ",
}
REQUIRE_ALL = os.environ.get("ZULI_REQUIRE_ALL") == "1"


def needs(var):
    """The path a test run prepared in `var`; skips (or fails, in make test)."""
    value = os.environ.get(var)
    if not value:
        if REQUIRE_ALL:
            pytest.fail(f"{var} is not set")
        pytest.skip(f"{var} is not set")
    return value


def test_module_attributes():
    assert native.__doc__ == MODULE_DOC
    assert native.__name__ == "zuli_physics._collide_native"
    assert native.__test__ == {}
    assert native.__builtins__ is __import__("builtins")
    assert not hasattr(native, "__path__")
    assert native.__file__.endswith(".so")
    functions = [k for k, v in vars(native).items() if type(v) is type(native.box_box)]
    assert functions == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    f = getattr(native, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "zuli_physics._collide_native")
    assert f.__doc__ == DOCS[name]
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(native)
    params = inspect.signature(f).parameters
    assert list(params) == SIGNATURES[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params.values())


def test_function_type_is_closed():
    with pytest.raises(TypeError):
        type(native.box_box)()


def test_reimport_gives_identical_objects():
    got = run_isolated("""
        import importlib, sys
        first = sys.modules.pop("zuli_physics._collide_native")
        functions = [first.box_box, first.capsule_triangles]
        again = importlib.import_module("zuli_physics._collide_native")
        importlib.reload(again)
        print(json.dumps([again is first, again.box_box is functions[0],
                          again.capsule_triangles is functions[1]]))
    """)
    assert got == [True, True, True]


def test_import_under_another_name_registers_canonical_name():
    got = run_isolated(f"""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("_collide_native", {native.__file__!r})
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(json.dumps([m.__name__, sys.modules["zuli_physics._collide_native"] is m,
                          m.box_box.__module__]))
    """, preload=False)
    assert got == ["_collide_native", True, "zuli_physics._collide_native"]


def test_second_interpreter_is_refused():
    got = run_isolated("""
        import _interpreters
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.exec(interp, "import zuli_physics._collide_native")
        _interpreters.destroy(interp)
        ok = native.sphere_sphere(np.zeros(3), 1.0, np.array([1.5, 0, 0]), 1.0)[0]
        print(json.dumps([err.type.__name__, err.msg, ok]))
    """)
    assert got == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        1,
    ]


def test_no_warning_on_314():
    got = run_isolated("""
        import importlib, sys, warnings
        del sys.modules["zuli_physics._collide_native"]
        print(json.dumps("ok"))
    """, env={"PYTHONWARNINGS": "error"})
    assert got == "ok"


VERSION_WARNING = (
    "compile time Python version 3.14 of module 'zuli_physics._collide_native' "
    "does not match runtime version 3.13"
)


@pytest.mark.parametrize("flags, expect_ok", [([], True), (["-W", "error"], False)])
def test_version_mismatch_warns(flags, expect_ok):
    path = needs("ZULI_PY313_PYTHONPATH")
    code = (
        "import warnings\n"
        "warnings.simplefilter('always')\n"
        "with warnings.catch_warnings(record=True) as w:\n"
        "    import zuli_physics._collide_native as m\n"
        "print([(x.category.__name__, str(x.message)) for x in w], m.__name__)\n"
    )
    if not expect_ok:
        code = "import zuli_physics._collide_native\n"
    proc = subprocess.run(["python3.13", *flags, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": path})
    if expect_ok:
        assert proc.returncode == 0, proc.stderr
        assert f"('RuntimeWarning', \"{VERSION_WARNING}\")" in proc.stdout
    else:
        assert proc.returncode != 0
        assert f"RuntimeWarning: {VERSION_WARNING}" in proc.stderr


@pytest.mark.parametrize("module", ["_collide_native", "_batch", "mesh"])
def test_only_init_is_exported(module):
    nm = shutil.which("nm")
    if not nm:
        pytest.skip("no nm")
    path = importlib.import_module(f"zuli_physics.{module}").__file__
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [f"PyInit_{module}"]


def test_stubs_match_module():
    stub = pathlib.Path(native.__file__).with_name("_collide_native.pyi")
    assert stub.with_name("py.typed").exists()
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    assert ast.get_docstring(tree, clean=False) == MODULE_DOC
    defs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(defs) == NAMES
    for name, node in defs.items():
        assert ast.get_docstring(node, clean=False) == DOCS[name]
        assert [a.arg for a in node.args.args] == SIGNATURES[name]


@pytest.mark.parametrize("name", NAMES)
def test_functions_pickle_by_name_and_read_as_routines(name):
    import pickle

    fn = getattr(native, name)
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert inspect.isroutine(fn)

    class Holder:
        method = fn

    assert Holder.method is fn and Holder().method is fn


def test_pydoc_lists_functions_with_signatures():
    import pydoc

    text = pydoc.render_doc(native, renderer=pydoc.plaintext)
    functions = text[text.index("FUNCTIONS"):]
    for name, params in SIGNATURES.items():
        assert f"{name}({', '.join(params)})" in functions
