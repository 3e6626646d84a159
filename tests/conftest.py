import os
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


def pytest_collection_modifyitems(config, items):
    if os.environ.get("SORBEK_SLOW") == "1":
        return
    skip = pytest.mark.skip(reason="slow check; set SORBEK_SLOW=1")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
