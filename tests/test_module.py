"""The module and class surface: attributes, docs, signatures, type flags."""

import inspect
import os
import subprocess
import sys
import weakref

import pytest

import quillo
from conftest import python_env


def test_module_attributes():
    assert quillo.__all__ == ["Quillo"]
    assert quillo.__doc__ == ""
    assert quillo.Quillo.__module__ == "builtins"
    assert quillo.Quillo.__qualname__ == "Quillo"
    assert not quillo.Quillo.__doc__  # only a text signature, no text
    assert str(inspect.signature(quillo.Quillo)) == "(command, interactive, ready_markers=None)"


METHODS = [
    ("set_ready_markers", "(ready_markers)", None),
    (
        "read_until_ready",
        "(timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Read until ready marker appears (interactive=true) OR until output goes quiet "
        "(interactive=false).",
    ),
    (
        "send_and_read_until_ready",
        "(input, timeout_ms=None, max_output_bytes=None, settle_ms=None, quiet_ms=None)",
        "Send input and read until ready marker returns (interactive=true) OR until output goes "
        "quiet (interactive=false).",
    ),
    ("read_available", "(max_bytes=None)", "Non-blocking read of buffered output."),
    ("send_ctrl_c", "()", None),
    ("get_history", "()", None),
    ("is_alive", "()", None),
    ("is_interactive", "()", None),
    ("get_initial_command", "()", None),
    ("close", "()", None),
    ("reset", "()", None),
]


def test_method_table_in_order():
    names = [name for name in vars(quillo.Quillo) if not name.startswith("__")]
    assert names == [m[0] for m in METHODS]


@pytest.mark.parametrize("name,signature,doc", METHODS)
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(quillo.Quillo, name)
    assert method.__doc__ == doc
    params = signature[1:-1]
    assert method.__text_signature__ == ("($self, " + params + ")" if params else "($self)")
    assert str(inspect.signature(method)) == ("(self, /, " + params + ")" if params else "(self, /)")


def test_no_subclassing_no_dict_no_weakref():
    with pytest.raises(TypeError):

        class Sub(quillo.Quillo):  # noqa: F841
            pass

    q = quillo.Quillo("cat", True)
    try:
        with pytest.raises(AttributeError):
            q.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(q)
    finally:
        q.close()


def test_noarg_methods_refuse_arguments():
    q = quillo.Quillo("cat", True)
    try:
        with pytest.raises(TypeError):
            q.close(1)
        with pytest.raises(TypeError):
            q.is_alive(timeout=1)
    finally:
        q.close()


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, quillo\n"
        "del sys.modules['quillo']\n"
        "try:\n"
        "    import quillo\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
    )
    env = python_env()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert out.stdout.startswith("ImportError "), out.stdout + out.stderr
    assert "once" in out.stdout


def test_only_pyinit_is_exported():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", quillo.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_quillo"]
