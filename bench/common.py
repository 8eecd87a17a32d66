"""Shared pieces of the benchmark workers: the states, clocks, the kernel's
I/O and memory counters, and the page cache."""

import os
import statistics
import time

import numpy as np
import torch

GIB = 1 << 30
BIG_TENSORS = 64  # the 1 GiB state: 64 float32 tensors of 16 MiB
BIG_ELEMENTS = 4 << 20


def big_state(path):
    """The 1 GiB state the orchestrator wrote to `path`, as 64 separate tensors."""
    state = {}
    with open(path, "rb") as f:
        for i in range(BIG_TENSORS):
            array = np.fromfile(f, dtype=np.float32, count=BIG_ELEMENTS)
            state[f"layers.{i}.weight"] = torch.from_numpy(array)
    return state


def write_big_state(path, seed=0):
    generator = torch.Generator().manual_seed(seed)
    with open(path, "wb") as f:
        for _ in range(BIG_TENSORS):
            torch.randn(BIG_ELEMENTS, generator=generator).numpy().tofile(f)


def raw_bytes(state):
    return sum(t.numel() * t.element_size() for t in state.values())


def touch_few(state, generator, per_tensor=4):
    """A few elements of every tensor change, as between two nearby steps."""
    for t in state.values():
        index = torch.randint(0, t.numel(), (per_tensor,), generator=generator)
        t[index] += 1e-3


def nudge(tensors, generator):
    """Every listed tensor changes slightly: w -= 1e-3 * randn."""
    for t in tensors:
        t.sub_(1e-3 * torch.randn(t.shape, generator=generator))


def median(values):
    return statistics.median(values)


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def torch_save(state, path, fsync):
    with open(path, "wb") as f:
        torch.save(state, f)
        if fsync:
            f.flush()
            os.fsync(f.fileno())


def timed_torch_saves(state, scratch, name, runs, fsync):
    """Seconds of each of runs torch.save calls of state to a new file
    (removed after each), as saving the same state again would take."""
    seconds = []
    for i in range(runs):
        path = os.path.join(scratch, f"{name}-{i}.pt")
        elapsed, _ = timed(lambda: torch_save(state, path, fsync=fsync))
        seconds.append(elapsed)
        os.remove(path)
    return seconds


def bytes_written():
    """Bytes this process has passed to write calls so far (every thread)."""
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    raise RuntimeError("no wchar in /proc/self/io")


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def tree_bytes(root):
    total = 0
    for directory, _, files in os.walk(root):
        for name in files:
            total += os.path.getsize(os.path.join(directory, name))
    return total


def drop_page_cache():
    """Empties the page cache; False where the machine does not allow it."""
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3")
        return True
    except OSError:
        return False
