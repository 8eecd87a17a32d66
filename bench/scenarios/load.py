"""d. load_latest of a full and of a delta snapshot of the 1 GiB state, with
a cold page cache where the machine allows dropping it, against torch.load
of the same state. `setup` builds the store in one process (the full save,
then, with delta=True, a delta save of the slightly changed state); `measure`
times the loads in a fresh process, so no retained copy or warm allocation
helps them."""

import os

import torch
import tarnwick

from common import big_state, drop_page_cache, median, nudge, raw_bytes, timed, torch_save

RUNS = 5


def read_packs(store):
    """Reads every pack of the store (the ones a load needs) into a reused
    buffer: the disk's share of a load, with nothing decoded."""
    chunk = memoryview(bytearray(8 << 20))
    for directory, _, files in os.walk(store):
        for name in files:
            if name.endswith(".pack"):
                with open(os.path.join(directory, name), "rb", buffering=0) as f:
                    while f.readinto(chunk):
                        pass


def setup(state_path, store, torch_path, delta):
    state = big_state(state_path)
    if delta:
        nudge(state.values(), torch.Generator().manual_seed(3))
    manager = tarnwick.TarnwickManager(store, async_save=True)
    manager.save_tensors(1000 if delta else 0, state)
    manager.flush()
    kind = manager.list_snapshots()[-1]
    torch_save(state, torch_path, fsync=True)
    return {"raw_bytes": raw_bytes(state), "snapshot": kind}


def measure(store, torch_path, cold):
    manager = tarnwick.TarnwickManager(store, async_save=True)
    ours, theirs, cold_runs = [], [], 0
    same = True
    for run_index in range(RUNS):
        cold_runs += cold and drop_page_cache()
        seconds, (_, loaded) = timed(manager.load_latest)
        ours.append(seconds)
        cold_runs += cold and drop_page_cache()
        seconds, expected = timed(lambda: torch.load(torch_path))
        theirs.append(seconds)
        if run_index == 0:
            same = loaded.keys() == expected.keys() and all(
                loaded[name] == expected[name].numpy().tobytes() for name in expected)
        del loaded, expected
    reads = []
    for _ in range(RUNS):
        cold_runs += cold and drop_page_cache()
        seconds, _ = timed(lambda: read_packs(store))
        reads.append(seconds)
    return {
        "cold": cold_runs == 3 * RUNS,
        "same_bytes_as_torch": same,
        "load_s": ours,
        "load_median_s": median(ours),
        "torch_load_s": theirs,
        "torch_load_median_s": median(theirs),
        "read_packs_s": reads,
        "read_packs_median_s": median(reads),
    }


def run(step, **arguments):
    return {"setup": setup, "measure": measure}[step](**arguments)
