import os
import threading

import pytest
import torch
import xxhash

import tarnwick
from store_reader import check_rank, read_manifest, read_pack, records_by_name


def model_state(seed=0, n=64 * 1024):
    g = torch.Generator().manual_seed(seed)
    return {
        "model/w": torch.randn(n, generator=g),
        "model/b": torch.randn(16, generator=g),
        "model/steps": torch.arange(4096, dtype=torch.int8),
    }


def test_full_then_skipped_then_delta(store):
    manager = tarnwick.TarnwickManager(store, async_save=False)
    state = model_state()
    first = manager.save_tensors(0, state, {"epoch": "1"})
    manager.save_tensors(10, state)
    state["model/w"][::97] += 1e-3
    state["model/steps"][::5] += 1
    third = manager.save_tensors(20, state)

    manifest = read_manifest(store)
    assert manifest["format_version"] == 2
    full, skipped, delta = manifest["snapshots"]
    assert full["id"] == first and full["base_snapshot_id"] is None
    assert full["metadata"] == {"epoch": "1"}
    assert {r["storage"] for r in records_by_name(full).values()} == {"Full"}
    raw = check_rank(store, full["ranks"]["0"])
    assert raw["model/w"] == state_bytes(model_state()["model/w"])

    assert skipped["base_snapshot_id"] == first
    assert {r["storage"] for r in records_by_name(skipped).values()} == {"Skipped"}
    (_, descriptor_offset, _), _, _ = read_pack(store, skipped["ranks"]["0"]["pack_file"])
    assert descriptor_offset == 32, "a pack of skipped tensors holds no payload"

    assert delta["id"] == third and delta["base_snapshot_id"] == first
    records = records_by_name(delta)
    assert records["model/w"]["storage"] == "DeltaXor" and records["model/w"]["shuffled"]
    assert records["model/steps"]["storage"] == "DeltaXor"
    assert not records["model/steps"]["shuffled"]
    assert records["model/b"]["storage"] == "Skipped"
    check_rank(store, delta["ranks"]["0"])
    assert records["model/w"]["hash_raw"] == xxhash.xxh3_128_hexdigest(state_bytes(state["model/w"]))
    counts = delta["ranks"]["0"]
    assert (counts["full_count"], counts["delta_count"], counts["skipped_count"]) == (0, 2, 1)


def state_bytes(tensor):
    return tensor.numpy().tobytes()


def test_identical_tensors_alias_the_first(manager, store):
    block = torch.ones(2048)  # 8 KiB
    tensors = {"a": block, "b": block.clone(), "c": block.clone(), "small": torch.ones(8),
               "small2": torch.ones(8), "as_int": (list(block.shape), "int32", state_bytes(block))}
    manager.save_tensors(1, tensors)
    records = records_by_name(read_manifest(store)["snapshots"][0])
    assert records["b"]["storage"] == records["c"]["storage"] == "Alias"
    assert records["b"]["alias_of"] == records["c"]["alias_of"] == "a"
    assert records["small2"]["storage"] == "Full", "tensors under 4096 bytes never alias"
    assert records["as_int"]["storage"] == "Full", "a different dtype text never aliases"
    names = [r["name"] for r in read_manifest(store)["snapshots"][0]["ranks"]["0"]["tensors"]]
    assert names == ["a", "small", "small2", "as_int", "b", "c"]


def test_casts_record_their_dtypes(store):
    manager = tarnwick.TarnwickManager(
        store, async_save=False, save_dtype={"opt/*": "fp8", "keep/*": "none", "*": "bf16"})
    tensors = {"opt/m": torch.tensor([1.0, -896.0, 0.5, 2.0]),
               "keep/x": torch.ones(4), "w": torch.ones(4, dtype=torch.float64),
               "ids": torch.arange(4)}
    manager.save_tensors(1, tensors)
    records = records_by_name(read_manifest(store)["snapshots"][0])
    assert (records["opt/m"]["dtype"], records["opt/m"]["original_dtype"]) == ("float8_e4m3fn", "float32")
    assert records["opt/m"]["quant_scale"] == 2.0
    assert (records["keep/x"]["dtype"], records["keep/x"]["original_dtype"]) == ("float32", None)
    assert (records["w"]["dtype"], records["w"]["original_dtype"]) == ("bfloat16", "float64")
    assert (records["ids"]["dtype"], records["ids"]["original_dtype"]) == ("int64", None)


def test_empty_save_records_an_empty_snapshot(store):
    manager = tarnwick.TarnwickManager(store)
    snap = manager.save_tensors(0, {})
    manager.flush()
    snapshot = read_manifest(store)["snapshots"][0]
    assert snapshot["id"] == snap and snapshot["ranks"]["0"]["tensors"] == []
    assert [s["id"] for s in manager.list_snapshots()] == [snap]


def test_pattern_warning_is_printed_once(store, capfd):
    manager = tarnwick.TarnwickManager(store, async_save=False, save_dtype={"opt/*": "bf16"})
    manager.save_tensors(0, {"model/w": torch.ones(4), "model/b": torch.ones(2)})
    manager.save_tensors(1, {"model/w": torch.ones(4)})
    err = capfd.readouterr().err
    assert err == (
        "[Tarnwick] save_dtype pattern(s) opt/* matched none of this rank's 2 tensors, so they "
        "cast nothing. Patterns are globs over the full tensor name (e.g. 'model/w'); '*' "
        "matches any run of characters.\n")


def test_background_failure_is_raised_once_then_saves_resume(store):
    manager = tarnwick.TarnwickManager(store)
    with open(os.path.join(store, "snapshots"), "w") as f:
        f.write("in the way")
    manager.save_tensors(0, model_state())
    with pytest.raises(RuntimeError) as raised:
        manager.save_tensors(1, model_state())
    assert str(raised.value).startswith("Storage backend error: Background save failed: IO error: ")
    os.remove(os.path.join(store, "snapshots"))
    snap = manager.save_tensors(2, model_state())
    manager.flush()
    manager.flush()
    assert [s["id"] for s in manager.list_snapshots()] == [snap]


def test_flush_reports_a_failure_once(store):
    manager = tarnwick.TarnwickManager(store)
    manager.flush()
    with open(os.path.join(store, "snapshots"), "w") as f:
        f.write("in the way")
    manager.save_tensors(0, model_state())
    with pytest.raises(RuntimeError, match="^Storage backend error: Background save failed: "):
        manager.flush()
    manager.flush()


def test_destroying_the_manager_waits_for_the_last_save(store):
    manager = tarnwick.TarnwickManager(store)
    snap = manager.save_tensors(0, model_state(n=1 << 20))
    del manager
    assert [s["id"] for s in read_manifest(store)["snapshots"]] == [snap]


def test_queue_wait_is_reported(store):
    manager = tarnwick.TarnwickManager(store)
    assert manager.last_queue_wait() == 0.0
    manager.save_tensors(0, model_state(n=4 << 20))
    manager.save_tensors(1, model_state(seed=1, n=4 << 20))
    assert manager.last_queue_wait() > 0.0
    sync = tarnwick.TarnwickManager(store + "-sync", async_save=False)
    sync.save_tensors(0, model_state())
    assert sync.last_queue_wait() == 0.0


def test_multi_rank_manager_refuses_save_tensors(store):
    manager = tarnwick.TarnwickManager(store, world_size=2)
    with pytest.raises(RuntimeError) as raised:
        manager.save_tensors(0, {})
    assert str(raised.value) == (
        "Invalid configuration: Multi-rank save requires explicit create_snapshot/save_rank/"
        "finalize flow. Use save_rank() instead.")


@pytest.mark.parametrize("step,tensors,metadata,error", [
    (-1, {}, None, OverflowError),
    (2**64, {}, None, OverflowError),
    ("1", {}, None, TypeError),
    (0, [], None, TypeError),
    (0, {}, ["a"], TypeError),
    (0, {}, {"a": 1}, TypeError),
])
def test_argument_errors(manager, step, tensors, metadata, error):
    with pytest.raises(error):
        manager.save_tensors(step, tensors, metadata)


def test_concurrent_callers_are_serialised(store):
    manager = tarnwick.TarnwickManager(store)
    ids = []

    def save(seed):
        for i in range(5):
            ids.append(manager.save_tensors(seed * 100 + i, model_state(seed=seed + i)))

    threads = [threading.Thread(target=save, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    manager.flush()
    assert sorted(s["id"] for s in manager.list_snapshots()) == sorted(ids)
