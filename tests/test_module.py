"""Module object, function registration and argument binding."""

import importlib
import inspect
import os
import re
import subprocess
import sys
import textwrap

import pytest

import velkor

FUNCTION_TABLE = [
    ("floyd_warshall_u32", "(edges)"),
    ("floyd_warshall", "(edges)"),
    ("nearest_common_descendant_u32", "(distances, extreme)"),
    ("nearest_common_descendant", "(distances, extreme)"),
]
TWO_PARAMETER = ["nearest_common_descendant_u32", "nearest_common_descendant"]


# ---------------------------------------------------------------- module object


def test_module_holds_the_four_functions_in_table_order_and_nothing_else():
    assert velkor.__doc__ == ""
    assert type(velkor.__all__) is list
    assert velkor.__all__ == [name for name, _ in FUNCTION_TABLE]
    assert {name for name in vars(velkor) if not name.startswith("__")} == set(velkor.__all__)


@pytest.mark.parametrize("name,signature", FUNCTION_TABLE)
def test_function_attributes(name, signature):
    func = getattr(velkor, name)
    assert type(func).__name__ == "builtin_function_or_method"
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "velkor"
    assert func.__self__ is velkor
    assert func.__doc__ is None
    assert func.__text_signature__ == signature
    assert str(inspect.signature(func)) == signature


def test_repeated_import_returns_the_cached_module():
    before = list(velkor.__all__)
    first = importlib.import_module("velkor")
    assert first is velkor
    saved = sys.modules.pop("velkor")
    try:
        again = importlib.import_module("velkor")
    finally:
        sys.modules["velkor"] = saved
    assert again is velkor
    assert velkor.__all__ == before
    assert len(set(velkor.__all__)) == len(velkor.__all__)
    assert importlib.reload(velkor) is velkor
    assert velkor.__all__ == before


def test_import_in_a_sub_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    code = """
        import _testcapi, velkor
        print("rc", _testcapi.run_in_subinterp("import velkor"))
        assert velkor.floyd_warshall_u32({(1, 2): 3})[(1, 2)] == 3
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "rc -1" in proc.stdout
    lines = [line for line in proc.stderr.splitlines() if "ImportError" in line]
    assert lines, proc.stderr
    message = lines[-1].lower()
    assert "sub-interpreter" in message or "subinterpreter" in message
    assert "http" not in message


# ---------------------------------------------------------------- binder

BINDER_ERRORS_ONE_PARAMETER = [
    ((), {}, "floyd_warshall_u32() missing 1 required positional argument: 'edges'"),
    (({}, {}), {}, "floyd_warshall_u32() takes 1 positional arguments but 2 were given"),
    (({}, {}, {}), {}, "floyd_warshall_u32() takes 1 positional arguments but 3 were given"),
    # Keywords are not looked at once there are too many positional values.
    (({}, {}), {"edges": {}}, "floyd_warshall_u32() takes 1 positional arguments but 2 were given"),
    (({},), {"edges": {}}, "floyd_warshall_u32() got multiple values for argument 'edges'"),
    # An unknown keyword wins over the missing argument.
    ((), {"foo": 1}, "floyd_warshall_u32() got an unexpected keyword argument 'foo'"),
    ((), {"Edges": {}}, "floyd_warshall_u32() got an unexpected keyword argument 'Edges'"),
    ((), {"edge": {}}, "floyd_warshall_u32() got an unexpected keyword argument 'edge'"),
    ((), {"edgesx": {}}, "floyd_warshall_u32() got an unexpected keyword argument 'edgesx'"),
    # Keywords are checked in call order; the first problem is the one reported.
    ((), {"edges": {}, "foo": 1}, "floyd_warshall_u32() got an unexpected keyword argument 'foo'"),
    ((), {"bar": 1, "edges": {}}, "floyd_warshall_u32() got an unexpected keyword argument 'bar'"),
    (({},), {"foo": 1, "edges": {}}, "floyd_warshall_u32() got an unexpected keyword argument 'foo'"),
    (({},), {"edges": {}, "foo": 1}, "floyd_warshall_u32() got multiple values for argument 'edges'"),
]


@pytest.mark.parametrize("args,kwargs,message", BINDER_ERRORS_ONE_PARAMETER)
def test_binder_errors_one_parameter(fw, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fw(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_binder_keyword_that_is_not_valid_utf8(fw):
    name = "ed\udc80ges"
    shown = name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    with pytest.raises(TypeError) as info:
        fw(**{name: {}})
    assert info.value.args == (f"floyd_warshall_u32() got an unexpected keyword argument '{shown}'",)


def test_binding_by_keyword(fw):
    assert fw(edges={(1, 2): 3}) == fw({(1, 2): 3}) == {(1, 1): 0, (2, 2): 0, (1, 2): 3}


def _two(name, text):
    return text.replace("F()", f"{name}()")


BINDER_ERRORS_TWO_PARAMETERS = [
    ((), {}, "F() missing 2 required positional arguments: 'distances' and 'extreme'"),
    (({},), {}, "F() missing 1 required positional argument: 'extreme'"),
    ((), {"extreme": 0}, "F() missing 1 required positional argument: 'distances'"),
    (({}, 0, 1), {}, "F() takes 2 positional arguments but 3 were given"),
    (({}, 0, 1), {"foo": 1}, "F() takes 2 positional arguments but 3 were given"),
    (({},), {"distances": {}}, "F() got multiple values for argument 'distances'"),
    (({}, 0), {"extreme": 0}, "F() got multiple values for argument 'extreme'"),
    (({},), {"distances": {}, "extreme": 0}, "F() got multiple values for argument 'distances'"),
    (({},), {"foo": 1, "distances": {}}, "F() got an unexpected keyword argument 'foo'"),
    ((), {"Extreme": 0}, "F() got an unexpected keyword argument 'Extreme'"),
]


@pytest.mark.parametrize("name", TWO_PARAMETER)
@pytest.mark.parametrize("args,kwargs,message", BINDER_ERRORS_TWO_PARAMETERS)
def test_binder_errors_two_parameters(name, args, kwargs, message):
    func = getattr(velkor, name)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (_two(name, message),)


@pytest.mark.parametrize("name", TWO_PARAMETER)
def test_two_parameter_keyword_order_is_irrelevant(name):
    func = getattr(velkor, name)
    assert func(extreme=0, distances={}) == func({}, extreme=0) == func({}, 0) == {}


@pytest.mark.parametrize("name", ["floyd_warshall_u32", "floyd_warshall"])
def test_non_dict_argument_is_wrapped_with_parameter_name(name):
    func = getattr(velkor, name)
    with pytest.raises(TypeError) as info:
        func([])
    err = info.value
    assert type(err) is TypeError
    assert err.args == ("argument 'edges': 'list' object cannot be converted to 'PyDict'",)
    assert err.__cause__ is None
    assert err.__suppress_context__ is True


# ---------------------------------------------------------------- settings


@pytest.mark.parametrize("value", ["abc", "0", "-2", "1.5"])
def test_a_bad_thread_setting_is_warned_of_once(value):
    # Every warning is shown (filter "always"): the setting's is given once
    # per process, on the first call, and the calls still give their results.
    proc = subprocess.run([sys.executable, "-W", "always", "-c", textwrap.dedent("""
        import velkor
        for _ in range(3):
            assert velkor.floyd_warshall_u32({(1, 2): 3}) == {(1, 1): 0, (1, 2): 3, (2, 2): 0}
            assert len(velkor.nearest_common_descendant({("a", "b"): 1}, 5)) == 4
    """)], capture_output=True, text=True, env={**os.environ, "VELKOR_NUM_THREADS": value})
    assert proc.returncode == 0, proc.stderr
    warnings = [line for line in proc.stderr.splitlines() if "Warning" in line]
    assert len(warnings) == 1, proc.stderr
    assert re.search(rf"RuntimeWarning: VELKOR_NUM_THREADS={re.escape(repr(value))} is not a positive "
                     r"integer: it is ignored, and calls use the \d+ CPUs this process can use$", warnings[0])
