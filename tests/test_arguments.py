"""Argument matching and conversion: every TypeError form, and what passes."""

import pytest

import quillo


@pytest.fixture
def q():
    session = quillo.Quillo("cat", True)
    yield session
    session.close()


CONSTRUCTOR_ERRORS = [
    ((), {}, "Quillo.__new__() missing 2 required positional arguments: 'command' and 'interactive'"),
    (("cat",), {}, "Quillo.__new__() missing 1 required positional argument: 'interactive'"),
    (("cat", True, None, 4), {}, "Quillo.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    (("cat", True), {"size": 1}, "Quillo.__new__() got an unexpected keyword argument 'size'"),
    (("cat", True), {"command": "x"}, "Quillo.__new__() got multiple values for argument 'command'"),
    ((1, True), {}, "argument 'command': 'int' object cannot be cast as 'str'"),
    (("cat", 1), {}, "argument 'interactive': 'int' object cannot be cast as 'bool'"),
    (("cat", None), {}, "argument 'interactive': 'NoneType' object cannot be cast as 'bool'"),
    (("cat", True, "(gdb) "), {}, "argument 'ready_markers': Can't extract `str` to `Vec`"),
    (("cat", True, {"a"}), {}, "argument 'ready_markers': 'set' object cannot be cast as 'Sequence'"),
    (("cat", True, {"a": 1}), {}, "argument 'ready_markers': 'dict' object cannot be cast as 'Sequence'"),
    (("cat", True, iter(["a"])), {}, "argument 'ready_markers': 'list_iterator' object cannot be cast as 'Sequence'"),
    (("cat", True, ["a", 1]), {}, "argument 'ready_markers': 'int' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("args,kwargs,message", CONSTRUCTOR_ERRORS)
def test_constructor_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        quillo.Quillo(*args, **kwargs)
    assert str(info.value) == message


def test_three_missing_names_use_commas():
    # The constructor has only two required parameters; exercise the list form
    # through keyword-only use of the third.
    with pytest.raises(TypeError) as info:
        quillo.Quillo(ready_markers=None)
    assert str(info.value).endswith("missing 2 required positional arguments: 'command' and 'interactive'")


METHOD_ERRORS = [
    ("read_available", (1, 2), {}, TypeError, "Quillo.read_available() takes from 0 to 1 positional arguments but 2 were given"),
    ("read_available", (), {"size": 1}, TypeError, "Quillo.read_available() got an unexpected keyword argument 'size'"),
    ("send_and_read_until_ready", ("ls",), {"input": "ls"}, TypeError, "Quillo.send_and_read_until_ready() got multiple values for argument 'input'"),
    ("send_and_read_until_ready", (), {}, TypeError, "Quillo.send_and_read_until_ready() missing 1 required positional argument: 'input'"),
    ("send_and_read_until_ready", (b"ls",), {}, TypeError, "argument 'input': 'bytes' object cannot be cast as 'str'"),
    ("set_ready_markers", ("a", "b"), {}, TypeError, "Quillo.set_ready_markers() takes 1 positional arguments but 2 were given"),
    ("set_ready_markers", (None,), {}, TypeError, "argument 'ready_markers': 'NoneType' object cannot be cast as 'Sequence'"),
    ("set_ready_markers", ("(gdb) ",), {}, TypeError, "argument 'ready_markers': Can't extract `str` to `Vec`"),
    ("read_until_ready", (1.5,), {}, TypeError, "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
    ("read_until_ready", (), {"quiet_ms": "5"}, TypeError, "argument 'quiet_ms': 'str' object cannot be interpreted as an integer"),
    ("read_until_ready", (-1,), {}, OverflowError, None),
    ("read_until_ready", (2**64,), {}, OverflowError, None),
    ("read_available", (-5,), {}, OverflowError, None),
]


@pytest.mark.parametrize("method,args,kwargs,error,message", METHOD_ERRORS)
def test_method_argument_errors(q, method, args, kwargs, error, message):
    with pytest.raises(error) as info:
        getattr(q, method)(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument '")


def test_conversion_error_keeps_cause(q):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("boom") from e

    with pytest.raises(TypeError) as info:
        q.read_available(Bad())
    assert str(info.value) == "argument 'max_bytes': boom"
    assert isinstance(info.value.__cause__, KeyError)


def test_surrogate_input_raises_encoding_error_unchanged(q):
    with pytest.raises(UnicodeEncodeError):
        q.send_and_read_until_ready("\ud800")


ACCEPTED = [
    ("timeout_ms", True),  # bool is an int: 1
    ("timeout_ms", 0),
    ("timeout_ms", 2**64 - 1),  # saturates, never overflows
    ("timeout_ms", None),
]


def test_accepted_integer_forms(q):
    class Index:
        def __index__(self):
            return 0

    assert q.read_until_ready(timeout_ms=True) == ""
    assert q.read_until_ready(timeout_ms=Index()) == ""
    assert q.read_until_ready(timeout_ms=0, max_output_bytes=2**64 - 1, settle_ms=2**64 - 1) == ""
    assert q.read_available(None) == ""


def test_accepted_marker_sequences():
    for markers in (("a", "b"), ["x"], [], ("x", "x", "")):
        s = quillo.Quillo("cat", True, markers)
        s.close()
    s = quillo.Quillo("cat", True, ready_markers=None)
    s.set_ready_markers(("(gdb) ",))
    s.close()


def test_str_subclass_accepted():
    class Name(str):
        pass

    s = quillo.Quillo(Name("cat"), True)
    assert s.get_initial_command() == "cat"
    assert type(s.get_initial_command()) is str
    s.close()


def test_numpy_bool_accepted():
    numpy = pytest.importorskip("numpy")
    s = quillo.Quillo("cat", numpy.bool_(True))
    assert s.is_interactive() is True
    s.close()
    s = quillo.Quillo("cat", numpy.bool_(False))
    assert s.is_interactive() is False
    s.close()


def test_reentrant_use_is_refused_by_the_borrow(q):
    seen = {}

    class Sneaky:
        def __index__(self):
            # Runs during conversion, while this call holds the object.
            try:
                q.close()
            except RuntimeError as e:
                seen["close"] = str(e)
            try:
                q.get_history()
                seen["shared"] = "ok"
            except RuntimeError as e:
                seen["shared"] = str(e)
            return 0

    q.read_until_ready(timeout_ms=Sneaky())  # shared borrow held
    assert seen == {"close": "Already borrowed", "shared": "ok"}
    seen.clear()
    q.send_and_read_until_ready("x", timeout_ms=Sneaky())  # exclusive borrow held
    assert seen == {"close": "Already borrowed", "shared": "Already mutably borrowed"}
    # Borrows were given back.
    assert q.get_history() is not None
    q.close()
