"""a. How long save_tensors blocks the caller with the background saver on,
against torch.save of the same state to a new file."""

import os

import torch
import tarnwick

from common import big_state, median, raw_bytes, timed, timed_torch_saves, touch_few

SAVES = 10
TORCH_RUNS = 3


def run(state_path, scratch):
    state = big_state(state_path)
    generator = torch.Generator().manual_seed(1)
    manager = tarnwick.TarnwickManager(os.path.join(scratch, "stall"), async_save=True)
    stalls, waits = [], []
    for step in range(SAVES):
        if step:
            touch_few(state, generator)
        # Training would run here; draining the previous save keeps its wait
        # (reported apart by last_queue_wait) out of the stall.
        manager.flush()
        seconds, _ = timed(lambda: manager.save_tensors(step, state))
        stalls.append(seconds)
        waits.append(manager.last_queue_wait())
    manager.flush()
    del manager

    torch_seconds = timed_torch_saves(state, scratch, "stall", TORCH_RUNS, fsync=False)
    return {
        "raw_bytes": raw_bytes(state),
        "stall_s": stalls,
        "stall_median_s": median(stalls),
        "queue_wait_s": waits,
        "torch_save_s": torch_seconds,
        "torch_save_median_s": median(torch_seconds),
    }
