"""Shared fixtures and markers for the velkor test suite. Constants and helper
classes shared by the test modules are in helpers.py."""

import os
import sys

import pytest

import velkor
from helpers import filesystem_type

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


# ---------------------------------------------------------------- cgroups


def _own_cgroup(controller):
    """This process's cgroup for `controller`: its directory, whether the
    hierarchy is v2, and its path as /proc/self/cgroup names it."""
    with open("/proc/self/cgroup") as f:
        lines = [line.rstrip("\n").split(":", 2) for line in f]
    for _, controllers, path in lines:
        if controller in controllers.split(","):
            return f"/sys/fs/cgroup/{controller}{path}", False, path
    for hid, controllers, path in lines:
        if hid == "0" and not controllers:
            return f"/sys/fs/cgroup{path}", True, path
    pytest.fail(f"this process has no {controller} cgroup (/proc/self/cgroup names none)")


@pytest.fixture
def cgroup():
    """make(controller, settings, depth=1): a new cgroup below this process's
    own for `controller`, `depth` levels deep, with settings(v2) (a dict of
    file: value) written into its top level; returns a command prefix that
    runs a program in the deepest level. The groups must be real: they live
    on a cgroup file system, and the program checks that /proc/self/cgroup
    names its group before it runs. Removed at the end of the test."""
    made = []

    def make(controller, settings, depth=1):
        parent, v2, parent_name = _own_cgroup(controller)
        kind = filesystem_type(parent)
        if kind not in ("cgroup", "cgroup2"):
            pytest.fail(f"{parent} is on a {kind} file system, not a cgroup hierarchy: no limit could apply")
        names = [f"velkor-test-{os.getpid()}-{len(made)}"] + [f"level-{i}" for i in range(1, depth)]
        try:
            path = parent
            for i, name in enumerate(names):
                path = os.path.join(path, name)
                os.mkdir(path)
                made.append(path)
                if i == 0:
                    for file, value in settings(v2).items():
                        # Swap is limited where the kernel accounts for it.
                        if file != "memory.swap.max" or os.path.exists(os.path.join(path, file)):
                            with open(os.path.join(path, file), "w") as f:
                                f.write(str(value))
        except OSError as e:
            pytest.fail(f"cannot make a {controller} cgroup below {parent} (needs root and a writable "
                        f"cgroup hierarchy with that controller): {e}")
        member = "/".join([parent_name.rstrip("/"), *names])
        check = (f'grep -q ":{member}$" /proc/self/cgroup || '
                 f'{{ echo "not in the cgroup {member}" >&2; exit 3; }}')
        return ["sh", "-c", f'echo $$ > {path}/cgroup.procs && {check} && exec "$@"', "sh"]

    yield make
    for path in reversed(made):
        os.rmdir(path)
