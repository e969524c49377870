"""The kvt command: list the frames of files (inspect) and print their rows (cat).

Both commands carry on past a damaged frame (bad checksum or content that does not decode),
whose header still tells where the next frame starts; a foreign header or a file that ends inside
a frame stops the file. The exit status is 1 when anything was damaged or unreadable, or when
the output could not be written. Names and paths in text meant for a terminal are shown escaped
when they hold control characters; csv and jsonl rows are data and are written as they are.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, TextIO

import _kvt
import numpy as np

from . import __version__, kernel_level
from ._frame import HEADER_SIZE, FrameError, TruncatedFrameError
from ._stream import frame_contents, parse_content
from ._table import Array, Table

# Files at least this large show a progress bar, when stderr is a terminal.
PROGRESS_MIN_BYTES = 64 << 20
PREVIEW_VALUES = 3
PREVIEW_WIDTH = 60
# The length field is 32 bits wide, so this never refuses a frame: inspecting reads what is there.
_NO_LIMIT = HEADER_SIZE + (1 << 32)
_HOUR_US = 3_600_000_000

Scalar = bool | int | float | str | bytes | None


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `kvt ARGS`; returns the exit status."""
    args = _parser().parse_args(argv)
    saved_zone = _kvt.get_local_offset() // _HOUR_US
    _kvt.set_local_zone(args.zone)
    try:
        if args.command == "inspect":
            clean = _inspect(args.files, args.json, sys.stdout, sys.stderr)
        else:
            clean = _cat(args.files, args.format, sys.stdout, sys.stderr)
        # Buffered output fails here, where it can be reported, rather than at exit.
        sys.stdout.flush()
    except OSError as e:
        # Reading errors are reported per file, so this is output that could not be written.
        _output_failed(e)
        return 1
    finally:
        _kvt.set_local_zone(saved_zone)
    return 0 if clean else 1


def _output_failed(error: OSError) -> None:
    """Stops after a failed write: quietly when the reader went away (`kvt cat f | head`), with
    one line on stderr otherwise (a full disk). Both streams then go to the null device, so that
    what is still buffered cannot fail again when the interpreter exits."""
    if not isinstance(error, BrokenPipeError):
        try:
            sys.stderr.write(f"kvt: cannot write output: {error.strerror or error}\n")
            sys.stderr.flush()
        except OSError:
            pass
    for stream in (sys.stdout, sys.stderr):
        try:
            fd = stream.fileno()
        except (OSError, ValueError):
            continue  # not backed by a file descriptor (replaced, or closed)
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, fd)
        except OSError:
            pass
        finally:
            os.close(devnull)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="kvt", description="Inspect and print table frame files.")
    parser.add_argument(
        "--version", action="version", version=f"kvt {__version__} (kernels: {kernel_level()})"
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    inspect = commands.add_parser("inspect", help="list the frames of files")
    inspect.add_argument("files", nargs="+", metavar="FILE")
    inspect.add_argument("--json", action="store_true", help="one JSON document for machines")
    cat = commands.add_parser("cat", help="print the rows of every frame")
    cat.add_argument("files", nargs="+", metavar="FILE")
    cat.add_argument("--format", choices=["csv", "jsonl"], default="csv")
    for command in (inspect, cat):
        command.add_argument(
            "--zone",
            type=_zone,
            default=0,
            metavar="HOURS",
            help="show timestamps in this zone, whole hours east of UTC (default 0, UTC)",
        )
    return parser


def _zone(text: str) -> int:
    try:
        hours = int(text)
    except ValueError:
        hours = 99
    if not -25 <= hours <= 25:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of hours from -25 to 25")
    return hours


@dataclass
class _FrameInfo:
    index: int
    offset: int
    length: int
    # "ok" or "failed"; None when the frame is too short to hold a checksum.
    checksum: str | None
    table: Table | None
    error: str | None


@dataclass
class _FileResult:
    frames: int = 0
    damaged: int = 0
    # Why the rest of the file could not be read (foreign header, truncation, I/O error).
    stopped: str | None = None

    @property
    def clean(self) -> bool:
        return self.damaged == 0 and self.stopped is None


def _scan(path: str, out: TextIO, err: TextIO) -> Iterator[_FrameInfo | _FileResult]:
    """Yields every frame of the file, then one _FileResult."""
    result = _FileResult()
    # When output and progress share a terminal, the bar is wiped before each piece of output.
    shared_terminal = out.isatty()
    try:
        with open(path, "rb") as f:
            reader = _Progress.wrap(f, path, err)
            try:
                for offset, content in frame_contents(reader, _NO_LIMIT):
                    info = _examine(result.frames, offset, content)
                    result.frames += 1
                    result.damaged += info.error is not None
                    if shared_terminal:
                        reader.close()
                    yield info
            except (FrameError, TruncatedFrameError) as e:
                result.stopped = str(e)
            finally:
                reader.close()
    except OSError as e:
        result.stopped = f"cannot read: {e.strerror or e}"
    yield result


def _examine(index: int, offset: int, content: bytes) -> _FrameInfo:
    # The codec checks the checksum of any frame of 4 bytes or more before decoding it: its error
    # kind says whether the checksum failed.
    checksum = "ok" if len(content) >= 4 else None
    try:
        table = parse_content(offset, content)
    except FrameError as e:
        if e.kind == "checksum_mismatch":
            checksum = "failed"
        return _FrameInfo(index, offset, len(content), checksum, None, e.reason)
    return _FrameInfo(index, offset, len(content), checksum, table, None)


# inspect


def _inspect(paths: list[str], as_json: bool, out: TextIO, err: TextIO) -> bool:
    clean = True
    documents: list[dict[str, Any]] = []
    for path in paths:
        frames: list[dict[str, Any]] = []
        if not as_json:
            out.write(f"{_shown(path)}\n")
        for item in _scan(path, out, err):
            if isinstance(item, _FrameInfo):
                if as_json:
                    frames.append(_frame_json(item))
                else:
                    out.write(_frame_text(item))
                continue
            clean = clean and item.clean
            if as_json:
                documents.append(
                    {
                        "path": path,
                        "frames": frames,
                        "damaged": item.damaged,
                        "stopped": item.stopped,
                    }
                )
            else:
                out.write(_summary_text(item))
    if as_json:
        json.dump({"files": documents, "clean": clean}, out, indent=2)
        out.write("\n")
    return clean


def _frame_text(info: _FrameInfo) -> str:
    head = (
        f"  frame {info.index}  offset {info.offset}  length {info.length}"
        f"  checksum {info.checksum or '-'}"
    )
    if info.table is None:
        return f"{head}\n    damaged: {_shown(info.error or '')}\n"
    table = info.table
    lines = [f"{head}  table {table.table!r}  obj {table.obj!r}"]
    if not table.columns:
        lines.append("    (no columns)")
    else:
        rows = [["column", "dtype", "rows", "first values"]]
        rows += [
            [_shown(name), str(array.dtype), str(len(array)), _preview_text(array)]
            for name, array in table.columns
        ]
        w0, w1, w2 = (max(len(row[i]) for row in rows) for i in range(3))
        for name, dtype, count, preview in rows:
            lines.append(f"    {name:<{w0}}  {dtype:<{w1}}  {count:>{w2}}  {preview}".rstrip())
    return "\n".join(lines) + "\n"


def _summary_text(result: _FileResult) -> str:
    text = f"  {result.frames} frame{'' if result.frames == 1 else 's'}, {result.damaged} damaged"
    if result.stopped is not None:
        text += f"; stopped: {_shown(result.stopped)}"
    return text + "\n"


def _frame_json(info: _FrameInfo) -> dict[str, Any]:
    doc: dict[str, Any] = {
        "index": info.index,
        "offset": info.offset,
        "length": info.length,
        "checksum": info.checksum,
        "error": info.error,
    }
    if info.table is not None:
        doc["table"] = info.table.table
        doc["obj"] = info.table.obj
        doc["columns"] = [
            {
                "name": name,
                "dtype": str(array.dtype),
                "rows": len(array),
                "first": [_json_value(v) for v in _scalars(array[:PREVIEW_VALUES])],
            }
            for name, array in info.table.columns
        ]
    return doc


def _preview_text(array: Array) -> str:
    quoted = array.dtype.kind == "O"
    values = [repr(v) if quoted else _plain(v) for v in _scalars(array[:PREVIEW_VALUES])]
    text = ", ".join(values)
    if len(array) > PREVIEW_VALUES:
        text += ", ..."
    if len(text) > PREVIEW_WIDTH:
        text = text[: PREVIEW_WIDTH - 3] + "..."
    return text


# cat


def _cat(paths: list[str], fmt: str, out: TextIO, err: TextIO) -> bool:
    clean = True
    writer = csv.writer(out, lineterminator="\n")
    header: list[str] | None = None
    for path in paths:
        for item in _scan(path, out, err):
            if isinstance(item, _FileResult):
                clean = clean and item.clean
                if item.stopped is not None:
                    err.write(f"kvt: {_shown(path)}: {_shown(item.stopped)}\n")
                continue
            if item.table is None:
                where = f"kvt: {_shown(path)}: frame at offset {item.offset}"
                err.write(f"{where}: {_shown(item.error or '')}\n")
                continue
            names = [name for name, _ in item.table.columns]
            columns = [_scalars(array) for _, array in item.table.columns]
            if fmt == "jsonl":
                keys = _unique(names)
                for row in _rows(columns):
                    out.write(
                        json.dumps(dict(zip(keys, map(_json_value, row), strict=True))) + "\n"
                    )
                continue
            if names and names != header:
                # A frame with other columns than the last starts a new block with its own header.
                if header is not None:
                    out.write("\n")
                writer.writerow(names)
                header = names
            writer.writerows([_csv_cell(v) for v in row] for row in _rows(columns))
    return clean


def _rows(columns: list[list[Scalar]]) -> Iterator[list[Scalar]]:
    """Rows across the columns; shorter columns are padded with None."""
    height = max((len(column) for column in columns), default=0)
    for i in range(height):
        yield [column[i] if i < len(column) else None for column in columns]


def _unique(names: list[str]) -> list[str]:
    """JSON objects need distinct keys: a repeated name gets a suffix, name.1, name.2, ...

    Each name remembers the last suffix it took and goes on from there, so every key is tried
    at most once per name that can produce it and the cost stays linear in the column count.
    """
    taken: set[str] = set()
    last_suffix: dict[str, int] = {}
    result: list[str] = []
    for name in names:
        key = name
        if key in taken:
            n = last_suffix.get(name, 0)
            while key in taken:
                n += 1
                key = f"{name}.{n}"
            last_suffix[name] = n
        taken.add(key)
        result.append(key)
    return result


# values


def _scalars(array: Array) -> list[Scalar]:
    """Python values of a column: timestamps as ISO text, float32 at its own shortest precision."""
    if array.dtype.kind == "M":
        return list(np.datetime_as_string(array).tolist())
    if array.dtype == np.float32:
        return [float(str(v)) for v in array]
    values: list[Scalar] = array.tolist()
    return values


def _shown(text: str) -> str:
    """Text for a terminal: as it is when every character is printable, else its repr, which
    escapes control characters (a name or path could otherwise retitle or clear the screen)."""
    return text if text.isprintable() else repr(text)


def _plain(value: Scalar) -> str:
    return repr(value) if isinstance(value, float) else str(value)


def _csv_cell(value: Scalar) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, bytes):
        return value.hex()
    return _plain(value)


def _json_value(value: Scalar) -> Scalar:
    """JSON has no bytes and no NaN or infinity: bytes become hex, those floats text."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not np.isfinite(value):
        return repr(value)
    return value


# progress


class _Progress:
    """Wraps a file being read and draws a bar on stderr, only for large files on a terminal."""

    WIDTH = 30

    def __init__(self, f: IO[bytes], total: int, label: str, stream: TextIO) -> None:
        self._f = f
        self._total = total
        self._label = label
        self._stream = stream
        self._done = 0
        self._drawn_at = 0.0
        self._shown = False

    @classmethod
    def wrap(cls, f: IO[bytes], label: str, stream: TextIO) -> _Progress:
        total = os.fstat(f.fileno()).st_size
        enabled = total >= PROGRESS_MIN_BYTES and stream.isatty()
        return cls(f, total if enabled else 0, _shown(label), stream)

    def read(self, size: int, /) -> bytes:
        chunk = self._f.read(size)
        if self._total:
            self._done += len(chunk)
            now = time.monotonic()
            if now - self._drawn_at >= 0.1:
                self._drawn_at = now
                self._draw()
        return chunk

    def _draw(self) -> None:
        fraction = min(self._done / self._total, 1.0)
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self._shown = True
        self._write(f"\r{self._label} [{bar}] {fraction:4.0%}")

    def close(self) -> None:
        if self._shown:
            self._shown = False
            self._write("\r\x1b[K")

    def _write(self, text: str) -> None:
        # The bar is a courtesy: a terminal that cannot take it must not stop the reading (an
        # error here would be taken for one reading the file).
        try:
            self._stream.write(text)
            self._stream.flush()
        except OSError:
            self._total = 0
            self._shown = False
