"""Timestamps, ULIDs, trace and frame ids, and the per-thread secure generator under them."""

import json
import subprocess
import sys
import textwrap
import time

import _vexo_testing as t
import pytest

ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
BLOCK_BYTES = 64
DRAWS_PER_SEED = (1 << 20) // 8  # one seed gives 1 MiB of output, 8 bytes per draw


def reference_text(millis, high, low):
    value = (millis << 80) | (high << 64) | low
    return "".join(ALPHABET[(value >> (125 - 5 * i)) & 31] for i in range(26))


def millis_of(ulid):
    value = 0
    for char in ulid[:10]:
        value = value * 32 + ALPHABET.index(char)
    return value


def run_python(script):
    """Runs a script in a fresh interpreter (threads and forks stay out of the test process)."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    ("seconds", "nanoseconds", "expected"),
    [
        (1700000000, 500000000, 1700000000.5),
        (1700000000, 0, 1700000000.0),
        (0, 0, 0.0),
        (0, 1, 1e-9),
        (1, 999999999, 1.999999999),
        (-1, 0, 0.0),
        (-1, 500000000, 0.0),
    ],
)
def test_timestamp_from_clock_reading(seconds, nanoseconds, expected):
    assert t.timestamp_from(seconds, nanoseconds) == expected


def test_timestamp_reads_the_real_time_clock():
    before = time.time()
    stamp = t.timestamp()
    after = time.time()
    assert before - 1e-6 <= stamp <= after + 1e-6


@pytest.mark.parametrize(
    ("seconds", "nanoseconds", "millis"),
    [
        (1700000000, 0, 1700000000000),
        (1700000000, 999999999, 1700000000999),
        (1700000000, 1999999, 1700000000001),
        (0, 999999, 0),
        (-1, 0, 0),
        (-5, 999999999, 0),
        (2**48 // 1000 + 7, 0, ((2**48 // 1000 + 7) * 1000) % 2**48),
    ],
)
def test_ulid_millis_from_clock_reading(seconds, nanoseconds, millis):
    assert t.ulid_millis_from(seconds, nanoseconds) == millis


def test_ulid_of_known_millis_begins_with_its_time_text():
    text = t.ulid_encode(1700000000000, 0xABCD, 0x0123456789ABCDEF)
    assert text[:10] == "01HF7YAT00"
    assert text == reference_text(1700000000000, 0xABCD, 0x0123456789ABCDEF)


@pytest.mark.parametrize(
    ("millis", "high", "low"),
    [
        (0, 0, 0),
        (2**48 - 1, 2**16 - 1, 2**64 - 1),
        (1, 0, 0),
        (0, 1, 0),
        (0, 0, 1),
        (0, 0, 2**63),
        (0, 0, 0xF << 60),  # bits that straddle the two words
        (0x123456789ABC, 0x8001, 0xFEDCBA9876543210),
    ],
)
def test_ulid_text_is_crockford_base32_of_128_bits(millis, high, low):
    text = t.ulid_encode(millis, high, low)
    assert len(text) == 26
    assert text == reference_text(millis, high, low)


def test_largest_ulid_starts_with_seven():
    assert t.ulid_encode(2**48 - 1, 2**16 - 1, 2**64 - 1) == "7" + "Z" * 25


def test_new_ulid_carries_the_current_millisecond():
    before = time.time_ns() // 1_000_000
    text = t.new_ulid()
    after = time.time_ns() // 1_000_000
    assert before <= millis_of(text) <= after
    assert text[0] in "01234567"
    assert set(text) <= set(ALPHABET)


def test_new_ulids_differ_in_their_random_part():
    texts = [t.new_ulid() for _ in range(2000)]
    assert len(set(texts)) == len(texts)
    assert len({text[10:] for text in texts}) == len(texts)
    assert set("".join(text[10:] for text in texts)) == set(ALPHABET)


@pytest.mark.parametrize(("make", "prefix"), [(t.new_trace_id, "trc_"), (t.new_frame_id, "frm_")])
def test_ids_are_prefix_and_ulid(make, prefix):
    before = time.time_ns() // 1_000_000
    made = make()
    assert len(made) == 30
    assert made.startswith(prefix)
    assert set(made[4:]) <= set(ALPHABET)
    assert before <= millis_of(made[4:])


# The block function's test vectors of RFC 8439 (2.3.2 and A.1 #1, #2).
@pytest.mark.parametrize(
    ("key", "counter", "nonce", "block"),
    [
        (
            bytes(range(32)),
            1,
            bytes.fromhex("000000090000004a00000000"),
            "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
            "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e",
        ),
        (
            bytes(32),
            0,
            bytes(12),
            "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
            "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586",
        ),
        (
            bytes(32),
            1,
            bytes(12),
            "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
            "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f",
        ),
    ],
)
def test_chacha20_block_matches_test_vectors(key, counter, nonce, block):
    assert t.chacha20_block(key, counter, nonce) == bytes.fromhex(block)
    assert len(bytes.fromhex(block)) == BLOCK_BYTES


def test_generator_is_per_thread_and_reseeds_after_bounded_output():
    result = run_python(
        f"""
        import json, threading
        import _vexo_testing as t

        seen = {{}}

        def draw():
            seen["fresh"] = t.random_seedings()
            first = t.random_u64s(1)
            seen["after_first"] = t.random_seedings()
            rest = t.random_u64s({DRAWS_PER_SEED} - 1)
            seen["after_one_seed"] = t.random_seedings()
            more = t.random_u64s(1)
            seen["after_more"] = t.random_seedings()
            seen["values"] = first + rest[:1000] + more

        main_values = t.random_u64s(1000)
        thread = threading.Thread(target=draw)
        thread.start()
        thread.join()
        seen["main_values"] = main_values
        seen["main_seedings"] = t.random_seedings()
        print(json.dumps(seen))
        """
    )
    assert result["fresh"] == 0
    assert result["after_first"] == 1
    assert result["after_one_seed"] == 1
    assert result["after_more"] == 2
    assert result["main_seedings"] == 1
    values = result["values"] + result["main_values"]
    assert len(set(values)) == len(values)


# Runs `body` in a forked child and returns what it returns (through a pipe, as JSON).
IN_CHILD = """
import json, os
import _vexo_testing as t

def in_child(body):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.write(write_end, json.dumps(body()).encode())
        os._exit(0)
    os.close(write_end)
    data = b""
    while chunk := os.read(read_end, 1 << 16):
        data += chunk
    os.close(read_end)
    os.waitpid(pid, 0)
    return json.loads(data)

def draw():
    return {"values": t.random_u64s(64), "ulids": [t.new_ulid() for _ in range(8)],
            "seedings": t.random_seedings()}
"""


@pytest.mark.parametrize("drawn_before_fork", [True, False])
def test_parent_and_child_never_share_a_sequence(drawn_before_fork):
    result = run_python(
        IN_CHILD
        + f"""
if {drawn_before_fork}:
    t.random_u64s(3)  # leaves keystream words buffered across the fork
before = t.random_seedings()
child = in_child(draw)
parent = draw()
print(json.dumps({{"before": before, "child": child, "parent": parent}}))
"""
    )
    child, parent = result["child"], result["parent"]
    assert not set(child["values"]) & set(parent["values"])
    assert not set(child["ulids"]) & set(parent["ulids"])
    assert result["before"] == (1 if drawn_before_fork else 0)
    assert parent["seedings"] == 1
    assert child["seedings"] == result["before"] + 1


def test_grandchild_reseeds_again():
    result = run_python(
        IN_CHILD
        + """
def child_then_grandchild():
    return {"child": draw(), "grandchild": in_child(draw)}

t.random_u64s(1)
both = in_child(child_then_grandchild)
print(json.dumps({"parent": draw(), **both}))
"""
    )
    runs = [result["parent"], result["child"], result["grandchild"]]
    assert [run["seedings"] for run in runs] == [1, 2, 3]
    values = [value for run in runs for value in run["values"]]
    assert len(set(values)) == len(values)
