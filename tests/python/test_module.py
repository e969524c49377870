"""Module conventions: registration, docstrings, argument binding and the three small functions."""

import subprocess
import sys

import _kvt
import pytest

HEADER_31 = bytes([0x7C, 0x4D, 0x01, 0x00, 0x1F, 0x00, 0x00, 0x00])
NAMES = [
    "set_local_zone",
    "get_local_offset",
    "check_table_frame",
    "parse_table_frame",
    "pack_table_frame",
]


def test_all_lists_the_five_functions_in_registration_order():
    assert _kvt.__all__ == NAMES
    public = sorted(n for n in dir(_kvt) if not n.startswith("_"))
    assert public == sorted(NAMES)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "pack_table_frame",
            "(obj, columns, decimal_fields=None, /)",
            "Pack columns into a table frame.\n\nobj: the object name, must not be empty\n"
            "columns: a list of (column name, numpy array)\nReturns the packed table frame",
        ),
        (
            "check_table_frame",
            "(buffer, /)",
            "Checks if the buffer is a table frame.\n\nReturns the frame size if it is a table frame.",
        ),
        (
            "parse_table_frame",
            "(buffer, /)",
            "Parses a table frame.\n\nReturns the a tuple of (object name, table), where table is a "
            "dict of (column name, numpy array).",
        ),
        ("set_local_zone", "(tz)", ""),
        ("get_local_offset", "()", ""),
    ],
)
def test_text_signatures_and_docstrings(name, signature, doc):
    f = getattr(_kvt, name)
    assert f.__text_signature__ == signature
    assert (f.__doc__ or "") == doc
    assert f.__module__ == "_kvt"
    assert type(f).__name__ == "builtin_function_or_method"


def test_module_docstring_is_one_sentence():
    assert _kvt.__doc__ and _kvt.__doc__.count(".") == 1 and _kvt.__doc__.endswith(".")


def test_built_as_a_stable_abi_module():
    assert _kvt.__file__.endswith(".abi3.so")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: _kvt.pack_table_frame("a", [], None, 4),
            "pack_table_frame() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: _kvt.check_table_frame(b"", b""),
            "check_table_frame() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: _kvt.parse_table_frame(b"", b"", b""),
            "parse_table_frame() takes 1 positional arguments but 3 were given",
        ),
        (
            lambda: _kvt.set_local_zone(1, 2),
            "set_local_zone() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: _kvt.pack_table_frame(),
            "pack_table_frame() missing 2 required positional arguments: 'obj' and 'columns'",
        ),
        (
            lambda: _kvt.pack_table_frame("o"),
            "pack_table_frame() missing 1 required positional argument: 'columns'",
        ),
        (
            lambda: _kvt.check_table_frame(),
            "check_table_frame() missing 1 required positional argument: 'buffer'",
        ),
        (
            lambda: _kvt.set_local_zone(),
            "set_local_zone() missing 1 required positional argument: 'tz'",
        ),
        (
            lambda: _kvt.check_table_frame(buffer=HEADER_31),
            "check_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'",
        ),
        (
            lambda: _kvt.parse_table_frame(buffer=b""),
            "parse_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'",
        ),
        (
            lambda: _kvt.pack_table_frame(obj="o", columns=[]),
            "pack_table_frame() got some positional-only arguments passed as keyword arguments: 'obj' and 'columns'",
        ),
        (
            lambda: _kvt.pack_table_frame(obj="o", columns=[], decimal_fields=None),
            "pack_table_frame() got some positional-only arguments passed as keyword arguments: "
            "'obj', 'columns', and 'decimal_fields'",
        ),
        (
            lambda: _kvt.pack_table_frame("o", [], decimal_fields={}),
            "pack_table_frame() got some positional-only arguments passed as keyword arguments: 'decimal_fields'",
        ),
        (
            lambda: _kvt.check_table_frame(HEADER_31, other=1),
            "check_table_frame() got an unexpected keyword argument 'other'",
        ),
        (
            lambda: _kvt.check_table_frame(other=1, buffer=HEADER_31),
            "check_table_frame() got some positional-only arguments passed as keyword arguments: 'buffer'",
        ),
        (
            lambda: _kvt.set_local_zone(tz=1, zone=2),
            "set_local_zone() got an unexpected keyword argument 'zone'",
        ),
        (
            lambda: _kvt.set_local_zone(1, tz=2),
            "set_local_zone() got multiple values for argument 'tz'",
        ),
    ],
)
def test_binding_messages(call, message, zone):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError
    assert str(e.value) == message


def test_get_local_offset_takes_no_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        _kvt.get_local_offset(1)
    with pytest.raises(TypeError):
        _kvt.get_local_offset(x=1)


class TestCheckTableFrame:
    @pytest.mark.parametrize("extra", [b"", b"\x00" * 100, b"anything"])
    def test_returns_the_length_field(self, extra):
        assert _kvt.check_table_frame(HEADER_31 + extra) == 31

    @pytest.mark.parametrize(
        "header, length",
        [
            (b"\x7c\x4d\x01\x00\x00\x00\x00\x00", 0),
            (b"\x7c\x4d\x01\x00\xff\xff\xff\xff", 0xFFFFFFFF),
            (b"\x7c\x4d\x01\x00\x0c\x00\x00\x00", 12),
            (b"\x7c\x4d\x01\x00\x00\x01\x00\x00", 256),
        ],
    )
    def test_length_is_unsigned_little_endian(self, header, length):
        assert _kvt.check_table_frame(header) == length

    @pytest.mark.parametrize("n", range(8))
    def test_too_short(self, n):
        with pytest.raises(ValueError, match="^buffer is too short$"):
            _kvt.check_table_frame(HEADER_31[:n])

    @pytest.mark.parametrize(
        "start",
        [
            b"\x7c\x4d\x02\x00",
            b"\x7c\x4d\x01\x01",
            b"\x00\x00\x01\x00",
            b"\x4d\x7c\x01\x00",
            b"\x7d\x4d\x01\x00",
        ],
    )
    def test_not_a_frame(self, start):
        with pytest.raises(ValueError, match="^buffer is not a table frame$"):
            _kvt.check_table_frame(start + b"\x1f\x00\x00\x00")

    def test_bytes_subclass_is_accepted(self):
        class B(bytes):
            pass

        assert _kvt.check_table_frame(B(HEADER_31)) == 31

    @pytest.mark.parametrize(
        "value, text",
        [
            (bytearray(HEADER_31), "'bytearray' object is not an instance of 'bytes'"),
            (memoryview(HEADER_31), "'memoryview' object is not an instance of 'bytes'"),
            ("7c4d", "'str' object is not an instance of 'bytes'"),
            (None, "'None' is not an instance of 'bytes'"),
            (31, "'int' object is not an instance of 'bytes'"),
        ],
    )
    @pytest.mark.parametrize("func", ["check_table_frame", "parse_table_frame"])
    def test_buffer_must_be_bytes(self, func, value, text):
        with pytest.raises(TypeError) as e:
            getattr(_kvt, func)(value)
        assert str(e.value) == "argument 'buffer': " + text

    def test_type_check_uses_the_qualified_name(self):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError) as e:
            _kvt.check_table_frame(Outer.Inner())
        assert str(e.value) == (
            "argument 'buffer': 'TestCheckTableFrame.test_type_check_uses_the_qualified_name.<locals>."
            "Outer.Inner' object is not an instance of 'bytes'"
        )


class TestLocalZone:
    def test_initial_offset_in_a_fresh_process(self):
        out = subprocess.run(
            [sys.executable, "-c", "import _kvt; print(_kvt.get_local_offset())"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        assert out.strip() == "28800000000"

    @pytest.mark.parametrize("tz", [-25, -5, 0, 3, 8, 25, True, False])
    def test_accepted_hours(self, tz, zone):
        assert _kvt.set_local_zone(tz) is None
        assert _kvt.get_local_offset() == int(tz) * 3_600_000_000

    def test_keyword_and_index_objects(self, zone):
        class Hours:
            def __index__(self):
                return -7

        _kvt.set_local_zone(tz=3)
        assert _kvt.get_local_offset() == 10_800_000_000
        _kvt.set_local_zone(Hours())
        assert _kvt.get_local_offset() == -25_200_000_000

    @pytest.mark.parametrize(
        "tz, exc, message",
        [
            (26, ValueError, "invalid timezone"),
            (-26, ValueError, "invalid timezone"),
            (127, ValueError, "invalid timezone"),
            (-128, ValueError, "invalid timezone"),
            (128, OverflowError, "out of range integral type conversion attempted"),
            (200, OverflowError, "out of range integral type conversion attempted"),
            (-129, OverflowError, "out of range integral type conversion attempted"),
            (2**63, OverflowError, None),
            (-(2**70), OverflowError, None),
        ],
    )
    def test_refused_hours_keep_the_zone(self, tz, exc, message, zone):
        _kvt.set_local_zone(-5)
        with pytest.raises(exc) as e:
            _kvt.set_local_zone(tz)
        assert type(e.value) is exc
        if message is not None:
            assert str(e.value) == message
        else:
            assert not str(e.value).startswith("argument")
        assert _kvt.get_local_offset() == -18_000_000_000

    @pytest.mark.parametrize("tz", [1.5, "3", None, 3j])
    def test_non_integers_are_prefixed_type_errors(self, tz, zone):
        with pytest.raises(TypeError) as e:
            _kvt.set_local_zone(tz)
        assert type(e.value) is TypeError
        assert str(e.value).startswith("argument 'tz': ")

    def test_exceptions_from_index_that_are_not_type_errors_pass_through(self, zone):
        class Bad:
            def __index__(self):
                raise KeyError("boom")

        class BadType:
            def __index__(self):
                raise TypeError("custom")

        class SubTypeError(TypeError):
            pass

        class BadSub:
            def __index__(self):
                raise SubTypeError("sub")

        with pytest.raises(KeyError):
            _kvt.set_local_zone(Bad())
        with pytest.raises(TypeError, match="^argument 'tz': custom$"):
            _kvt.set_local_zone(BadType())
        with pytest.raises(SubTypeError, match="^sub$"):
            _kvt.set_local_zone(BadSub())


class TestPackArguments:
    @pytest.mark.parametrize(
        "args, exc, message",
        [
            ((5, []), TypeError, "argument 'obj': 'int' object is not an instance of 'str'"),
            ((None, []), TypeError, "argument 'obj': 'None' is not an instance of 'str'"),
            ((5, None), TypeError, "argument 'obj': 'int' object is not an instance of 'str'"),
            (("o", None), TypeError, "argument 'columns': 'None' is not an instance of 'list'"),
            (
                ("o", ()),
                TypeError,
                "argument 'columns': 'tuple' object is not an instance of 'list'",
            ),
            (
                ("o", [], []),
                TypeError,
                "argument 'decimal_fields': 'list' object is not an instance of 'dict'",
            ),
            (
                ("o", [], {1: 2}),
                TypeError,
                "argument 'decimal_fields': 'int' object is not an instance of 'str'",
            ),
            (
                ("o", [], {None: 2}),
                TypeError,
                "argument 'decimal_fields': 'None' is not an instance of 'str'",
            ),
            (("o", [], {"a": -1}), OverflowError, None),
            (("o", [], {"a": 2**64}), OverflowError, None),
        ],
    )
    def test_conversion_failures(self, args, exc, message):
        with pytest.raises(exc) as e:
            _kvt.pack_table_frame(*args)
        assert type(e.value) is exc
        if message is not None:
            assert str(e.value) == message
        else:
            assert str(e.value) and not str(e.value).startswith("argument")

    @pytest.mark.parametrize("value", ["2", 1.5, None, [1]])
    def test_scale_without_integer_index(self, value):
        with pytest.raises(TypeError) as e:
            _kvt.pack_table_frame("o", [], {"a": value})
        assert str(e.value).startswith("argument 'decimal_fields': ")

    def test_obj_that_cannot_be_encoded(self):
        with pytest.raises(UnicodeEncodeError):
            _kvt.pack_table_frame("\ud800", [])

    def test_scale_index_that_mutates_the_dict(self):
        scales = {}

        class Clearing:
            def __index__(self):
                scales.clear()
                return 2

        scales["a" * 40] = Clearing()
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            _kvt.pack_table_frame("o", [], scales)


@pytest.mark.parametrize("module", ["_kvt", "kvt._arrow"])
def test_extension_modules_refuse_subinterpreters(module):
    # Both hold process-wide Python objects (NumPy's API table, dtype descriptors), so both
    # declare that another interpreter may not load them, and the import says so.
    interpreters = pytest.importorskip(
        "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"
    )
    interp = interpreters.create()
    try:
        code = (
            f"import sys; sys.path[:0] = {sys.path!r}\n"
            f"try:\n    import {module}\nexcept ImportError as e:\n    raise SystemExit(str(e))\n"
        )
        try:
            failure = interpreters.run_string(interp, code)
        except Exception as e:  # CPython 3.12 raises what 3.13 returns
            failure = e
    finally:
        interpreters.destroy(interp)
    assert failure is not None and "does not support loading in subinterpreters" in str(failure)
