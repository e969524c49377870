"""Optional dependencies (pandas, polars, pyarrow), found without importing them needlessly."""

from __future__ import annotations

import importlib
import sys
from typing import Any


def optional(name: str) -> Any:
    """Imports an optional dependency on first use, with an install hint when it is missing."""
    try:
        return importlib.import_module(name)
    except ImportError as e:
        hint = f"{name} is not installed; install it with: pip install 'kvt[{name}]'"
        raise ImportError(hint) from e


def module_if_loaded(name: str) -> Any:
    # An object can only be a pandas or polars instance if that library has been imported.
    return sys.modules.get(name)


def try_import(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def type_name(value: object) -> str:
    return "None" if value is None else repr(type(value).__qualname__)
