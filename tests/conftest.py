import os
import pathlib
import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, timeout: float = 300) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the same one as the tests)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def pytest_addoption(parser):
    parser.addoption(
        "--reverse-order",
        action="store_true",
        help="run the tests in reverse order, so that a test that passes only "
        "because an earlier one set something up shows itself",
    )


# tests/configure runs cmake and a compiler, which neither the sanitizer run
# nor the interpreters in sysroots can: collected only when named.
def pytest_ignore_collect(collection_path, config):
    if collection_path == pathlib.Path(__file__).parent / "configure":
        named = [pathlib.Path(arg.split("::")[0]).resolve() for arg in config.args]
        return not any(path == collection_path or collection_path in path.parents for path in named)
    return None


def pytest_collection_modifyitems(config, items):
    if config.getoption("--reverse-order"):
        items.reverse()
    if os.environ.get("SORBEK_SLOW") == "1":
        return
    skip = pytest.mark.skip(reason="slow check; set SORBEK_SLOW=1")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
