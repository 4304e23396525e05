"""The output codecs against independent implementations: SHA-1 against
hashlib, MS-Numpress against the format's reference encoders and decoders
(pynumpress). The library's codecs run in tests/cpp/codec_tool, a process
built with the C++ tests; VELORIUM_CODEC_TOOL names it (scripts/test.sh sets
it), otherwise the one of build/cpp is used. Without it these tests fail.

The reference encoders abort the process on values they cannot encode, so
they are only given what the library's encoders accepted."""

import hashlib
import math
import os
import random
import struct
import subprocess
from pathlib import Path

import numpy as np
import pynumpress
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parents[2]
DBL_MAX = np.finfo(np.float64).max


class Refused(Exception):
    """The library's codec returned an Error (its display text)."""


class Codecs:
    """The codec tool's requests: op (u8), fixed point (f64), payload."""

    def __init__(self, path):
        self.proc = subprocess.Popen([str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def call(self, op, payload=b"", fixed_point=0.0):
        self.proc.stdin.write(struct.pack("<BdQ", op, fixed_point, len(payload)) + payload)
        self.proc.stdin.flush()
        head = self.proc.stdout.read(9)
        assert len(head) == 9, f"the codec tool ended (status {self.proc.poll()})"
        status, size = struct.unpack("<BQ", head)
        body = self.proc.stdout.read(size)
        if status != 0:
            raise Refused(body.decode())
        return body

    def sha1(self, data, pieces):
        out = self.call(1, struct.pack(f"<I{len(pieces)}Q", len(pieces), *pieces) + data)
        return out[:20], out[20:].decode()

    def sha1_of_file(self, path):
        return self.call(2, os.fsencode(path)).decode()

    def encode(self, codec, values, fixed_point):
        op, dtype = {"linear": (3, np.float64), "slof": (4, np.float32), "pic": (5, np.float32)}[codec]
        return self.call(op, np.asarray(values, dtype).tobytes(), fixed_point or 0.0)

    def decode(self, codec, data):
        return np.frombuffer(self.call({"linear": 6, "slof": 7, "pic": 8}[codec], data), np.float64)

    def optimal(self, codec, values):
        op, dtype = {"linear": (9, np.float64), "slof": (10, np.float32)}[codec]
        return struct.unpack("<d", self.call(op, np.asarray(values, dtype).tobytes()))[0]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


@pytest.fixture(scope="module")
def codecs():
    env = os.environ.get("VELORIUM_CODEC_TOOL")
    path = Path(env) if env else ROOT / "build" / "cpp" / "tests" / "cpp" / "codec_tool"
    if not path.is_file():
        pytest.fail(f"no codec tool at {path}: build the C++ tests or set VELORIUM_CODEC_TOOL")
    tool = Codecs(path)
    yield tool
    tool.close()


# --- SHA-1 ----------------------------------------------------------------------

def test_sha1_matches_hashlib_at_every_length_in_any_pieces(codecs):
    rng = random.Random(1)
    for n in [*range(301), 1000, 4099, 65600]:
        data = rng.randbytes(n)
        cuts = sorted(rng.randrange(n + 1) for _ in range(rng.randrange(6)))
        pieces = [b - a for a, b in zip([0, *cuts], cuts)]  # the rest goes as one more piece
        digest, hex_again = codecs.sha1(data, pieces)
        expected = hashlib.sha1(data)
        assert (digest, hex_again) == (expected.digest(), expected.hexdigest()), (n, pieces)


def test_sha1_of_a_large_file_and_of_none(codecs, tmp_path):
    path = tmp_path / "large.bin"
    expected = hashlib.sha1()
    rng = np.random.default_rng(2)
    with open(path, "wb") as f:
        for size in [1 << 20] * 320 + [12345]:
            chunk = rng.bytes(size)
            f.write(chunk)
            expected.update(chunk)
    assert codecs.sha1_of_file(path) == expected.hexdigest()
    with pytest.raises(Refused, match="^I/O error: No such file or directory$"):
        codecs.sha1_of_file(tmp_path / "missing")


# --- MS-Numpress against the reference ---------------------------------------------

REFERENCE = {
    "linear": (pynumpress.encode_linear, pynumpress.decode_linear),
    "slof": (pynumpress.encode_slof, pynumpress.decode_slof),
    "pic": (lambda values, fixed_point: pynumpress.encode_pic(values), pynumpress.decode_pic),
}


def within_bound(codec, values, decoded, fixed_point):
    """The error of every decoded value is within the codec's documented bound."""
    v = np.asarray(values, np.float64)
    if len(v) == 0:
        return len(decoded) == 0
    if codec == "linear":
        return np.all(np.abs(decoded - v) <= 0.5 / fixed_point + np.abs(v) * 2.0**-51)
    if codec == "slof":
        return np.all(np.abs(np.log(decoded + 1) - np.log(v + 1)) <= 0.5 / fixed_point + 1e-12)
    return np.all(np.abs(decoded - v) <= 0.5)


def check_against_reference(codecs, codec, values, fixed_point):
    """Encodes with the library; the bytes are the reference's for the same
    fixed point, the reference decodes them to the library's values, and
    these are within the bound. Returns the decoded values."""
    ours = codecs.encode(codec, values, fixed_point)
    encode, decode = REFERENCE[codec]
    as_double = np.asarray(values, np.float64)
    assert ours == bytes(encode(as_double, fixed_point))
    decoded = codecs.decode(codec, ours)
    # The reference decoder reads linear arrays of no value or of two and
    # more; it refuses its own 12 bytes of a single value.
    if not (codec == "linear" and len(values) == 1):
        np.testing.assert_array_equal(decoded, decode(np.frombuffer(ours, np.uint8)))
    assert len(decoded) == len(values)
    assert within_bound(codec, values, decoded, fixed_point)
    return decoded


def optimal(codecs, codec, values):
    """The library's optimal fixed point, checked against the reference's."""
    if codec == "pic":
        return None
    ours = codecs.optimal(codec, values)
    reference = getattr(pynumpress, f"optimal_{codec}_fixed_point")(np.asarray(values, np.float64))
    # An infinite quotient (one or two values, zero or tiny) is the largest
    # finite double instead, which encodes them as well.
    assert ours == (DBL_MAX if reference == math.inf else reference)
    return ours


def ascending_mz(rng, n):
    return np.sort(rng.uniform(50.0, 3000.0, n))


def spectrum_mz(rng, n):
    """Profile m/z: steps growing with m/z, and gaps where zeros were dropped."""
    steps = rng.uniform(0.8, 1.2, n) * 2e-6 * np.linspace(100, 2000, n)
    steps[rng.random(n) < 0.05] *= 500
    return 100.0 + np.cumsum(steps)


def intensities(rng, n):
    counts = np.exp(rng.normal(5, 3, n)).astype(np.float32)
    counts[rng.random(n) < 0.3] = 0
    return counts


# codec: kind -> (values of length n, fixed points to try besides the optimal one)
ARRAYS = {
    "linear": {
        "ascending m/z": (ascending_mz, [1e5, 12345.678]),
        "profile m/z": (spectrum_mz, [1e5]),
        "arbitrary": (lambda rng, n: rng.uniform(0.0, 1e5, n), [100.0]),
        "zeros": (lambda rng, n: np.zeros(n), [1e5]),
        "up to 2^29": (lambda rng, n: rng.uniform(0.0, 2.0**29, n), []),
        "tiny": (lambda rng, n: rng.uniform(0.0, 1e-300, n), [1e5]),
    },
    "slof": {
        "intensities": (intensities, [100.0]),
        "zeros": (lambda rng, n: np.zeros(n, np.float32), [100.0]),
        "huge": (lambda rng, n: rng.uniform(0, 3e38, n).astype(np.float32), [100.0]),
        "tiny": (lambda rng, n: rng.uniform(0, 1e-30, n).astype(np.float32), [1e9]),
    },
    "pic": {
        "intensities": (lambda rng, n: np.minimum(intensities(rng, n), 2147483520.0), []),
        "zeros": (lambda rng, n: np.zeros(n, np.float32), []),
        "up to 2^31": (lambda rng, n: rng.uniform(0, 2147483520.0, n).astype(np.float32), []),
        "halves": (lambda rng, n: (rng.integers(0, 1000, n) + 0.5).astype(np.float32), []),
    },
}
LENGTHS = [0, 1, 2, 3, 4, 5, 8, 17, 100, 1001, 100000]


@pytest.mark.parametrize("codec,kind", [(c, k) for c, kinds in ARRAYS.items() for k in kinds])
def test_numpress_random_arrays_at_optimal_and_set_fixed_points(codecs, codec, kind):
    make, fixed_points = ARRAYS[codec][kind]
    rng = np.random.default_rng(len(kind) * 31 + len(codec))
    for n in LENGTHS:
        values = make(rng, n)
        for fixed_point in [optimal(codecs, codec, values), *fixed_points]:
            check_against_reference(codecs, codec, values, fixed_point)


@pytest.mark.parametrize("codec,values,fixed_point", [
    ("linear", [4294967295.0], 1.0),                   # the first value at 2^32 - 1 units
    ("linear", [1.0, 4294967295.0], 1.0),
    ("linear", [0.0, 1073741824.0, 0.0], 1.0),          # residual -2^31
    ("linear", [0.0, 0.0, 2147483647.0], 1.0),          # residual 2^31 - 1
    ("linear", [3.0, -0.04, 1.0], 10.0),                # within half a unit below zero
    ("linear", [], 0.0),
    ("slof", [1.7182817, 0.0], 65535.0),                # just below e - 1: 65535, the largest code
    ("slof", [-3e-6, 1.0], 65535.0),                    # rounds up to the code 0
    ("slof", [], 0.0),
    ("pic", [-0.5, 0.49, 0.5, 1.5, 2147483520.0], None),  # 2147483520: the largest float below 2^31 - 1.5
])
def test_numpress_at_the_edges_of_each_range(codecs, codec, values, fixed_point):
    check_against_reference(codecs, codec, np.asarray(values), fixed_point)


# The bounds of the documentation, at the optimal fixed point, on arrays as
# spectra have them.
def test_numpress_error_at_the_optimal_fixed_point(codecs):
    rng = np.random.default_rng(5)
    for mz in (ascending_mz(rng, 50000), spectrum_mz(rng, 50000)):
        decoded = check_against_reference(codecs, "linear", mz, optimal(codecs, "linear", mz))
        assert np.max(np.abs(decoded - mz)) <= 2.33e-10 * mz.max()
    counts = intensities(rng, 50000)
    counts[0] = 1e9
    fixed_point = optimal(codecs, "slof", counts)
    decoded = check_against_reference(codecs, "slof", counts, fixed_point)
    relative = np.max(np.abs((decoded + 1) / (counts.astype(np.float64) + 1) - 1))
    assert relative <= 0.5 * math.log(1e9 + 1) / 65535 * 1.001
    assert relative < 2e-4


def mz_lists(sort):
    values = st.lists(st.floats(0.0, 1e7), max_size=40)
    return values.map(sorted) if sort else values


# With the optimal fixed point every one of these arrays is encodable; with
# another one the library may refuse, and then the reference is not asked.
@settings(max_examples=300, deadline=None, database=None)
@given(codec_values=st.one_of(
           st.tuples(st.just("linear"), st.one_of(mz_lists(True), mz_lists(False))),
           st.tuples(st.just("slof"), st.lists(st.floats(0.0, width=32, allow_infinity=False), max_size=40)),
           st.tuples(st.just("pic"), st.lists(st.floats(-0.5, 2147483520.0, width=32), max_size=40))),
       fixed_point=st.one_of(st.none(), st.floats(1e-3, 1e9)))
def test_numpress_matches_the_reference_on_generated_arrays(codecs, codec_values, fixed_point):
    codec, values = codec_values
    values = np.asarray(values, np.float64 if codec == "linear" else np.float32)
    if fixed_point is None or codec == "pic":
        check_against_reference(codecs, codec, values, optimal(codecs, codec, values))
        return
    try:
        check_against_reference(codecs, codec, values, fixed_point)
    except Refused as refused:
        assert "is too large for the fixed point" in str(refused) or "linear prediction" in str(refused)
