"""The fast paths of column intake and output give exactly what the plain conversions give."""

import sys

import _kvt
import frames as F
import numpy as np
import pytest

NAT = -(1 << 63)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def pack(columns, decimals=None):
    return _kvt.pack_table_frame("o", columns, decimals)


def roundtrip(columns, decimals=None):
    return _kvt.parse_table_frame(pack(columns, decimals)[8:])[2]


def fresh(s):
    """An equal str that is a distinct object (no identity shared with s)."""
    return (s + "\x00")[:-1] if s else "".join([])


# --- text lists: one pass with views remembered by identity --------------------------------------


def _pool(rng, count, max_len):
    letters = list("abXYZ\u00e9\u4e2d\U0001f600\x00")
    return ["".join(rng.choice(letters, size=rng.integers(0, max_len + 1))) for _ in range(count)]


@pytest.mark.parametrize("distinct, rows", [(1, 1000), (7, 5000), (500, 20000), (9000, 30000)])
def test_repeated_str_objects_pack_like_distinct_ones(distinct, rows):
    rng = np.random.default_rng(distinct)
    pool = _pool(rng, distinct, 40)
    shared = [pool[i] for i in rng.integers(0, distinct, rows)]
    copies = [fresh(s) for s in shared]
    assert any(a is not b for a, b in zip(shared, copies))
    frame = pack([("s", shared)])
    assert frame == pack([("s", copies)])
    assert roundtrip([("s", shared)])[0][1].tolist() == shared


@pytest.mark.parametrize(
    "tail, exc, message",
    [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (b"a", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_a_bad_item_after_many_repeats_is_still_found(tail, exc, message):
    items = ["abc", "de"] * 3000 + [tail] + ["abc"]
    before = [sys.getrefcount(x) for x in ("abc", "de")]
    with pytest.raises(exc) as e:
        pack([("s", items)])
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message
    assert [sys.getrefcount(x) for x in ("abc", "de")] == before


@pytest.mark.parametrize("length", [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100])
def test_every_element_length_is_copied_whole(length):
    # Each element differs from its neighbours in its first, middle and last byte.
    items = ["".join(chr(0x41 + (i + k) % 26) for k in range(length)) for i in range(60)]
    items += [items[5]] * 10 + ["\u00e9" * length, ""]
    assert roundtrip([("s", items)])[0][1].tolist() == items


class Name(str):
    """A str subclass: not the exact type, so intake takes the general type test."""


@pytest.mark.parametrize("seed", range(6))
def test_text_lists_pack_to_the_plain_encoding(seed):
    """Random mixes of shared objects, fresh copies, subclasses and lengths around the inline limit
    (15/16 bytes) and the one-byte length (250/251), against frames.py's element-by-element
    encoding; one seed also passes 2**16 distinct objects, beyond what intake remembers."""
    rng = np.random.default_rng(seed)
    lengths = [0, 1, 2, 7, 8, 14, 15, 16, 17, 127, 128, 250, 251, 300]
    pool = ["".join(rng.choice(list("ab\u00e9\u4e2d\x00"), size=n)) for n in lengths]
    pool += _pool(rng, 300, 20)
    rows = 140_000 if seed == 0 else int(rng.integers(1, 12_000))
    picks = rng.integers(0, len(pool), rows)
    values = []
    for i, k in enumerate(picks):
        way = (i * 7 + seed) % 5
        if seed == 0 and i % 2:
            values.append(f"distinct-{i}")
        elif way == 0:
            values.append(fresh(pool[k]))
        elif way == 1:
            values.append(Name(pool[k]))
        else:
            values.append(pool[k])
    want = F.frame(F.body([F.field("s", "String", values)], F.obj_meta("o")))
    assert pack([("s", values)]) == want
    assert roundtrip([("s", values)])[0][1].tolist() == values


def _strings_series(values, long_form_at=None):
    """A String series in frame form; the element at long_form_at gets the 3-byte length form."""
    out = F.varint(F.KIND["String"]) + F.varint(len(values))
    for i, v in enumerate(values):
        n = len(v)
        out += (b"\xfb" + n.to_bytes(2, "little") if i == long_form_at else F.varint(n)) + v
    return out


def _parse_series(series_bytes):
    field = F.string("s") + F.varint(F.KIND["String"]) + F.meta(None) + series_bytes
    try:
        return _kvt.parse_table_frame(F.region(F.body([field])))[2][0][1].tolist()
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("seed", range(40))
def test_text_read_in_place_matches_the_arena_read(seed):
    """A column whose lengths are all one byte is read where it lies; one long length form sends
    the same elements through the arena. Results, and errors after damage (bad UTF-8, a cut), must
    agree."""
    rng = np.random.default_rng(seed)
    pool = [v.encode() for v in _pool(rng, 40, 20)] + [b"x" * 130, "\u00e9".encode() * 100]
    values = [pool[i] for i in rng.integers(0, len(pool), int(rng.integers(1, 3000)))]
    damage = seed % 4
    if damage:
        k = int(rng.integers(0, len(values)))
        bad = bytearray(values[k] or b"a")
        bad[int(rng.integers(0, len(bad)))] = [0x80, 0xC3, 0xFF][damage - 1]
        values[k] = bytes(bad)
    in_place = _parse_series(_strings_series(values))
    through_arena = _parse_series(_strings_series(values, long_form_at=len(values) - 1))
    assert in_place == through_arena
    if not damage:
        assert in_place == [v.decode() for v in values]


# --- object output: equal short elements share one object, found by content --------------------


def _near_twins():
    """Elements that agree on most of their bytes: same head and tail words, NULs, lengths 0..34."""
    out = []
    for n in range(35):
        base = ["q"] * n
        out.append("".join(base))
        out.append("\x00" * n)
        for pos in range(n):
            for c in ("r", "\x00"):
                twin = list(base)
                twin[pos] = c
                out.append("".join(twin))
    return out


@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_near_twin_elements_come_back_exactly(kind):
    rng = np.random.default_rng(5)
    pool = _near_twins()
    values = [pool[i] for i in rng.integers(0, len(pool), 40000)]
    if kind == "str":
        arr = roundtrip([("s", values)])[0][1]
        assert arr.tolist() == values
    else:
        column = [v.encode() for v in values]
        _, _, cols = _kvt.parse_table_frame(F.region(F.body([F.field("s", "Bytes", column)])))
        assert cols[0][1].tolist() == column


def test_more_distinct_values_than_the_lookup_holds():
    rng = np.random.default_rng(9)
    pool = _pool(rng, 12000, 32)
    values = [pool[i] for i in rng.integers(0, len(pool), 60000)]
    arr = roundtrip([("s", values)])[0][1]
    assert arr.tolist() == values
    arr[0] = None  # slots stay independent when they share an object
    assert arr[1:].tolist() == values[1:]


# --- datetime64[us] arrays are read in place ------------------------------------------------------


def test_us_array_packs_like_its_converted_form():
    us = np.array([0, NAT, -1, 2**63 - 1, NAT + 1, 1_700_000_000_123_456], "M8[us]")
    small = us[[0, 1, 2]]
    ns = np.where(np.isnat(small), NAT, small.view(np.int64) * 1000).view("M8[ns]")
    assert pack([("t", small)]) == pack([("t", ns)])
    _kvt.set_local_zone(0)
    back = roundtrip([("t", us)])[0][1]
    assert back.dtype == np.dtype("M8[us]")
    assert back.view(np.int64).tolist() == us.view(np.int64).tolist()


def test_us_views_slices_and_refcounts():
    base = np.arange(20, dtype=np.int64).view("M8[us]")
    view = base[3:11]
    before = sys.getrefcount(base), sys.getrefcount(view)
    frame = pack([("a", view), ("b", view)])
    assert frame == pack([("a", view.copy()), ("b", view.copy())])
    assert (sys.getrefcount(base), sys.getrefcount(view)) == before
    assert base.view(np.int64).tolist() == list(range(20))


@pytest.mark.parametrize("make", [lambda a: a[::2], lambda a: a[::-1]])
def test_strided_us_arrays_are_refused(make):
    arr = make(np.arange(10, dtype=np.int64).view("M8[us]"))
    with pytest.raises(TypeError) as e:
        pack([("t", arr)])
    assert type(e.value) is TypeError and str(e.value) == NOT_CONTIGUOUS
