"""The kvt command line: inspect and cat on good, damaged and truncated files (golden output)."""

import io
import json
import os
import pathlib
import subprocess
import sys
import tomllib

import _kvt
import frames as F
import kvt
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from kvt import cli

# The one place the version is written.
PYPROJECT_VERSION = tomllib.loads(
    (pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text(encoding="utf-8")
)["project"]["version"]


GOOD = kvt.pack(
    "AAPL",
    [
        (
            "ts",
            np.array(
                [
                    "2024-03-01T09:30:00",
                    "2024-03-01T09:30:01.5",
                    "2024-03-01T09:30:02",
                    "2024-03-01T09:30:03",
                ],
                dtype="datetime64[ms]",
            ),
        ),
        ("price", np.array([187.15, 187.2, np.nan, -np.inf])),
        ("qty", np.array([100, 200, 300, 400], dtype=np.int64)),
        ("f32", np.array([0.1, 2.5], dtype=np.float32)),
        ("buy", np.array([True, False, True])),
        ("note", ["short", "a rather long note that does not fit in the preview, not at all", "x"]),
    ],
)
EMPTY = kvt.pack("", [])
BAD_CRC = GOOD[:-1] + bytes([GOOD[-1] ^ 0x80])
UNDECODABLE = b"\x7c\x4d\x01\x00\x04\x00\x00\x00" + b"\0\0\0\0"
SHORT = b"\x7c\x4d\x01\x00\x02\x00\x00\x00ab"
FOREIGN = b"\x7c\x4d\x02\x00\x04\x00\x00\x00"
ODD = F.frame(
    F.body(
        [
            F.field("u", "UInt64", [1, 2**64 - 1]),
            F.field("b", "Bytes", [b"\x00\xff"]),
            F.field("n", "Null"),
        ],
        [("obj", ("String", "x")), ("table", ("String", "quotes"))],
    )
)

FILES = {
    "good.kvt": GOOD + EMPTY,
    "bad.kvt": EMPTY + BAD_CRC + UNDECODABLE + SHORT + EMPTY + FOREIGN + EMPTY,
    "cut.kvt": EMPTY + EMPTY[:-3],
    "odd.kvt": ODD,
}

GOOD_TEXT = """\
good.kvt
  frame 0  offset 0  length 215  checksum ok  table ''  obj 'AAPL'
    column  dtype           rows  first values
    ts      datetime64[us]     4  2024-03-01T09:30:00.000000, 2024-03-01T09:30:01.500000, 2...
    price   float64            4  187.15, 187.2, nan, ...
    qty     int64              4  100, 200, 300, ...
    f32     float32            2  0.1, 2.5
    buy     bool               3  True, False, True
    note    object             3  'short', 'a rather long note that does not fit in the pre...
  frame 1  offset 223  length 19  checksum ok  table ''  obj ''
    (no columns)
  2 frames, 0 damaged
"""

BAD_TEXT = """\
bad.kvt
  frame 0  offset 0  length 19  checksum ok  table ''  obj ''
    (no columns)
  frame 1  offset 27  length 215  checksum failed
    damaged: Table frame CRC32 check failed
  frame 2  offset 250  length 4  checksum ok
    damaged: Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }
  frame 3  offset 262  length 2  checksum -
    damaged: Invalid table frame: Content and footer too short
  frame 4  offset 272  length 19  checksum ok  table ''  obj ''
    (no columns)
  5 frames, 3 damaged; stopped: frame at offset 299: not a table frame header \
(7c 4d 02 00 04 00 00 00)
"""

CUT_TEXT = """\
cut.kvt
  frame 0  offset 0  length 19  checksum ok  table ''  obj ''
    (no columns)
  1 frame, 0 damaged; stopped: stream ends 3 bytes short of the 27-byte frame at offset 27
"""

ODD_TEXT = """\
odd.kvt
  frame 0  offset 0  length 64  checksum ok  table 'quotes'  obj 'x'
    column  dtype   rows  first values
    u       uint64     2  1, 18446744073709551615
    b       object     1  b'\\x00\\xff'
    n       bool       2  False, False
  1 frame, 0 damaged
"""

GOOD_CSV = """\
ts,price,qty,f32,buy,note
2024-03-01T09:30:00.000000,187.15,100,0.1,true,short
2024-03-01T09:30:01.500000,187.2,200,2.5,false,"a rather long note that does not fit in the \
preview, not at all"
2024-03-01T09:30:02.000000,nan,300,,true,x
2024-03-01T09:30:03.000000,-inf,400,,,
"""


@pytest.fixture
def files(tmp_path, monkeypatch):
    for name, data in FILES.items():
        (tmp_path / name).write_bytes(data)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    "names, status, text",
    [
        (["good.kvt"], 0, GOOD_TEXT),
        (["bad.kvt"], 1, BAD_TEXT),
        (["cut.kvt"], 1, CUT_TEXT),
        (["odd.kvt"], 0, ODD_TEXT),
        (["odd.kvt", "cut.kvt", "good.kvt"], 1, ODD_TEXT + CUT_TEXT + GOOD_TEXT),
        (
            ["missing.kvt", "odd.kvt"],
            1,
            "missing.kvt\n  0 frames, 0 damaged; stopped: cannot read: No such file or directory\n"
            + ODD_TEXT,
        ),
    ],
)
def test_inspect_text(files, capsys, names, status, text):
    assert run(capsys, "inspect", *names) == (status, text, "")


def test_inspect_json(files, capsys):
    status, out, err = run(capsys, "inspect", "--json", "odd.kvt", "bad.kvt", "cut.kvt")
    assert (status, err) == (1, "")
    doc = json.loads(out)
    assert doc["clean"] is False
    odd, bad, cut = doc["files"]
    assert odd == {
        "path": "odd.kvt",
        "damaged": 0,
        "stopped": None,
        "frames": [
            {
                "index": 0,
                "offset": 0,
                "length": 64,
                "checksum": "ok",
                "error": None,
                "table": "quotes",
                "obj": "x",
                "columns": [
                    {"name": "u", "dtype": "uint64", "rows": 2, "first": [1, 2**64 - 1]},
                    {"name": "b", "dtype": "object", "rows": 1, "first": ["00ff"]},
                    {"name": "n", "dtype": "bool", "rows": 2, "first": [False, False]},
                ],
            }
        ],
    }
    assert [(f["offset"], f["length"], f["checksum"], f["error"]) for f in bad["frames"]] == [
        (0, 19, "ok", None),
        (27, 215, "failed", "Table frame CRC32 check failed"),
        (
            250,
            4,
            "ok",
            "Invalid table frame: Failed to decode table: UnexpectedEnd { additional: 1 }",
        ),
        (262, 2, None, "Invalid table frame: Content and footer too short"),
        (272, 19, "ok", None),
    ]
    assert bad["damaged"] == 3
    assert (
        bad["stopped"] == "frame at offset 299: not a table frame header (7c 4d 02 00 04 00 00 00)"
    )
    assert cut["stopped"] == "stream ends 3 bytes short of the 27-byte frame at offset 27"
    status, out, _ = run(capsys, "inspect", "--json", "good.kvt")
    price = json.loads(out)["files"][0]["frames"][0]["columns"][1]
    assert (status, price["first"]) == (0, [187.15, 187.2, "nan"])


def test_cat_csv(files, capsys):
    assert run(capsys, "cat", "good.kvt") == (0, GOOD_CSV, "")
    # Frames with other columns start a new block with its own header.
    status, out, err = run(capsys, "cat", "good.kvt", "odd.kvt", "good.kvt")
    assert out == GOOD_CSV + "\nu,b,n\n1,00ff,false\n18446744073709551615,,false\n\n" + GOOD_CSV


def test_cat_jsonl_and_repeated_names(files, capsys):
    (files / "dup.kvt").write_bytes(
        kvt.pack("o", [("a", np.array([1, 2])), ("a", ["x"]), ("a.1", np.array([True]))])
    )
    status, out, err = run(capsys, "cat", "--format", "jsonl", "odd.kvt", "dup.kvt")
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        '{"u": 1, "b": "00ff", "n": false}',
        '{"u": 18446744073709551615, "b": null, "n": false}',
        '{"a": 1, "a.1": "x", "a.1.1": true}',
        '{"a": 2, "a.1": null, "a.1.1": null}',
    ]


def test_cat_reports_damage_and_carries_on(files, capsys):
    (files / "mixed.kvt").write_bytes(BAD_CRC + ODD + UNDECODABLE + ODD[:20])
    status, out, err = run(capsys, "cat", "mixed.kvt")
    assert status == 1
    assert out == "u,b,n\n1,00ff,false\n18446744073709551615,,false\n"
    assert err == (
        "kvt: mixed.kvt: frame at offset 0: Table frame CRC32 check failed\n"
        f"kvt: mixed.kvt: frame at offset {len(BAD_CRC) + len(ODD)}: Invalid table frame: Failed to"
        " decode table: UnexpectedEnd { additional: 1 }\n"
        f"kvt: mixed.kvt: stream ends {len(ODD) - 20} bytes short of the {len(ODD)}-byte frame at"
        f" offset {len(BAD_CRC) + len(ODD) + 12}\n"
    )


def test_zone_option_shifts_and_restores(files, capsys, zone):
    _kvt.set_local_zone(-5)
    status, out, _ = run(capsys, "cat", "--zone", "2", "good.kvt")
    assert out.splitlines()[1].startswith("2024-03-01T11:30:00.000000,")
    assert _kvt.get_local_offset() == -5 * 3_600_000_000
    with pytest.raises(SystemExit) as e:
        cli.main(["cat", "--zone", "26", "good.kvt"])
    assert e.value.code == 2
    assert (
        "argument --zone: '26' is not a whole number of hours from -25 to 25"
        in capsys.readouterr().err
    )


# Sets the terminal title, then clears the screen.
HOSTILE = "x\x1b]0;owned\x07\x1b[2J"


def test_control_characters_from_a_file_never_reach_the_terminal(files, capsys):
    path = f"{HOSTILE}.kvt"
    table = kvt.pack("o", [(HOSTILE, ["\x1b[31m"]), ("plain", np.array([1])), ("", [])])
    (files / path).write_bytes(table + BAD_CRC)
    status, out, err = run(capsys, "inspect", path)
    assert (status, err) == (1, "")
    assert out.splitlines() == [
        "'x\\x1b]0;owned\\x07\\x1b[2J.kvt'",
        f"  frame 0  offset 0  length {len(table) - 8}  checksum ok  table ''  obj 'o'",
        "    column                      dtype   rows  first values",
        "    'x\\x1b]0;owned\\x07\\x1b[2J'  object     1  '\\x1b[31m'",
        "    plain                       int64      1  1",
        "                                object     0",
        f"  frame 1  offset {len(table)}  length 215  checksum failed",
        "    damaged: Table frame CRC32 check failed",
        "  2 frames, 1 damaged",
    ]
    # On stderr too; the rows themselves are data and stay exact.
    status, out, err = run(capsys, "cat", path)
    assert err == (
        f"kvt: 'x\\x1b]0;owned\\x07\\x1b[2J.kvt': frame at offset {len(table)}: Table frame"
        " CRC32 check failed\n"
    )
    assert out == f"{HOSTILE},plain,\n\x1b[31m,1,\n"
    status, out, err = run(capsys, "cat", "--format", "jsonl", path)
    assert out == r'{"x\u001b]0;owned\u0007\u001b[2J": "\u001b[31m", "plain": 1, "": null}' + "\n"
    status, out, err = run(capsys, "inspect", "--json", path)
    assert "\x1b" not in out and json.loads(out)["files"][0]["path"] == path


def test_jsonl_keys_for_many_repeated_names(files, capsys):
    # Each repeated name used to walk every suffix taken before it: 20,000 took half a minute.
    (files / "many.kvt").write_bytes(kvt.pack("o", [("a", np.array([i])) for i in range(20_000)]))
    status, out, err = run(capsys, "cat", "--format", "jsonl", "many.kvt")
    row = json.loads(out)
    assert list(row) == ["a"] + [f"a.{i}" for i in range(1, 20_000)]
    assert list(row.values()) == list(range(20_000))


def unique_by_search(names):
    """The plain definition of the keys: each name takes the first of name, name.1, ... free."""
    taken, keys = set(), []
    for name in names:
        key, n = name, 0
        while key in taken:
            n += 1
            key = f"{name}.{n}"
        taken.add(key)
        keys.append(key)
    return keys


@given(st.lists(st.sampled_from(["a", "a.1", "a.2", "a.1.1", "a.10", "b", ""]), max_size=30))
def test_jsonl_keys_are_the_first_free_suffix(names):
    assert cli._unique(names) == unique_by_search(names)


def big_file(directory):
    """A file whose inspect and cat outputs are far larger than a pipe holds."""
    path = directory / "big.kvt"
    path.write_bytes(kvt.pack("o", [(f"column{i}", np.array([i])) for i in range(10_000)]))
    return path.name


@pytest.mark.parametrize("sink", ["full disk", "closed pipe"])
@pytest.mark.parametrize(
    "argv",
    [
        ["inspect", "good.kvt"],  # small: fails at the final flush
        ["inspect", "BIG"],  # fails mid-way
        ["cat", "--format", "jsonl", "BIG"],
    ],
)
def test_output_that_cannot_be_written(files, sink, argv):
    argv = [big_file(files) if a == "BIG" else a for a in argv]
    # Buffered, as stdout is for most users.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if sink == "full disk":
        with open("/dev/full", "w") as stdout:
            done = subprocess.run(
                [sys.executable, "-m", "kvt", *argv],
                stdout=stdout,
                stderr=subprocess.PIPE,
                text=True,
                env=env,
                timeout=60,
            )
        assert (done.returncode, done.stderr) == (
            1,
            "kvt: cannot write output: No space left on device\n",
        )
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            done = subprocess.run(
                [sys.executable, "-m", "kvt", *argv],
                stdout=write_end,
                stderr=subprocess.PIPE,
                text=True,
                env=env,
                timeout=60,
            )
        finally:
            os.close(write_end)
        assert (done.returncode, done.stderr) == (1, "")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_only_for_large_files_on_a_terminal(files, capsys, monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["inspect", "good.kvt"]) == 0
    assert terminal.getvalue() == ""
    monkeypatch.setattr(cli, "PROGRESS_MIN_BYTES", len(FILES["good.kvt"]))
    assert cli.main(["inspect", "good.kvt"]) == 0
    assert capsys.readouterr().out == GOOD_TEXT + GOOD_TEXT
    bar = terminal.getvalue()
    assert bar.startswith("\rgood.kvt [") and bar.endswith("%\r\x1b[K")
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert cli.main(["inspect", "good.kvt"]) == 0
    assert sys.stderr.getvalue() == ""
    capsys.readouterr()
    # The label is escaped, and a terminal that cannot take the bar does not stop the reading.
    (files / "\x1b[2J.kvt").write_bytes(FILES["good.kvt"])
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli.main(["cat", "\x1b[2J.kvt"]) == 0
    assert terminal.getvalue().startswith("\r'\\x1b[2J.kvt' [")
    monkeypatch.setattr(sys, "stderr", BrokenTerminal())
    assert cli.main(["inspect", "good.kvt"]) == 0
    assert capsys.readouterr().out == GOOD_CSV + GOOD_TEXT


class BrokenTerminal(Terminal):
    def write(self, text):
        raise OSError(5, "Input/output error")


def console_script():
    script = pathlib.Path(sys.executable).parent / "kvt"
    if not script.exists():
        pytest.skip("the kvt console script is not installed in this environment")
    return [str(script)]


@pytest.mark.parametrize("command", [console_script, lambda: [sys.executable, "-m", "kvt"]])
def test_installed_command(files, command):
    argv = command()
    done = subprocess.run(
        argv + ["inspect", "bad.kvt"],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        timeout=60,
    )
    assert (done.returncode, done.stdout, done.stderr) == (1, BAD_TEXT, "")
    done = subprocess.run(argv + ["cat", "good.kvt"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, GOOD_CSV)
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stderr.startswith("usage: kvt ")
    done = subprocess.run(argv + ["--version"], capture_output=True, text=True, timeout=60)
    want = f"kvt {PYPROJECT_VERSION} (kernels: {kvt.kernel_level()})\n"
    assert (done.returncode, done.stdout, done.stderr) == (0, want, "")


def test_version_is_read_from_the_distribution():
    """pyproject.toml holds the version; kvt reads it from the installed metadata, and says
    0+unknown where there is none."""
    assert kvt.__version__ == PYPROJECT_VERSION
    missing = (
        "import importlib.metadata as m\n"
        "def version(name):\n"
        "    raise m.PackageNotFoundError(name)\n"
        "m.version = version\n"
        "import kvt\n"
        "print(kvt.__version__)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", missing], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "0+unknown\n", "")
