"""kvt.redis against a real redis-server on loopback: order, groups, crashes, restarts, damage."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import kvt
import kvt.redis as kr
import pytest
import redis
from brokers import RedisServer, number_of, numbered_frame
from redis.backoff import NoBackoff
from redis.retry import Retry


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    s = RedisServer(tmp_path_factory.mktemp("redis"), "--appendonly", "no")
    yield s
    s.stop()


@pytest.fixture(params=[2, 3], ids=["resp2", "resp3"])
def client(server, request):
    c = redis.Redis(port=server.port, protocol=request.param)
    c.flushall()
    yield c
    c.close()


@pytest.fixture
def resp2(server):
    c = redis.Redis(port=server.port)
    c.flushall()
    yield c
    c.close()


def read_all(client, stream, count=5000):
    got, after = [], "0-0"
    while batch := kr.read(client, stream, after=after, count=count):
        got += batch
        after = batch[-1][0]
    return got


def test_append_read_keeps_order_and_loses_nothing(resp2):
    client = resp2
    count = 100_000
    ids = []
    for start in range(0, count, 2000):
        ids += kr.append_many(
            client, "ticks", [numbered_frame(i) for i in range(start, start + 2000)]
        )
    ids.append(kr.append(client, "ticks", numbered_frame(count)))
    got = read_all(client, "ticks")
    assert [entry_id for entry_id, _ in got] == ids
    assert [number_of(table) for _, table in got] == list(range(count + 1))
    assert kr.read(client, "ticks", after=ids[-1]) == []
    assert kr.read(client, "ticks", after=ids[-1], block_ms=50) == []  # times out empty


def test_maxlen_trims_about_that_many(client):
    for i in range(2000):
        kr.append(client, "short", numbered_frame(i), maxlen=100)
    length = client.xlen("short")
    assert 100 <= length < 300  # approximate trimming removes whole nodes only
    last = kr.read(client, "short")[-1][1]
    assert number_of(last) == 1999


def test_damaged_entries_are_reported_with_their_ids_and_stay_pending(client):
    good = [kr.append(client, "mixed", numbered_frame(i)) for i in range(2)]
    junk = client.xadd("mixed", {kr.FIELD: b"\x00not a frame"}).decode()
    flipped = bytearray(numbered_frame(7))
    flipped[-1] ^= 1
    bad_crc = client.xadd("mixed", {kr.FIELD: bytes(flipped)}).decode()
    other = client.xadd("mixed", {"text": "hello"}).decode()
    good.append(kr.append(client, "mixed", numbered_frame(3)))
    damaged_ids = [junk, bad_crc, other]
    for reader in (
        lambda: kr.read(client, "mixed"),
        lambda: kr.Consumer(client, "mixed", "g", "c1").read(),
    ):
        with pytest.raises(kr.DamagedEntriesError) as caught:
            reader()
        e = caught.value
        assert [entry_id for entry_id, _ in e.entries] == good
        assert [number_of(t) for _, t in e.entries] == [0, 1, 3]
        assert [entry_id for entry_id, _ in e.damaged] == damaged_ids
        assert e.damaged[2][1] == "the entry has no 'frame' field"
        assert str(e).startswith(f"stream 'mixed': 3 damaged entries ({', '.join(damaged_ids)});")
    consumer = kr.Consumer(client, "mixed", "g", "c1")
    assert consumer.ack(*good) == 3
    pending = client.xpending_range("mixed", "g", min="-", max="+", count=10)
    assert [p["message_id"].decode() for p in pending] == damaged_ids
    with pytest.raises(kr.DamagedEntriesError) as caught:
        kr.Consumer(client, "mixed", "g", "c2").claim_stale(0)
    assert [entry_id for entry_id, _ in caught.value.damaged] == damaged_ids


def test_refusals(server):
    text_client = redis.Redis(port=server.port, decode_responses=True)
    with pytest.raises(ValueError, match="decode_responses=False"):
        kr.append(text_client, "s", numbered_frame(0))
    plain = redis.Redis(port=server.port)
    with pytest.raises(ValueError, match="^not a table frame: "):
        kr.append(plain, "s", b"garbage")
    with pytest.raises(ValueError, match="^maxlen must be at least 1, not 0$"):
        kr.append(plain, "s", numbered_frame(0), maxlen=0)


CRASHING_CONSUMER = textwrap.dedent(
    """
    import sys, time
    import redis, kvt.redis as kr
    sys.path.insert(0, {tests!r})
    from brokers import number_of
    consumer = kr.Consumer(redis.Redis(port={port}), "work", "workers", "first")
    for batch_number in range(3):
        batch = consumer.read(count=25)
        for entry_id, table in batch:
            number_of(table)
        if batch_number == 2:
            print("holding", len(batch), flush=True)  # read, never acknowledged
            time.sleep(60)
        consumer.ack(*[entry_id for entry_id, _ in batch])
        print("acked", *[entry_id for entry_id, _ in batch], flush=True)
    """
)


def test_frames_of_a_killed_consumer_are_claimed_and_processed_once(client, server):
    ids = kr.append_many(client, "work", [numbered_frame(i) for i in range(200)])
    kr.Consumer(client, "work", "workers", "second")  # the group exists before the child reads
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            CRASHING_CONSUMER.format(port=server.port, tests=os.path.dirname(__file__)),
        ],
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
    acked_by_child = []
    for line in child.stdout:
        word, *rest = line.split()
        if word == "holding":
            assert rest == ["25"]
            break
        acked_by_child += rest
    child.send_signal(signal.SIGKILL)
    child.wait()
    assert len(acked_by_child) == 50

    second = kr.Consumer(client, "work", "workers", "second")
    processed = []
    assert second.claim_stale(min_idle_ms=60_000) == []  # not stale yet: nothing taken
    time.sleep(0.05)
    while batch := second.claim_stale(min_idle_ms=20, count=10) + second.read(count=40):
        for entry_id, table in batch:
            processed.append((entry_id, number_of(table)))
        second.ack(*[entry_id for entry_id, _ in batch])
    assert sorted(acked_by_child + [entry_id for entry_id, _ in processed]) == sorted(ids)
    assert len(processed) == 150  # once each: the child's acknowledged frames not again
    assert client.xpending("work", "workers")["pending"] == 0
    assert second.read_pending() == []


def test_no_acknowledged_frame_is_lost_across_a_server_crash(tmp_path):
    server = RedisServer(tmp_path, "--appendonly", "yes", "--appendfsync", "always")
    try:
        # redis-py's own retries off: the producer below sees every failure and retries itself.
        client = redis.Redis(port=server.port, socket_timeout=2, retry=Retry(NoBackoff(), 0))
        written: list[tuple[str, int]] = []
        errors = []
        done = threading.Event()

        def produce():
            for i in range(3000):
                while True:
                    try:
                        written.append((kr.append(client, "durable", numbered_frame(i)), i))
                        break
                    except (redis.ConnectionError, redis.TimeoutError) as e:
                        errors.append(type(e).__name__)
                        time.sleep(0.02)
            done.set()

        producer = threading.Thread(target=produce)
        producer.start()
        for crash_after in (500, 1500):
            while len(written) < crash_after:
                time.sleep(0.005)
            server.kill()  # SIGKILL: no shutdown save, only what the append-only file holds
            time.sleep(0.2)
            server.start()
        assert done.wait(120)
        producer.join()
        assert errors, "the producer never saw the server go away"
        stored = {entry_id: number_of(t) for entry_id, t in read_all(client, "durable")}
        assert all(stored.get(entry_id) == i for entry_id, i in written)
        assert set(stored.values()) == set(
            range(3000)
        )  # retries may repeat a frame, never lose one
    finally:
        server.stop()


def test_consumer_recreates_a_group_that_went_away(client):
    consumer = kr.Consumer(client, "gone", "g", "c")
    client.delete("gone")
    assert consumer.read(block_ms=10) == []
    kr.append(client, "gone", numbered_frame(4))
    [(_, table)] = consumer.read()
    assert number_of(table) == 4
    assert isinstance(kvt.unpack(numbered_frame(4)), kvt.Table)


def scenario(api, client):
    """The same story told through either client kind: appends, reads, a group, damage, claims.
    `api` maps a sync call to what runs it (directly, or awaited in an event loop)."""
    run = api["run"]
    log = []
    ids = run(kr.append_many if api["sync"] else kr.append_many_async)(
        client, "story", [numbered_frame(i) for i in range(5)]
    )
    ids.append(
        run(kr.append if api["sync"] else kr.append_async)(client, "story", numbered_frame(5))
    )
    read = kr.read if api["sync"] else kr.read_async
    log.append([number_of(t) for _, t in run(read)(client, "story", after=ids[1])])
    consumer = api["consumer"](client, "story", "g", "first")
    log.append([number_of(t) for _, t in run(consumer.read)(count=4)])
    log.append(run(consumer.ack)(*ids[:2]))
    client_sync = redis.Redis(port=client.connection_pool.connection_kwargs["port"])
    client_sync.xadd("story", {kr.FIELD: b"broken"})
    second = api["consumer"](client, "story", "g", "second")
    try:
        run(second.read)()
    except kr.DamagedEntriesError as e:
        log.append(([number_of(t) for _, t in e.entries], len(e.damaged)))
    claimed = run(second.claim_stale)(0, 2)
    log.append([number_of(t) for _, t in claimed])
    log.append([number_of(t) for _, t in run(consumer.read_pending)()])
    client_sync.delete("story")
    log.append(run(second.read)(block_ms=10))  # the group is made again
    client_sync.close()
    return log


def test_asyncio_client_behaves_as_the_plain_one(server):
    import asyncio

    import redis.asyncio

    def sync_run(fn):
        return fn

    plain = redis.Redis(port=server.port)
    plain.flushall()
    want = scenario({"run": sync_run, "sync": True, "consumer": kr.Consumer}, plain)
    assert want == [[2, 3, 4, 5], [0, 1, 2, 3], 2, ([4, 5], 1), [2, 3], [], []]
    plain.flushall()

    async def main():
        client = redis.asyncio.Redis(port=server.port)
        loop = asyncio.get_running_loop()

        def async_run(fn):
            return lambda *a, **k: asyncio.run_coroutine_threadsafe(fn(*a, **k), loop).result()

        try:
            return await asyncio.to_thread(
                scenario, {"run": async_run, "sync": False, "consumer": kr.AsyncConsumer}, client
            )
        finally:
            await client.aclose()

    assert asyncio.run(main()) == want
