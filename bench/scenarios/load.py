"""d. load_latest of a full and of a delta snapshot of the 1 GiB state, with
a cold page cache where the machine allows dropping it, against torch.load
of the same state. `setup` builds the store (the full save, then, with
delta=True, a delta save of the slightly changed state) and the torch file;
`verify` checks once that both loads give the same bytes; `measure` times
one load in a fresh process, as a resumed run would load: no retained copy,
no memory a previous load left touched."""

import os

import torch
import tarnwick

from common import big_state, drop_page_cache, nudge, raw_bytes, timed, torch_save


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


def verify(store, torch_path):
    _, loaded = tarnwick.TarnwickManager(store, async_save=True).load_latest()
    expected = torch.load(torch_path)
    same = loaded.keys() == expected.keys() and all(
        loaded[name] == expected[name].numpy().tobytes() for name in expected)
    return {"same_bytes_as_torch": same}


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


def measure(store, torch_path, cold, what):
    manager = tarnwick.TarnwickManager(store, async_save=True) if what == "tarnwick" else None
    load = {
        "tarnwick": lambda: manager.load_latest(),
        "torch": lambda: torch.load(torch_path),
        "read": lambda: read_packs(store),
    }[what]
    dropped = cold and drop_page_cache()
    seconds, _ = timed(load)
    return {"seconds": seconds, "cold": dropped}


def run(step, **arguments):
    return {"setup": setup, "verify": verify, "measure": measure}[step](**arguments)
