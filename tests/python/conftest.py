import os

import _kvt
import pytest

# Set by `make sanitize`, which runs this suite against an AddressSanitizer build: its shadow
# memory, quarantine and redzones make resident-size and address-space figures meaningless.
SANITIZED = os.environ.get("KVT_SANITIZED") == "1"

# Set by `make wheel-aarch64-test`, which runs this suite under qemu-user: every example takes
# many times longer there, so Hypothesis's per-example deadline is off.
if os.environ.get("KVT_EMULATED") == "1":
    from hypothesis import settings

    settings.register_profile("emulated", deadline=None)
    settings.load_profile("emulated")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "memory_figures: asserts resident-size or address-space figures; skipped when "
        "KVT_SANITIZED=1",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="memory figures mean nothing under AddressSanitizer")
    for item in items:
        if "memory_figures" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def zone():
    """Restores the process-wide local zone after a test that changes it."""
    saved = _kvt.get_local_offset()
    yield
    _kvt.set_local_zone(saved // 3_600_000_000)
