"""The package's face: what `import zuli_physics` gives, and behaviour that
the native functions and their pure-Python twin share case by case."""

import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import native, same

import zuli_physics
from zuli_physics import collide

I3 = np.eye(3)
IMPLEMENTATIONS = {"native": native, "collide": collide}


def test_top_level_exports():
    for name in ("box_box", "sphere_sphere", "sphere_box", "capsule_triangles"):
        assert getattr(zuli_physics, name) is getattr(native, name)
    assert set(zuli_physics.__all__) == {"box_box", "sphere_sphere", "sphere_box", "capsule_triangles", "batch",
                                         "mesh", "collide", "__version__"}
    assert zuli_physics.batch.__name__ == "zuli_physics.batch"
    assert zuli_physics.mesh.TriangleMesh.__module__ == "zuli_physics.mesh"
    assert zuli_physics.__version__.count(".") == 2


def test_missing_extension_says_how_to_build(tmp_path):
    package = pathlib.Path(zuli_physics.__file__).parent
    copy = tmp_path / "zuli_physics"
    shutil.copytree(package, copy, ignore=shutil.ignore_patterns("_collide_native*", "__pycache__"))
    proc = subprocess.run([sys.executable, "-c", "import zuli_physics"], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(tmp_path)}, cwd=tmp_path)
    assert proc.returncode != 0
    assert "native extension is not built" in proc.stderr and "pip install ." in proc.stderr


def v(*xs):
    return np.array(xs, dtype=np.float64)


# (function, arguments, expected result) that hold for both implementations.
CASES = [
    ("box_box", (v(0, 0, 0), I3, v(1, 1, 1), v(0, 0, 1.5), I3, v(1, 1, 1)),
     (4, (0.0, 0.0, 1.0), [(1.0, 1.0, 1.0), (-1.0, 1.0, 1.0), (-1.0, -1.0, 1.0), (1.0, -1.0, 1.0)],
      [0.5, 0.5, 0.5, 0.5])),
    ("box_box", (v(0, 0, 0), I3, v(1, 1, 1), v(0, 0, 5), I3, v(1, 1, 1)), (0, (0.0, 0.0, 0.0), [], [])),
    ("sphere_sphere", (v(0, 0, 0), 1.0, v(2, 0, 0), 1.0), (0, (0.0, 0.0, 0.0), [], [])),  # touching: separated
    ("sphere_sphere", (v(0, 0, 0), 1.0, v(1.5, 0, 0), 1.0), (1, (1.0, 0.0, 0.0), [(0.75, 0.0, 0.0)], [0.5])),
    ("sphere_box", (v(0, 0, 2), 1.0, v(0, 0, 0), I3, v(1, 1, 1)), (1, (-0.0, -0.0, -1.0), [(0.0, 0.0, 1.0)], [0.0])),
]


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
@pytest.mark.parametrize("name, args, want", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_shared_behaviour(impl, name, args, want):
    got = getattr(IMPLEMENTATIONS[impl], name)(*args)
    assert same(tuple(got), want) or same(got, want)


@pytest.mark.parametrize("impl", IMPLEMENTATIONS)
def test_capsule_triangles_writes_in_place(impl):
    verts = np.array([[[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 0, 5], [1, 0, 5], [0, 1, 5]]], dtype=np.float64)
    hit = np.full(2, 7, np.uint8)
    points, normals, depths = np.full((2, 3), -9.0), np.full((2, 3), -9.0), np.full(2, -9.0)
    IMPLEMENTATIONS[impl].capsule_triangles(v(0.25, 0.25, 0.2), v(0.25, 0.25, 1.0), 0.5, verts, hit, points,
                                            normals, depths)
    assert hit.tolist() == [1, 0]
    assert points[0].tolist() == [0.25, 0.25, 0.0] and normals[0].tolist() == [0.0, 0.0, 1.0]
    assert depths.tolist() == [0.3, -9.0]  # a miss leaves its row alone


@pytest.mark.parametrize("module", ["zuli_physics.collide", "zuli_physics.batch"])
def test_documented_examples_run(module):
    import doctest
    import importlib

    result = doctest.testmod(importlib.import_module(module))
    assert result.attempted > 0 and result.failed == 0


RESULT_KINDS = ["box_box", "box_box out=tuple", "sphere_sphere", "capsule", "capsule out=", "capsules"]


@pytest.fixture(scope="module")
def named_results():
    from zuli_physics import batch, mesh

    c = np.zeros((2, 3))
    R = np.broadcast_to(np.eye(3), (2, 3, 3))
    h = np.ones((2, 3))
    boxes = batch.box_box(c, R, h, c, R, h)
    ground = mesh.TriangleMesh.from_triangles(np.array([[[0.0, 0, 0], [1, 0, 0], [0, 1, 0]]]))
    cap = (np.array([0.2, 0.2, 0.1]), np.array([0.2, 0.2, 1.0]), 0.3)
    room = (np.zeros(4, np.int64), np.zeros((4, 3)), np.zeros((4, 3)), np.zeros(4))
    results = {
        "box_box": boxes,
        "box_box out=tuple": batch.box_box(c, R, h, c, R, h, out=tuple(np.empty_like(a) for a in boxes)),
        "sphere_sphere": batch.sphere_sphere(c, 1.0, c, 1.0),
        "capsule": ground.capsule(*cap),
        "capsule out=": ground.capsule(*cap, out=room),
        "capsules": ground.capsules(cap[0][None], cap[1][None], cap[2])[1],
    }
    assert list(results) == RESULT_KINDS
    return results


@pytest.mark.parametrize("name", RESULT_KINDS)
def test_results_behave_as_tuples_of_arrays(named_results, name):
    res = named_results[name]
    assert res == tuple(res) == type(res)(*res)  # the same items: tuples compare them by identity first
    assert list(res._asdict()) == list(res._fields)
    assert repr(res).startswith(type(res).__name__ + "(")
    back = pickle.loads(pickle.dumps(res))
    assert type(back) is type(res) and [a.tobytes() for a in back] == [a.tobytes() for a in res]
    with pytest.raises(TypeError, match="unhashable"):  # arrays have no hash, so neither has the tuple
        hash(res)


def test_wheel_ships_stubs_licence_and_requirements():
    import zipfile

    from test_module import needs

    with zipfile.ZipFile(needs("ZULI_WHEEL")) as wheel:
        names = wheel.namelist()
        metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    files = {n.split("/", 1)[1] for n in names if n.startswith("zuli_physics/")}
    for stub in ("_collide_native.pyi", "_batch.pyi", "mesh.pyi", "py.typed", "__init__.py", "batch.py",
                 "collide.py"):
        assert stub in files
    for module in ("_collide_native", "_batch", "mesh"):
        assert any(f.startswith(module + ".cpython-") and f.endswith(".so") for f in files), module
    assert any(n.endswith("LICENSE") for n in names)
    assert "License-Expression: MIT" in metadata or "License: MIT" in metadata
    assert "Requires-Dist: numpy" in metadata


def test_readme_examples_run():
    """The README's interactive examples, one session, exactly as printed."""
    import doctest
    import re

    readme = pathlib.Path(__file__).parents[2] / "README.md"
    session = "".join(re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S))
    test = doctest.DocTestParser().get_doctest(session, {}, "README", str(readme), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.tries > 10 and runner.failures == 0


def test_readme_stays_short_and_its_links_exist():
    import re

    root = pathlib.Path(__file__).parents[2]
    text = (root / "README.md").read_text(encoding="utf-8")
    assert len(text.splitlines()) <= 200
    links = re.findall(r"\]\(([^)#]+)", text)
    assert links and all((root / link).exists() for link in links), links
