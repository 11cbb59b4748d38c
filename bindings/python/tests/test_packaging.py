"""test_packaging.py - the binding as users get it: installed offline by pip from a copy
of bindings/python, the Windows wheel's metadata, and the examples/run_script.py host,
run in fresh interpreters against the real qel-lua-service.
"""
import os
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import BINDING_DIR
import qel_zmq

EXAMPLE = os.path.join(BINDING_DIR, "..", "..", "examples", "run_script.py")


def clean_environment(library, **extra):
    """This environment without pip settings of the machine, with the library's path."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("PIP_") and k not in ("PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_DISABLE_PIP_VERSION_CHECK="1",
               PIP_ROOT_USER_ACTION="ignore", QEL_ZMQ_LIBRARY=library._name)
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def installed(tmp_path_factory, library):
    """A site directory holding the binding as pip installed it."""
    root = tmp_path_factory.mktemp("pip")
    source = root / "source"
    shutil.copytree(BINDING_DIR, source,
                    ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    site = root / "site"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-deps", "--no-cache-dir", "--target", str(site), str(source)],
        env=clean_environment(library), cwd=root, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
    return site


class TestPipInstall:
    def test_installs_the_module_and_its_metadata(self, installed):
        modules = sorted(name for name in os.listdir(os.path.join(BINDING_DIR, "qel_zmq"))
                         if name.endswith(".py"))
        assert "__init__.py" in modules and len(modules) > 1  # the package is split by concern
        for name in modules:
            assert (installed / "qel_zmq" / name).read_bytes() == \
                open(os.path.join(BINDING_DIR, "qel_zmq", name), "rb").read(), name
        assert (installed / "qel_zmq" / "py.typed").is_file()  # type checkers read the hints
        metadata = (installed / f"qel_zmq-{qel_zmq.__version__}.dist-info" / "METADATA")
        fields = metadata.read_text().splitlines()
        assert "Name: qel-zmq" in fields
        assert f"Version: {qel_zmq.__version__}" in fields
        # The licence travels with the installed package.
        assert "Classifier: License :: OSI Approved :: MIT License" in fields
        licence = installed / f"qel_zmq-{qel_zmq.__version__}.dist-info" / "LICENSE"
        assert "MIT License" in licence.read_text()

    def test_installed_module_runs_scripts(self, installed, library, service, tmp_path):
        code = ("import qel_zmq, sys\n"
                "print(qel_zmq.__file__)\n"
                "with qel_zmq.Connection('127.0.0.1', int(sys.argv[1])) as conn:\n"
                "    print(conn.execute('return 6*7'))\n"
                "    print(conn.execute('return \"\u00e9\" .. #\"\u00e9\"'))\n")
        done = subprocess.run([sys.executable, "-c", code, str(service.port)],
                              env=clean_environment(library, PYTHONPATH=str(installed),
                                                    PYTHONIOENCODING="utf-8"),
                              cwd=tmp_path, capture_output=True, text=True,
                              encoding="utf-8", timeout=60)
        assert done.returncode == 0, done.stderr
        where, *answers = done.stdout.splitlines()
        assert where == str(installed / "qel_zmq" / "__init__.py")  # not the source tree's
        assert answers == ["42", "\u00e9" + "2"]


def test_windows_wheel_metadata(tmp_path, library):
    # wheel.sh with the Linux library standing in for the DLL: only the metadata is read.
    done = subprocess.run(["sh", os.path.join(BINDING_DIR, "wheel.sh"), str(tmp_path),
                           library._name, os.path.join(BINDING_DIR, "LICENSE")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    info = f"qel_zmq-{qel_zmq.__version__}.dist-info"
    with zipfile.ZipFile(done.stdout.strip()) as wheel:
        header = wheel.read(f"{info}/METADATA").decode().split("\n\n", 1)[0].splitlines()
        assert "Root-Is-Purelib: false" in wheel.read(f"{info}/WHEEL").decode().splitlines()
        assert "MIT License" in wheel.read(f"{info}/licenses/LICENSE").decode()
    assert "License-Expression: MIT" in header and "Metadata-Version: 2.4" in header
    assert not [field for field in header if field.startswith(("License:", "Classifier: License"))]
    systems = [field for field in header if field.startswith("Classifier: Operating System")]
    assert systems == ["Classifier: Operating System :: Microsoft :: Windows"]


def readme_commands(marker):
    """The shell lines of the binding's README that contain `marker`."""
    with open(os.path.join(BINDING_DIR, "README.md")) as readme:
        text = readme.read()
    blocks = re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)
    return [line for block in blocks for line in block.splitlines() if marker in line]


class TestReadmeRecipes:
    def test_venv_recipe_works_with_another_python3_first_on_path(self, tmp_path, library):
        # A python3 on PATH that is not Debian's (pyenv, a toolchain) has no Debian
        # setuptools; the recipe must not depend on which python3 comes first.
        (tmp_path / "bin").mkdir()
        impostor = tmp_path / "bin" / "python3"
        impostor.write_text("#!/bin/sh\necho 'not the system python3' >&2\nexit 3\n")
        impostor.chmod(0o755)
        source = tmp_path / "bindings" / "python"
        shutil.copytree(BINDING_DIR, source,
                        ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
        [recipe] = readme_commands("-m venv")
        env = clean_environment(library, PATH=f"{tmp_path / 'bin'}:/usr/bin:/bin")
        done = subprocess.run(["sh", "-ec", recipe], cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=240)
        assert done.returncode == 0, recipe + "\n" + done.stdout + done.stderr
        check = subprocess.run([str(tmp_path / "venv" / "bin" / "python"), "-c",
                                "import qel_zmq; print(qel_zmq.__file__)"], env=env,
                               capture_output=True, text=True, timeout=60)
        assert check.stdout.startswith(str(tmp_path / "venv")), check.stdout + check.stderr


class TestLoaderOrder:
    def copy_of_the_package(self, tmp_path):
        site = tmp_path / "site"
        shutil.copytree(os.path.join(BINDING_DIR, "qel_zmq"), site / "qel_zmq",
                        ignore=shutil.ignore_patterns("__pycache__"))
        return site

    def load(self, site, prelude=""):
        code = prelude + "import qel_zmq\nprint(qel_zmq.load_library()._name)\n"
        env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": str(site), "PYTHONDONTWRITEBYTECODE": "1",
               "QEL_ZMQ_LIBRARY": str(site / "variable.so")}
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                              text=True, timeout=60)

    @pytest.mark.parametrize("platform, name", [("linux", "libqel_zmq.so.1"),
                                                ("win32", "QEL_ZMQ.dll")])
    def test_the_library_beside_the_module_comes_first(self, tmp_path, library, platform, name):
        # The Windows case is the wheel's layout, run here with the Linux library under
        # the DLL's name: the same lines pick the file, and ctypes loads it by full path.
        site = self.copy_of_the_package(tmp_path)
        shutil.copyfile(library._name, site / "qel_zmq" / name)
        shutil.copyfile(library._name, site / "variable.so")
        done = self.load(site, f"import sys\nsys.platform = {platform!r}\n")
        assert done.returncode == 0, done.stderr
        assert done.stdout == f"{site / 'qel_zmq' / name}\n"

    def test_then_the_variable(self, tmp_path, library):
        site = self.copy_of_the_package(tmp_path)
        shutil.copyfile(library._name, site / "variable.so")
        done = self.load(site)
        assert done.returncode == 0, done.stderr
        assert done.stdout == f"{site / 'variable.so'}\n"


def test_windows_python_searches_as_the_readme_says():
    # CPython's own ctypes: a name without a path is loaded with
    # LOAD_LIBRARY_SEARCH_DEFAULT_DIRS (no PATH, no current folder); README-Windows says
    # so and the loader relies on a full path.
    import ctypes
    import inspect
    source = inspect.getsource(ctypes.CDLL.__init__)
    assert "mode = nt._LOAD_LIBRARY_SEARCH_DEFAULT_DIRS" in source
    assert "mode |= nt._LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR" in source
    with open(os.path.join(BINDING_DIR, "..", "..", "windows", "README-Windows.md")) as readme:
        assert "`LOAD_LIBRARY_SEARCH_DEFAULT_DIRS`" in readme.read()


class TestExampleHost:
    def run(self, library, *args):
        # An empty PYTHONPATH: the example must find the binding by itself.
        return subprocess.run([sys.executable, EXAMPLE, *args], env=clean_environment(library),
                              cwd=os.path.dirname(EXAMPLE), capture_output=True, timeout=60)

    def test_prints_the_answer(self, library, service):
        done = self.run(library, "127.0.0.1", str(service.port), "return 6*7")
        assert (done.returncode, done.stdout) == (0, b"42\n"), done.stderr

    def test_passes_non_ascii_bytes_through(self, library, service):
        done = self.run(library, "127.0.0.1", str(service.port), 'return "\u20ac"')
        assert (done.returncode, done.stdout) == (0, "\u20ac\n".encode()), done.stderr

    @pytest.mark.parametrize("args", [(), ("127.0.0.1", "5555"), ("127.0.0.1", "port", "x")])
    def test_wrong_usage_exits_2(self, library, args):
        done = self.run(library, *args)
        assert done.returncode == 2
        assert done.stdout == b""
        assert b"usage:" in done.stderr

    def test_refused_endpoint_exits_2(self, library):
        done = self.run(library, "127.0.0.1", "-1", "return 1")
        assert done.returncode == 2
        assert b"could not connect" in done.stderr


@pytest.mark.skipif("QEL_ZMQ_VERSION" not in os.environ,
                    reason="ctest passes the project's version on from CMake")
def test_version_is_the_projects():
    assert qel_zmq.__version__ == os.environ["QEL_ZMQ_VERSION"]
    # The package takes its version from the module, so the two cannot drift apart.
    with open(os.path.join(BINDING_DIR, "pyproject.toml")) as project:
        text = project.read()
    assert re.search(r'^dynamic = \["version"\]$', text, re.M)
    assert re.search(r'^version = \{attr = "qel_zmq.__version__"\}$', text, re.M)
