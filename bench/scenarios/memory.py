"""e. Peak resident memory during a loop of asynchronous saves of the 1 GiB
state, above what the process held with the state loaded."""

import gc
import os

import torch
import tarnwick

from common import GIB, big_state, raw_bytes, reset_peak_rss, status_kib, touch_few

SAVES = 6


def run(state_path, scratch, keep_base_in_memory):
    state = big_state(state_path)
    generator = torch.Generator().manual_seed(4)
    root = os.path.join(scratch, f"memory-{int(keep_base_in_memory)}")
    manager = tarnwick.TarnwickManager(root, async_save=True,
                                       keep_base_in_memory=keep_base_in_memory)
    gc.collect()
    baseline_kib = status_kib("VmRSS")
    reset_peak_rss()
    for step in range(SAVES):
        if step:
            touch_few(state, generator)
        manager.save_tensors(step, state)  # waits for the previous save
    manager.flush()
    peak_kib = status_kib("VmHWM")
    after_kib = status_kib("VmRSS")
    del manager
    return {
        "raw_bytes": raw_bytes(state),
        "keep_base_in_memory": keep_base_in_memory,
        "baseline_gib": baseline_kib * 1024 / GIB,
        "peak_extra_gib": (peak_kib - baseline_kib) * 1024 / GIB,
        "after_flush_extra_gib": (after_kib - baseline_kib) * 1024 / GIB,
    }
