import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

# Set by scripts/test.sh for the arm64 interpreter run under qemu, where each
# step of Python code is about 240 times slower than natively.
EMULATED = os.environ.get("SORBEK_EMULATED") == "1"


def examples(count: int) -> int:
    """How many examples a property test draws: a hundredth under emulation
    (a random tree and its exact reference take about 2 s there)."""
    return max(20, count // 100) if EMULATED else count


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


# The subset run against the arm64 wheel under qemu (`pytest -m emulated`):
# what fits in about 4 minutes there and checks what the architecture
# changes. Differential checks against the standard library and the reference
# splitter (real documents, random trees and bodies, every escape at every
# offset, hostile bodies), every error outcome and argument message, first
# calls in a fresh interpreter (a subprocess costs seconds there, so one case
# of each kind), reference counts, threads. Left out: the allocation-failure
# sweeps and 100,000-call leak loops (hours under emulation), the deep-tree
# cases (a million levels built in Python), the exact-oracle float sweep
# (the C++ float sweep covers the arm64 writer under qemu), and the hostile
# body of 100,000 parts (the reference splitter's loop alone takes 40 s).
EMULATED_SUBSET = {
    "test_arguments.py": None,  # every test
    "test_documents.py": None,
    "test_json.py": {
        "test_examples", "test_every_control_character", "test_special_at_every_offset", "test_refusals",
        "test_lone_surrogate_raises_unicode_encode_error", "test_float_worked_values",
        "test_subclasses_are_read_through_base_storage", "test_self_containing_containers_raise_recursion_error",
        "test_nesting_within_the_limit_is_written", "test_matches_standard_library",
    },
    "test_multipart.py": None,
    "test_module.py": {"test_module_attributes", "test_signatures_and_docstrings", "test_reimport_gives_new_objects"},
    "test_first_call.py": {
        f"test_error_as_first_call_in_a_fresh_process[{case}]"
        for case in ("list in itself", "surrogate key at 900", "unsupported at 900", "float range at 900",
                     "multipart_sections arguments", "no memory")
    },
    "test_resources.py": {"test_argument_refcounts_unchanged", "test_result_objects_are_released"},
    "test_robustness.py": {"test_threads_share_inputs_and_agree"} | {
        f"test_hostile_multipart_bodies[{case}]"
        for case in ("5M CRLF pairs before the first part", "closing marker then 50 MB of '-'",
                     "10 MB part starting with CR, no other CR/LF", "one 1 MB head", "256-byte delimiter")
    },
}


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
    for item in items:
        names = EMULATED_SUBSET.get(item.path.name, ())
        if names is None or item.name in names or getattr(item, "originalname", None) in names:
            item.add_marker(pytest.mark.emulated)
    if os.environ.get("SORBEK_SLOW") == "1":
        return
    skip = pytest.mark.skip(reason="slow check; set SORBEK_SLOW=1")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
