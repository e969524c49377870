"""Frames over brokers on loopback: ZeroMQ PUSH/PULL and a Redis stream read by a consumer group,
kvt frames against pickle 5 over the same transport.

A sender process (`python -m bench.brokers --send ...`, on the other core) packs every message
afresh from the same columns and sends it; the receiver (a default process, on the benchmark's
core) takes each message and parses it into NumPy arrays (kvt: kvt.unpack straight from the
broker's buffer, then .columns; pickle 5: pickle.loads of the buffer) before taking the next. For
Redis, the sender appends (market: one XADD per frame; small frames: pipelines of 100) and the
receiver reads with XREADGROUP in batches of up to 100 and acknowledges each batch; redis-server
runs without persistence. The clock runs from the first parsed message to the last, so the rate is
that of the slowest stage of the pipeline (pack, transport, parse), as users see it.
"""

import argparse
import json
import os
import pickle
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from . import data, environment

NAME = "brokers"
CODECS = ("kvt", "pickle 5")
TRANSPORTS = ("ZeroMQ PUSH/PULL", "Redis Streams")
# The stream entry field (as kvt.redis writes it), for the pickle messages too.
FIELD = b"frame"


def workloads(quick):
    """name -> (rows of the market table, messages per run)."""
    rows = 100_000 if quick else 1_000_000
    return {
        data.market_name(rows): (rows, 8 if quick else 16),
        data.TINY_NAME: (1, 2_000 if quick else 20_000),
    }


def _table(rows):
    return data.tiny() if rows == 1 else data.market(rows)


def _packer(codec, table):
    if codec == "kvt":
        import kvt

        return lambda: kvt.pack("bench", table.columns, table.decimals or None)
    columns = list(table.columns)
    return lambda: pickle.dumps(columns, protocol=5)


def _parser(codec):
    if codec == "kvt":
        import kvt

        return lambda buf: kvt.unpack(buf).columns
    return pickle.loads


def _other_core():
    mine = os.sched_getaffinity(0)
    others = set(range(os.cpu_count() or 1)) - mine
    return others or mine


# ---- the sender ----


def send(transport, address, rows, codec, count):
    os.sched_setaffinity(0, _other_core())
    pack = _packer(codec, _table(rows))
    if transport == TRANSPORTS[0]:
        import zmq

        with zmq.Context() as ctx, ctx.socket(zmq.PUSH) as push:
            push.sndhwm = 4 if rows > 1 else 1000
            push.linger = -1
            push.connect(address)
            for _ in range(count):
                push.send(pack(), copy=rows == 1)
        return
    import redis

    client = redis.Redis(port=int(address))
    batch = 1 if rows > 1 else 100
    for start in range(0, count, batch):
        pipe = client.pipeline(transaction=False)
        for _ in range(min(batch, count - start)):
            pipe.xadd("bench", {FIELD: pack()})
        pipe.execute()


# ---- the receiver ----


def _start_redis(folder):
    import redis

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen(
        [
            shutil.which("redis-server") or "redis-server",
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            folder,
        ],
        stdout=subprocess.DEVNULL,
    )
    client = redis.Redis(port=port)
    for _ in range(500):
        try:
            client.ping()
            return server, client
        except redis.ConnectionError:
            time.sleep(0.02)
    server.kill()
    raise RuntimeError("redis-server did not start")


def _sender(transport, address, rows, codec, count):
    cmd = [
        sys.executable,
        "-m",
        "bench.brokers",
        "--send",
        transport,
        str(address),
        str(rows),
        codec,
        str(count),
    ]
    return subprocess.Popen(cmd, env=environment.default_env())


def _receive_zmq(ctx, rows, codec, count):
    """Seconds from the first message parsed to the last, and the messages counted in them."""
    import zmq

    parse = _parser(codec)
    with ctx.socket(zmq.PULL) as pull:
        pull.rcvhwm = 4 if rows > 1 else 1000
        pull.rcvtimeo = 120_000
        port = pull.bind_to_random_port("tcp://127.0.0.1")
        sender = _sender(TRANSPORTS[0], f"tcp://127.0.0.1:{port}", rows, codec, count)
        parse(pull.recv(copy=False).buffer)
        start = time.perf_counter()
        for _ in range(count - 1):
            parse(pull.recv(copy=False).buffer)
        elapsed = time.perf_counter() - start
    sender.wait()
    return elapsed, count - 1


def _receive_redis(client, port, rows, codec, count):
    """Seconds from the first batch parsed to the last, and the messages counted in them."""
    client.delete("bench")
    client.xgroup_create("bench", "g", id="0", mkstream=True)
    sender = _sender(TRANSPORTS[1], port, rows, codec, count)
    if codec == "kvt":
        import kvt.redis

        consumer = kvt.redis.Consumer(client, "bench", "g", "c")

        def take():
            entries = consumer.read(count=100, block_ms=120_000)
            for _, table in entries:
                table.columns  # noqa: B018 - the NumPy arrays, as pickle gives them
            consumer.ack(*[entry_id for entry_id, _ in entries])
            return len(entries)
    else:

        def take():
            reply = client.xreadgroup("g", "c", {"bench": ">"}, count=100, block=120_000)
            entries = reply[0][1] if reply else []
            for _, fields in entries:
                pickle.loads(fields[FIELD])
            client.xack("bench", "g", *[entry_id for entry_id, _ in entries])
            return len(entries)

    first = take()
    start = time.perf_counter()
    received = first
    while received < count:
        received += take()
    elapsed = time.perf_counter() - start
    sender.wait()
    client.delete("bench")
    return elapsed, count - first


def measure(quick, reps, log):
    """Every workload over every transport with both codecs -> a list of result dicts."""
    import zmq

    results = []
    with tempfile.TemporaryDirectory(prefix="kvt-bench-redis-") as folder:
        server, client = _start_redis(folder)
        port = client.connection_pool.connection_kwargs["port"]
        try:
            with zmq.Context() as ctx:
                for name, (rows, count) in workloads(quick).items():
                    table = _table(rows)
                    for codec in CODECS:
                        size = len(_packer(codec, table)())
                        for transport in TRANSPORTS:
                            rates = []
                            for _ in range(reps):
                                if transport == TRANSPORTS[0]:
                                    elapsed, counted = _receive_zmq(ctx, rows, codec, count)
                                else:
                                    elapsed, counted = _receive_redis(
                                        client, port, rows, codec, count
                                    )
                                rates.append(counted / elapsed)
                            rate = statistics.median(rates)
                            results.append(
                                {
                                    "workload": name,
                                    "transport": transport,
                                    "codec": codec,
                                    "messages": count,
                                    "message bytes": size,
                                    "frames per second": rate,
                                    "runs": rates,
                                    "MB/s": rate * size / 1e6,
                                }
                            )
                            log(
                                f"    {name}, {transport}, {codec}: {rate:,.0f} frames/s, "
                                f"{rate * size / 1e6:,.0f} MB/s"
                            )
        finally:
            server.kill()
            server.wait()
    return results


def run_default_process(quick, reps):
    """Measures in a child interpreter with a default environment; returns its result."""
    args = ["--reps", str(reps)] + (["--quick"] if quick else [])
    return environment.run_default_process("bench.brokers", args)


def _log(text):
    print(text, file=sys.stderr, flush=True)


def _main(argv):
    p = argparse.ArgumentParser(prog="python -m bench.brokers")
    p.add_argument("--send", nargs=5, metavar=("TRANSPORT", "ADDRESS", "ROWS", "CODEC", "COUNT"))
    p.add_argument("--child", metavar="JSON", help="measure, and write the result here")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--quick", action="store_true")
    args = p.parse_args(argv)
    if args.send:
        transport, address, rows, codec, count = args.send
        send(transport, address, int(rows), codec, int(count))
        return
    environment.pin_cpu()
    result = {
        "name": NAME,
        **environment.process_info(environment.DEFAULT),
        "reps": args.reps,
        "results": measure(args.quick, args.reps, _log),
    }
    if args.child:
        with open(args.child, "w") as f:
            json.dump(result, f)
    else:
        print(json.dumps(result, indent=1))


if __name__ == "__main__":
    _main(sys.argv[1:])
