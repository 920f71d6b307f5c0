"""The per-thread ChaCha12 random source: block function, word order, refill
and rekey, the derived draws and the ziggurat normal."""

import errno
import math
import struct
import threading

import pytest
import scipy.stats

import _vica_testing as vt

KEY = bytes(range(32))
R = 3.654152885361009
MASK32 = 0xFFFFFFFF


# ---------------------------------------------------------------------------
# An independent ChaCha block function, written from the published algorithm.

def _rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK32


def _qr(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK32; x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32; x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32; x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32; x[b] = _rotl(x[b] ^ x[c], 7)


def ref_block(key, counter, stream=0, rounds=12):
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]
    state += list(struct.unpack("<8I", key))
    state += [counter & MASK32, counter >> 32, stream & MASK32, stream >> 32]
    x = list(state)
    for _ in range(rounds // 2):
        _qr(x, 0, 4, 8, 12); _qr(x, 1, 5, 9, 13); _qr(x, 2, 6, 10, 14); _qr(x, 3, 7, 11, 15)
        _qr(x, 0, 5, 10, 15); _qr(x, 1, 6, 11, 12); _qr(x, 2, 7, 8, 13); _qr(x, 3, 4, 9, 14)
    return [(a + b) & MASK32 for a, b in zip(x, state)]


def words(data):
    return list(struct.unpack("<%dI" % (len(data) // 4), data))


def native_blocks(key, first, count):
    """Blocks first..first+count-1 (12 rounds, stream 0) from the plain block function."""
    out = []
    for c in range(first, first + count):
        out += words(vt.chacha_block(key, c, 0, 12))
    return out


def pack(*ws):
    return struct.pack("<%dI" % len(ws), *ws)


def split64(v):
    return v & MASK32, v >> 32


def fresh(key=KEY):
    """A keyed generator with its first refill done and index 1."""
    rng = vt.RandomSource(key)
    rng.next_u32()
    return rng


# ---------------------------------------------------------------------------
# Block function

def test_chacha20_rfc8439_block_vector():
    # RFC 8439, 2.3.2: key 00..1f, counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
    # Words 12..15 are the counter and the nonce; here words 12-13 are the
    # 64-bit counter and words 14-15 the 64-bit stream.
    key = bytes(range(32))
    counter = 1 | (0x09000000 << 32)
    stream = 0x4A000000
    expected = bytes.fromhex(
        "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e")
    assert vt.chacha_block(key, counter, stream, 20) == expected
    assert pack(*ref_block(key, counter, stream, 20)) == expected


def test_chacha12_zero_key_vector():
    block = vt.chacha_block(bytes(32), 0, 0, 12)
    assert block[:32].hex() == "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
    assert words(block) == ref_block(bytes(32), 0)


@pytest.mark.parametrize("rounds", [8, 12, 20])
def test_block_function_matches_reference(rounds):
    for k, counter in enumerate([0, 5, 2**32 - 1, 2**32, 2**64 - 1]):
        key = bytes((7 * i + 13 * k + 1) & 0xFF for i in range(32))
        assert words(vt.chacha_block(key, counter, k, rounds)) == ref_block(key, counter, k, rounds)


def test_every_path_gives_the_same_blocks():
    paths = vt.chacha_paths()
    assert paths[0] == "portable"
    assert vt.chacha_path()[1] == paths[-1]  # the best available path is the default
    for counter in [0, 8, 1016, 2**32 - 4, 2**64 - 4]:
        for k in range(3):
            key = bytes((31 * i + 101 * k + 3) & 0xFF for i in range(32))
            expected = []
            for b in range(8):
                expected += words(vt.chacha_block(key, (counter + b) % 2**64, 0, 12))
            for path in paths:
                assert words(vt.chacha_batch(path, key, counter)) == expected, (path, counter)
    assert words(vt.chacha_batch("portable", KEY, 8))[:16] == ref_block(KEY, 8)


def test_every_path_gives_the_same_generator_words():
    active = vt.chacha_path()[0]
    streams = {}
    try:
        for path in vt.chacha_paths():
            vt.set_chacha_path(path)
            rng = vt.RandomSource(KEY)
            streams[path] = rng.words(3000) + struct.pack("<5d", *rng.standard_normals(5))
    finally:
        vt.set_chacha_path(active)
    assert len(set(streams.values())) == 1


# ---------------------------------------------------------------------------
# Word order, refill and rekey

def test_first_refill_is_blocks_zero_to_three():
    rng = vt.RandomSource(KEY)
    assert (rng.block_counter(), rng.buffer_index()) == (0, 64)
    first = words(rng.words(1))
    assert (rng.block_counter(), rng.buffer_index()) == (4, 1)
    rest = words(rng.words(63))
    assert (rng.block_counter(), rng.buffer_index()) == (4, 64)
    expected = []
    for c in range(5):
        expected += ref_block(KEY, c)
    assert first + rest == expected[:64]
    assert words(rng.words(1)) == expected[64:65]  # word 0 of block 4
    assert (rng.block_counter(), rng.buffer_index()) == (8, 1)


def test_next_u64_is_low_word_first_and_never_skips():
    blocks = native_blocks(KEY, 0, 12)
    rng = vt.RandomSource(KEY)
    assert rng.next_u64() == blocks[0] | (blocks[1] << 32)
    assert rng.buffer_index() == 2

    # index 63: low half from the old refill, high half from the new one
    rng = vt.RandomSource(KEY)
    rng.words(63)
    assert rng.buffer_index() == 63
    assert rng.next_u64() == blocks[63] | (blocks[64] << 32)
    assert (rng.block_counter(), rng.buffer_index()) == (8, 1)
    assert rng.next_u32() == blocks[65]

    # index 64: both halves from the new refill
    rng = vt.RandomSource(KEY)
    rng.words(64)
    assert rng.next_u64() == blocks[64] | (blocks[65] << 32)
    assert (rng.block_counter(), rng.buffer_index()) == (8, 2)

    # the same at the second refill of a pair (blocks 8..11)
    rng = vt.RandomSource(KEY)
    rng.words(127)
    assert rng.next_u64() == blocks[127] | (blocks[128] << 32)
    assert (rng.block_counter(), rng.buffer_index()) == (12, 1)
    assert rng.next_u32() == blocks[129]

    # a mixture of 32- and 64-bit draws reads the words in order
    rng = vt.RandomSource(KEY)
    seq = []
    for k in range(100):
        if k % 3 == 0:
            seq.append(rng.next_u32())
        else:
            seq += split64(rng.next_u64())
    assert seq == native_blocks(KEY, 0, (len(seq) + 15) // 16)[:len(seq)]


def test_rekey_at_the_257th_refill():
    rng = vt.RandomSource(KEY)
    old = words(rng.words(256 * 64))
    assert old == native_blocks(KEY, 0, 1024)
    assert (rng.block_counter(), rng.buffer_index()) == (1024, 64)
    assert rng.key() == KEY

    first = rng.next_u32()
    new_key = rng.key()
    assert new_key != KEY
    assert (rng.block_counter(), rng.buffer_index()) == (4, 1)
    new = [first] + words(rng.words(63 + 64))
    assert new == native_blocks(new_key, 0, 8)
    assert new[:16] != native_blocks(KEY, 1024, 1)


def test_reseed_failure():
    rng = vt.RandomSource(KEY)
    rng.words(256 * 64)
    vt.fail_entropy(errno.EIO, 1)
    try:
        with pytest.raises(BaseException) as info:
            rng.next_u32()
    finally:
        vt.fail_entropy(0, 0)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    (message,) = info.value.args
    assert message.startswith("could not reseed ThreadRng: ")
    assert "os error %d" % errno.EIO in message


# ---------------------------------------------------------------------------
# Derived draws

def test_uniform01_extremes():
    rng = fresh()
    rng.overwrite_next_words(pack(MASK32, MASK32, 0, 0))
    assert rng.uniform01() == 1.0 - 2.0**-53
    assert rng.uniform01() == 0.0
    # only the top 53 bits count: bit 11 of the 64-bit word is the last one
    rng.overwrite_next_words(pack(1 << 11, 0, (1 << 11) - 1, 0))
    assert rng.uniform01() == 2.0**-53
    assert rng.uniform01() == 0.0


def test_open01_bounds():
    rng = fresh()
    rng.overwrite_next_words(pack(0, 0, MASK32, MASK32, 0, 1 << 31))
    assert rng.open01() == 2.0**-53
    assert rng.open01() == 1.0 - 2.0**-53
    assert rng.open01() == 0.5 + 2.0**-53
    rng = vt.RandomSource(KEY)
    values = [rng.open01() for _ in range(20000)]
    assert all(0.0 < v < 1.0 for v in values)


def test_coin_is_the_top_bit():
    rng = fresh()
    rng.overwrite_next_words(pack(0x80000000, 0x7FFFFFFF, MASK32, 0, 0x40000000))
    assert [rng.coin() for _ in range(5)] == [True, False, True, False, False]
    rng = vt.RandomSource(KEY)
    flips = [rng.coin() for _ in range(64)]
    assert flips == [w >> 31 == 1 for w in native_blocks(KEY, 0, 4)]


# ---------------------------------------------------------------------------
# Ziggurat

def reference_tables():
    V = 0.00492867323399
    f = lambda x: math.exp(-x * x / 2.0)
    X = [0.0] * 257
    X[0] = V / f(R)
    X[1] = R
    for i in range(1, 255):
        X[i + 1] = math.sqrt(-2.0 * math.log(V / X[i] + f(X[i])))
    X[256] = 0.0
    F = [f(x) for x in X[:256]] + [1.0]
    return X, F


def ulps(a, b):
    ia = struct.unpack("<q", struct.pack("<d", a))[0]
    ib = struct.unpack("<q", struct.pack("<d", b))[0]
    return abs(ia - ib)


def test_ziggurat_tables():
    X, F = vt.ziggurat_tables()
    assert len(X) == len(F) == 257
    assert (X, F) == reference_tables()
    # the published 256-layer tables
    published_x = {0: 3.91075795953709, 1: R, 2: 3.4492782985609645, 3: 3.320244733839166,
                   255: 0.2152418959132738, 256: 0.0}
    published_f = {1: 0.001260285930498598, 255: 0.9771017012827313, 256: 1.0}
    for i, v in published_x.items():
        assert X[i] == v, i
    for i, v in published_f.items():
        assert F[i] == v, i
    # F[0] belongs to no wedge test; the published value differs in the last bits
    assert ulps(F[0], 0.000477467764586655) <= 8
    assert all(X[i] > X[i + 1] for i in range(256))


def normal_bits(i, u):
    """The 64-bit draw that selects layer i and u (a multiple of 2^-51 in [-1, 1))."""
    frac = round((u + 1.0) * 2.0**51)
    assert 0 <= frac < 2**52
    return (frac << 12) | i


def test_ziggurat_layers_and_wedges():
    X, F = vt.ziggurat_tables()
    rng = fresh()
    # step 4: inside the rectangle, a single draw
    rng.overwrite_next_words(pack(*split64(normal_bits(5, 0.5)), *split64(normal_bits(77, -0.25))))
    assert rng.standard_normal() == 0.5 * X[5]
    assert rng.standard_normal() == -0.25 * X[77]
    assert rng.buffer_index() == 5

    # step 6: a wedge point accepted when the uniform is close to 1 ...
    u = 1.0 - 2.0**-40
    x = u * X[100]
    assert X[101] <= abs(x) and F[100] < math.exp(-x * x / 2.0) < F[101]
    rng = fresh()
    rng.overwrite_next_words(pack(*split64(normal_bits(100, u)), MASK32, MASK32))
    assert rng.standard_normal() == x
    assert rng.buffer_index() == 5
    # ... and rejected when it is 0: start again with a new draw
    rng = fresh()
    rng.overwrite_next_words(pack(*split64(normal_bits(100, u)), 0, 0,
                                  *split64(normal_bits(5, 0.5))))
    assert rng.standard_normal() == 0.5 * X[5]
    assert rng.buffer_index() == 7


def tail_value(u_sign, p_word, q_word):
    def open01(w):
        return struct.unpack("<d", struct.pack("<Q", (w >> 12) | 0x3FF0000000000000))[0] - 0.9999999999999999
    a = math.log(open01(p_word)) / R
    b = math.log(open01(q_word))
    assert not (-2.0 * b < a * a)
    return a - R if u_sign < 0 else R - a


def test_ziggurat_tail():
    p_word, q_word = 1 << 63, 0
    # layer 0 with u = -1: the negative tail
    rng = fresh()
    rng.overwrite_next_words(pack(0, 0, *split64(p_word), *split64(q_word)))
    v = rng.standard_normal()
    assert v == tail_value(-1, p_word, q_word) and v < -R
    # layer 0 with u close to 1: the positive tail
    rng = fresh()
    rng.overwrite_next_words(pack(*split64(0xFFFFFFFFFFFFFF00), *split64(p_word), *split64(q_word)))
    v = rng.standard_normal()
    assert v == tail_value(1, p_word, q_word) and v > R
    # a rejected tail try (b = ln(1 - 2^-53) is almost 0) is followed by another
    rng = fresh()
    rng.overwrite_next_words(pack(0, 0, *split64(p_word), MASK32, MASK32,
                                  *split64(p_word), *split64(q_word)))
    assert rng.standard_normal() == tail_value(-1, p_word, q_word)
    assert rng.buffer_index() == 11
    # layer 0 inside the base rectangle: no tail
    X, _ = vt.ziggurat_tables()
    rng = fresh()
    rng.overwrite_next_words(pack(*split64(normal_bits(0, 0.5))))
    assert rng.standard_normal() == 0.5 * X[0]


def test_standard_normal_distribution():
    n = 1_000_000
    rng = vt.RandomSource(bytes(range(100, 132)))
    xs = rng.standard_normals(n)
    assert scipy.stats.kstest(xs, "norm").pvalue > 1e-3
    mean = sum(xs) / n
    var = sum(x * x for x in xs) / n - mean * mean
    assert abs(mean) < 5.0 / math.sqrt(n)
    assert abs(var - 1.0) < 5.0 * math.sqrt(2.0 / n)

    # tail draws: hit rate and shape beyond R
    tail = [abs(x) for x in xs if abs(x) > R]
    p = 2.0 * scipy.stats.norm.sf(R)
    assert abs(len(tail) - n * p) < 5.0 * math.sqrt(n * p * (1.0 - p))
    assert scipy.stats.kstest(tail, scipy.stats.truncnorm(R, math.inf).cdf).pvalue > 1e-3
    assert sum(1 for x in xs if x > R) == pytest.approx(len(tail) / 2, abs=5 * math.sqrt(len(tail)))


# ---------------------------------------------------------------------------
# The per-thread generator

def test_thread_generator_persists_within_a_thread():
    vt.thread_next_u64()
    addr, counter, index, key = vt.thread_rng_info()
    if index > 62:
        vt.thread_next_u64()
        addr, counter, index, key = vt.thread_rng_info()
    vt.thread_next_u64()
    assert vt.thread_rng_info() == (addr, counter, index + 2, key)


def test_threads_get_independent_generators():
    n = 4
    barrier = threading.Barrier(n)
    results = [None] * n
    errors = []

    def work(k):
        try:
            info = vt.thread_rng_info()
            draws = [vt.thread_next_u64() for _ in range(8)]
            barrier.wait()  # every generator is alive at the same time
            results[k] = (info, draws, vt.thread_rng_info()[0])
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    main_info = vt.thread_rng_info()
    addrs = {r[0][0] for r in results} | {main_info[0]}
    keys = {r[0][3] for r in results} | {main_info[3]}
    assert len(addrs) == n + 1 and len(keys) == n + 1
    assert all(r[0][0] == r[2] for r in results)
    assert len({tuple(r[1]) for r in results}) == n
    for (addr, counter, index, key), draws, _ in results:
        # a new generator: its first refill, from its own key
        assert (counter, index) == (0, 64)
        blocks = native_blocks(key, 0, 1)
        assert draws[:2] == [blocks[0] | (blocks[1] << 32), blocks[2] | (blocks[3] << 32)]


def test_thread_generator_failures():
    assert vt.tls_access_during_shutdown() == (
        "cannot access a Thread Local Storage value during or after destruction")

    caught = []

    def work():
        vt.fail_entropy(errno.EIO, 1)
        try:
            vt.thread_next_u64()
        except BaseException as e:  # noqa: BLE001 - checked below
            caught.append(e)
        finally:
            vt.fail_entropy(0, 0)

    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert len(caught) == 1 and type(caught[0]).__name__ == "PanicException"
    (message,) = caught[0].args
    assert message.startswith("could not initialize ThreadRng: ")
    assert "os error %d" % errno.EIO in message
