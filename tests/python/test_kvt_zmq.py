"""kvt.zmq over real pyzmq sockets on 127.0.0.1: order, topics, routing, high-water marks."""

import asyncio
import time

import kvt
import kvt.zmq as kz
import pytest
import zmq
import zmq.asyncio
from brokers import number_of, numbered_frame


@pytest.fixture
def context():
    ctx = zmq.Context()
    yield ctx
    ctx.destroy(linger=0)


def pair(ctx, sender_type, receiver_type, routing_id=None, **options):
    sender = ctx.socket(sender_type)
    if routing_id is not None:
        sender.setsockopt(zmq.ROUTING_ID, routing_id)
    receiver = ctx.socket(receiver_type)
    for sock in (sender, receiver):
        sock.linger = 0
        sock.rcvtimeo = 10_000
        for name, value in options.items():
            sock.setsockopt(getattr(zmq, name), value)
    port = receiver.bind_to_random_port("tcp://127.0.0.1")
    sender.connect(f"tcp://127.0.0.1:{port}")
    return sender, receiver


def test_push_pull_keeps_order_and_loses_nothing(context):
    push, pull = pair(context, zmq.PUSH, zmq.PULL)
    count = 100_000
    frames = [numbered_frame(i, rows=1 + i % 3) for i in range(count)]
    for i, frame in enumerate(frames):
        kz.send(push, frame)
        if i % 1000 == 999:  # keep the queues short: the receiver drains as we go
            for j in range(i - 999, i + 1):
                assert number_of(kz.recv(pull)) == j
    # A large frame goes without a copy on the sending side and arrives whole.
    big = kvt.pack("big", {"seq": list(range(10))} | {"x": [str(i) for i in range(200_000)]})
    kz.send(push, big, topic=b"big")
    envelope, table = kz.recv_envelope(pull)
    assert envelope == [b"big"]
    assert list(table.column("x")[-2:]) == ["199998", "199999"]


def test_pub_sub_topics_filter_by_prefix(context):
    pub, sub = pair(context, zmq.PUB, zmq.SUB)
    sub.subscribe(b"AAPL")
    # Wait until the subscription has reached the publisher (a slow joiner misses messages).
    while True:
        kz.send(pub, numbered_frame(-1), topic="AAPL.sync")
        if sub.poll(50):
            assert kz.recv_with_topic(sub)[0] == b"AAPL.sync"
            break
    while sub.poll(50):
        sub.recv_multipart()
    topics = ["AAPL", "MSFT", "AAPL.L", "AAP", "aapl", "AAPLX"]
    for i in range(60):
        kz.send(pub, numbered_frame(i), topic=topics[i % len(topics)])
    got = []
    while sub.poll(500):
        topic, table = kz.recv_with_topic(sub)
        got.append((topic, number_of(table)))
    want = [(topics[i % 6].encode(), i) for i in range(60) if topics[i % 6].startswith("AAPL")]
    assert got == want


def test_dealer_router_envelopes_and_replies(context):
    dealer, router = pair(context, zmq.DEALER, zmq.ROUTER, routing_id=b"desk-7")
    kz.send(dealer, numbered_frame(1))
    kz.send(dealer, numbered_frame(2), topic="quotes")
    routing_id, table = kz.recv_with_topic(router)  # [frame] arrives as [id, frame]
    assert (routing_id, number_of(table)) == (b"desk-7", 1)
    envelope, table = kz.recv_envelope(router)
    assert (envelope, number_of(table)) == ([b"desk-7", b"quotes"], 2)
    kz.send(router, numbered_frame(3), topic=routing_id)  # the routing id addresses the reply
    assert number_of(kz.recv(dealer)) == 3


def test_slow_subscriber_drops_whole_frames_only(context):
    pub, sub = pair(context, zmq.PUB, zmq.SUB, SNDHWM=20, RCVHWM=20)
    sub.subscribe(b"")
    while True:
        kz.send(pub, numbered_frame(-1))
        if sub.poll(50):
            break
    while sub.poll(50):
        sub.recv_multipart()
    sent = 5_000
    for i in range(sent):
        kz.send(pub, numbered_frame(i, rows=200))  # PUB never blocks: past the mark it drops
    time.sleep(0.2)
    got = []
    while sub.poll(500):
        got.append(number_of(kz.recv(sub)))
        time.sleep(0.0005)  # a slow consumer
    assert 0 < len(got) < sent
    assert got == sorted(set(got))  # dropped, never reordered or repeated; each one intact


@pytest.mark.parametrize(
    ("raw", "error"),
    [
        (b"junk", kvt.TruncatedFrameError),
        (numbered_frame(5)[:-1], kvt.TruncatedFrameError),
        (numbered_frame(5) + b"\0", kvt.FrameError),
        (numbered_frame(5)[:-1] + b"\xff", kvt.FrameError),  # the checksum no longer matches
        (b"\xff" * 32, kvt.FrameError),
    ],
)
def test_damaged_message_raises_and_the_next_one_arrives(context, raw, error):
    push, pull = pair(context, zmq.PUSH, zmq.PULL)
    push.send(raw)
    kz.send(push, numbered_frame(6))
    with pytest.raises(error):
        kz.recv(pull)
    assert number_of(kz.recv(pull)) == 6


def test_refusals(context):
    push, pull = pair(context, zmq.PUSH, zmq.PULL)
    with pytest.raises(ValueError, match="^not a table frame: "):
        kz.send(push, b"not a frame at all")
    with pytest.raises(TypeError, match="^a topic is bytes or str, not 'int'$"):
        kz.send(push, numbered_frame(0), topic=7)
    kz.send(push, numbered_frame(0))
    with pytest.raises(kz.EnvelopeError, match="^a message of one part has no topic"):
        kz.recv_with_topic(pull)


def test_asyncio_sockets():
    async def main():
        ctx = zmq.asyncio.Context()
        try:
            push, pull = pair(ctx, zmq.PUSH, zmq.PULL)
            receiver = asyncio.ensure_future(kz.recv_async(pull))  # waits while we send
            for i in range(200):
                await kz.send_async(push, numbered_frame(i), topic=f"t{i}" if i % 2 else None)
            got = [number_of(await receiver)]
            for i in range(1, 200):
                if i % 2:
                    topic, table = await kz.recv_with_topic_async(pull)
                    assert topic == f"t{i}".encode()
                else:
                    envelope, table = await kz.recv_envelope_async(pull)
                    assert envelope == []
                got.append(number_of(table))
            assert got == list(range(200))
        finally:
            ctx.destroy(linger=0)

    asyncio.run(main())


@pytest.mark.parametrize(("module", "hint"), [("zmq", "pyzmq"), ("redis", "redis")])
def test_missing_dependency_says_what_to_install(module, hint):
    import subprocess
    import sys

    code = f"import sys; sys.modules[{module!r}] = None; import kvt.{module}"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 1
    last = done.stderr.strip().splitlines()[-1]
    assert last == f"ImportError: kvt.{module} needs {hint}: pip install 'kvt[{module}]'"
