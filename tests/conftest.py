"""Shared fixtures and markers for the velkor test suite. Constants and helper
classes shared by the test modules are in helpers.py."""

import os
import sys

import pytest

import velkor

# The functions are looked up directly: one that is missing fails its tests.


@pytest.fixture(scope="session")
def fw():
    return velkor.floyd_warshall_u32


@pytest.fixture(scope="session")
def ncd():
    return velkor.nearest_common_descendant_u32


@pytest.fixture(scope="session")
def fwl():
    return velkor.floyd_warshall


@pytest.fixture(scope="session")
def ncdl():
    return velkor.nearest_common_descendant


# ---------------------------------------------------------------- address-space limits

ADDRESS_SPACE_LIMIT_SKIP = ("AddressSanitizer reserves address space and holds memory (shadow, quarantine) "
                            "that these tests limit and the memory budget does not know of")
ADDRESS_SPACE_LIMIT_NOT_LINUX = ("these tests limit memory with RLIMIT_AS and cgroups and read /proc, "
                                 "which only Linux has")
ADDRESS_SPACE_LIMIT_NOT_APPLIED = ("setrlimit(RLIMIT_AS) is accepted here and not applied (as under QEMU's "
                                   "user-mode emulation, whose own reservations fill the address space)")


def _address_space_limit_applies():
    """Lowers the soft RLIMIT_AS for a moment and reads it back."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    ceiling = (1 << 40) if sys.maxsize > 2**32 else (3 << 30)
    probe = min(x for x in (soft, hard, ceiling) if x != resource.RLIM_INFINITY) - 4096
    resource.setrlimit(resource.RLIMIT_AS, (probe, hard))
    try:
        return resource.getrlimit(resource.RLIMIT_AS)[0] == probe
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "address_space_limit: the test limits the address space or memory; left out off Linux, "
        "when VELKOR_SANITIZER=address, and where RLIMIT_AS is not applied (user-mode emulation)",
    )


def pytest_collection_modifyitems(config, items):
    if sys.platform != "linux":
        reason = ADDRESS_SPACE_LIMIT_NOT_LINUX
    elif os.environ.get("VELKOR_SANITIZER") == "address":
        reason = ADDRESS_SPACE_LIMIT_SKIP
    elif not _address_space_limit_applies():
        reason = ADDRESS_SPACE_LIMIT_NOT_APPLIED
    else:
        return
    skip = pytest.mark.skip(reason=reason)
    for item in items:
        if item.get_closest_marker("address_space_limit") is not None:
            item.add_marker(skip)


# ---------------------------------------------------------------- internal failures


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
