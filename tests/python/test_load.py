import os
import random
import threading
import uuid

import numpy as np
import pytest
import torch

import tarnwick
from cast_reference import round_trip
from store_reader import read_manifest, records_by_name


def raw(tensor):
    if tensor.dtype == torch.bfloat16:
        return tensor.view(torch.int16).numpy().tobytes()
    return tensor.contiguous().numpy().tobytes()


DTYPES = [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.int8, torch.int16,
          torch.int32, torch.int64, torch.uint8, torch.bool, torch.complex64, torch.complex128]


def sample(dtype, shape, seed):
    g = torch.Generator().manual_seed(seed)
    if dtype == torch.bool:
        return torch.rand(shape, generator=g) > 0.5
    if dtype.is_floating_point or dtype.is_complex:
        return torch.randn(shape, generator=g, dtype=dtype if dtype != torch.bfloat16 else torch.float32).to(dtype)
    return torch.randint(0, 100, shape, generator=g, dtype=dtype)


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_every_dtype_round_trips(manager, dtype):
    tensors = {"big": sample(dtype, (64, 300), 1), "scalar": sample(dtype, (), 2),
               "empty": sample(dtype, (0, 3), 3)}
    snap = manager.save_tensors(0, tensors)
    loaded = manager.load(snap)
    assert set(loaded) == set(tensors)
    for name, tensor in tensors.items():
        assert loaded[name] == raw(tensor), name


def test_round_trips_through_every_record_kind(store):
    manager = tarnwick.TarnwickManager(store, async_save=False)
    big = sample(torch.float32, (5 * 1024 * 1024 // 4 + 123,), 7)  # spans several 4 MiB frames
    state = {
        "big": big,
        "twin": big.clone(),
        "small": sample(torch.float32, (10,), 8),
        "odd": ((3, 2), "my-dtype/v2", bytes(range(6))),
        "ints": sample(torch.int32, (4096,), 9),
    }
    snapshots = [manager.save_tensors(0, state)]
    snapshots.append(manager.save_tensors(1, state))  # all Skipped
    state["big"] = big.clone()
    state["big"][::1000] += 0.25
    state["ints"][::7] += 1
    snapshots.append(manager.save_tensors(2, state))  # DeltaXor
    manifest = read_manifest(store)
    kinds = {(s["id"], r["name"]): r["storage"] for s in manifest["snapshots"]
             for r in s["ranks"]["0"]["tensors"]}
    assert kinds[(snapshots[0], "twin")] == "Alias"
    assert kinds[(snapshots[1], "big")] == "Skipped"
    assert kinds[(snapshots[1], "twin")] == "Alias"
    assert kinds[(snapshots[2], "big")] == "DeltaXor"
    assert kinds[(snapshots[2], "twin")] == "Skipped", "the base record of 'twin' is an alias"
    assert kinds[(snapshots[2], "ints")] == "DeltaXor"

    expected = [dict(state, big=big, ints=sample(torch.int32, (4096,), 9)), None, state]
    expected[1] = expected[0]
    for snap, want in zip(snapshots, expected):
        loaded = manager.load(snap)
        for name, value in want.items():
            want_bytes = value[2] if isinstance(value, tuple) else raw(value)
            assert loaded[name] == want_bytes, (snap, name)
        assert loaded["twin"] == raw(big)
        assert type(loaded["twin"]) is bytearray and loaded["twin"] is not loaded["big"]


SPECIALS = np.array([0.0, -0.0, 1.0, -1.0, 1 + 2**-8, 1 + 3 * 2**-8, 1 + 2**-11, 2**-25, 65504.0,
                     65520.0, 1e-8, 3.4e38, np.inf, -np.inf, 448.0, -896.0, 0.5, 2**-10],
                    dtype=np.float32)


@pytest.mark.parametrize("rule", ["bf16", "fp16", "fp8", "fp8_e5m2"])
def test_casts_come_back_in_the_callers_dtype_with_the_documented_rounding(store, rule):
    manager = tarnwick.TarnwickManager(store, async_save=False, save_dtype=rule)
    rng = np.random.default_rng(5)
    values = np.concatenate([SPECIALS, rng.standard_normal(3000).astype(np.float32) * 3])
    snap = manager.save_tensors(0, {"w": torch.from_numpy(values.copy()),
                                    "h": torch.from_numpy(values.copy()).to(torch.float16),
                                    "ids": torch.arange(5)})
    loaded = manager.load(snap)
    got = np.frombuffer(bytes(loaded["w"]), dtype=np.float32)
    want = round_trip(values, rule)
    np.testing.assert_array_equal(got.view(np.uint32)[~np.isnan(want)], want.view(np.uint32)[~np.isnan(want)])
    assert np.isnan(got[np.isnan(want)]).all()
    half = np.frombuffer(bytes(loaded["h"]), dtype=np.float16)
    assert half.size == values.size, "a float16 tensor comes back as float16"
    assert loaded["ids"] == torch.arange(5).numpy().tobytes()


def test_fp8_vector(store):
    manager = tarnwick.TarnwickManager(store, async_save=False, save_dtype="fp8")
    snap = manager.save_tensors(0, {"t": torch.tensor([1.0, -896.0, float("nan"), float("inf")])})
    got = np.frombuffer(bytes(manager.load(snap)["t"]), dtype=np.float32)
    assert got[0] == 1.0 and got[1] == -896.0 and np.isnan(got[2]) and np.isnan(got[3])
    record = records_by_name(read_manifest(store)["snapshots"][0])["t"]
    assert record["quant_scale"] == 2.0


def test_flipped_byte_fails_the_integrity_check(manager, store):
    snap = manager.save_tensors(0, {"w": torch.randn(10000)})
    record = records_by_name(read_manifest(store)["snapshots"][0])["w"]
    path = os.path.join(store, read_manifest(store)["snapshots"][0]["ranks"]["0"]["pack_file"])
    with open(path, "r+b") as f:
        f.seek(record["offset"] + 100)
        byte = f.read(1)
        f.seek(record["offset"] + 100)
        f.write(bytes([byte[0] ^ 0xFF]))
    with pytest.raises(RuntimeError) as raised:
        manager.load(snap)
    assert str(raised.value).startswith(
        "Integrity check failed: expected " + record["hash_compressed"] + ", got ")


def test_snapshot_ids(manager):
    unknown = str(uuid.uuid4())
    with pytest.raises(RuntimeError) as raised:
        manager.load(unknown)
    assert str(raised.value) == f"Checkpoint not found: Snapshot {unknown}"
    with pytest.raises(ValueError):
        manager.load("not-a-uuid")
    with pytest.raises(TypeError):
        manager.load(5)
    snap = manager.save_tensors(0, {"a": torch.ones(3)})
    assert manager.load(snap.upper()) == manager.load("{" + snap + "}")
    assert manager.load(snap.replace("-", ""))["a"] == raw(torch.ones(3))


def test_load_latest(manager):
    with pytest.raises(RuntimeError) as raised:
        manager.load_latest()
    assert str(raised.value) == "Checkpoint not found: No finalized snapshots"
    manager.save_tensors(5, {"a": torch.zeros(2)})
    last = manager.save_tensors(3, {"a": torch.ones(2)})
    snap, tensors = manager.load_latest()
    assert snap == last and tensors["a"] == raw(torch.ones(2))


def test_list_snapshots(manager):
    first = manager.save_tensors(1, {"w": torch.randn(4096)}, {"k": "v"})
    manager.save_tensors(2, {"w": torch.randn(4096)})
    rows = manager.list_snapshots()
    assert [list(row) for row in rows] == [["step", "id", "is_delta", "total_compressed",
                                            "total_raw", "skipped_tensors", "delta_tensors",
                                            "full_tensors", "ranks", "metadata"]] * 2
    assert rows[0]["id"] == first and rows[0]["metadata"] == {"k": "v"}
    assert rows[0]["is_delta"] is False and rows[1]["is_delta"] is True
    assert rows[0]["total_raw"] == 4096 * 4 and rows[0]["full_tensors"] == 1 and rows[0]["ranks"] == 1


def test_failed_background_save_is_raised_by_load_but_not_by_listing(store):
    manager = tarnwick.TarnwickManager(store)
    with open(os.path.join(store, "snapshots"), "w") as f:
        f.write("x")
    manager.save_tensors(0, {"a": torch.ones(2)})
    assert manager.list_snapshots() == []
    with pytest.raises(RuntimeError, match="^Storage backend error: Background save failed: "):
        manager.load_latest()


def test_loads_while_saving(store):
    manager = tarnwick.TarnwickManager(store, max_deltas_per_full=3, full_every_steps=10**9)
    expected = {}
    lock = threading.Lock()
    errors = []

    def saver():
        g = torch.Generator().manual_seed(1)
        w = torch.randn(50000, generator=g)
        for step in range(150):
            w[step * 31 % 50000] += 1.0
            snap = manager.save_tensors(step, {"w": w, "step": torch.tensor([step])})
            manager.flush()
            with lock:
                expected[snap] = (raw(w), step)

    def loader():
        rnd = random.Random(2)
        for _ in range(150):
            with lock:
                known = list(expected.items())
            if not known:
                continue
            snap, (w_bytes, step) = rnd.choice(known)
            try:
                loaded = manager.load(snap)
            except RuntimeError as e:
                if "Checkpoint not found" in str(e):  # dropped by retention meanwhile
                    continue
                errors.append(e)
                continue
            if loaded["w"] != w_bytes or loaded["step"] != torch.tensor([step]).numpy().tobytes():
                errors.append(f"wrong data for {snap}")

    threads = [threading.Thread(target=saver), threading.Thread(target=loader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
