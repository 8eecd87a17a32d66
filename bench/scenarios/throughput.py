"""b. A full save end to end (save_tensors + flush) against torch.save +
fsync of the same state. Every save is full (max_deltas_per_full=0), the
first one is reported apart: it also pays for first touches of fresh
memory. The saves run with the default keep_base_in_memory and again with
it off, which changes when memory is freed and so how much of it a save has
to touch fresh."""

import os
import shutil

import tarnwick

from common import big_state, median, raw_bytes, timed, timed_torch_saves

SAVES = 8
TORCH_RUNS = 3


def full_saves(state, root, saves, keep_base_in_memory=True):
    manager = tarnwick.TarnwickManager(root, async_save=True, max_deltas_per_full=0,
                                       keep_base_in_memory=keep_base_in_memory)
    seconds = []
    for step in range(saves):
        elapsed, _ = timed(lambda: (manager.save_tensors(step, state), manager.flush()))
        seconds.append(elapsed)
    snapshots = manager.list_snapshots()
    del manager
    shutil.rmtree(root)
    return seconds, snapshots


def run(state_path, scratch, profile_only=False):
    state = big_state(state_path)
    if profile_only:
        # Run under TARNWICK_PROFILE=1: the report of the second save goes to
        # stderr, where the orchestrator reads it.
        full_saves(state, os.path.join(scratch, "profile"), 2)
        return {}
    seconds, snapshots = full_saves(state, os.path.join(scratch, "throughput"), SAVES)
    seconds_keep_off, _ = full_saves(state, os.path.join(scratch, "throughput-keep-off"), SAVES,
                                     keep_base_in_memory=False)
    torch_seconds = timed_torch_saves(state, scratch, "throughput", TORCH_RUNS, fsync=True)
    return {
        "raw_bytes": raw_bytes(state),
        "save_s": seconds,
        "first_save_s": seconds[0],
        "save_median_s": median(seconds[1:]),
        "keep_off_save_s": seconds_keep_off,
        "keep_off_save_median_s": median(seconds_keep_off[1:]),
        "compressed_bytes": snapshots[-1]["total_compressed"],
        "torch_save_fsync_s": torch_seconds,
        "torch_save_fsync_median_s": median(torch_seconds),
    }
