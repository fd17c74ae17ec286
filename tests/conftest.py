"""Shared fixtures for the velkor test suite."""

import pytest

import velkor


@pytest.fixture
def fw():
    return velkor.floyd_warshall_u32


@pytest.fixture
def registered():
    """Look up a module function by name, skipping while it is not registered yet."""

    def lookup(name):
        if not hasattr(velkor, name):
            pytest.skip(f"{name} is not registered yet")
        return getattr(velkor, name)

    return lookup


def _call_expecting_panic(func, *args):
    try:
        func(*args)
    except BaseException as e:  # the class derives from BaseException on purpose
        if type(e).__name__ != "PanicException":
            raise
        return e
    pytest.fail("no PanicException was raised")


@pytest.fixture
def expect_panic():
    """Call func(*args) and return the PanicException it raises."""
    return _call_expecting_panic


class _GrowOnIndex:
    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target[(len(self.target) + 100, 0)] = 0
        return 1


@pytest.fixture(scope="session")
def panic_class():
    """The PanicException class, obtained by provoking an internal failure."""
    edges = {}
    edges[(_GrowOnIndex(edges), 2)] = 3
    return type(_call_expecting_panic(velkor.floyd_warshall_u32, edges))
