import pytest

import _kvt


@pytest.fixture
def zone():
    """Restores the process-wide local zone after a test that changes it."""
    saved = _kvt.get_local_offset()
    yield
    _kvt.set_local_zone(saved // 3_600_000_000)
