import os

import _kvt
import pytest

# Set by `make sanitize`, which runs this suite against an AddressSanitizer build: its shadow
# memory, quarantine and redzones make resident-size and address-space figures meaningless.
SANITIZED = os.environ.get("KVT_SANITIZED") == "1"

# Set by `make wheel-aarch64-test`, which runs this suite under qemu-user: every example takes
# many times longer there, so Hypothesis's per-example deadline is off, and resident sizes are
# those of the emulator (its translation cache included), as meaningless as under ASan.
EMULATED = os.environ.get("KVT_EMULATED") == "1"
if EMULATED:
    from hypothesis import settings

    settings.register_profile("emulated", deadline=None)
    settings.load_profile("emulated")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "memory_figures: asserts resident-size or address-space figures; skipped when "
        "KVT_SANITIZED=1 or KVT_EMULATED=1",
    )


def pytest_collection_modifyitems(config, items):
    if not (SANITIZED or EMULATED):
        return
    under = "AddressSanitizer" if SANITIZED else "emulation"
    skip = pytest.mark.skip(reason=f"memory figures mean nothing under {under}")
    for item in items:
        if "memory_figures" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def zone():
    """Restores the process-wide local zone after a test that changes it."""
    saved = _kvt.get_local_offset()
    yield
    _kvt.set_local_zone(saved // 3_600_000_000)
