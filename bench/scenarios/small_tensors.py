"""f. 10,000 tensors of 16 KiB: the stall and end-to-end time of each of 50
saves, and how the time after the pack is written grows with the manifest.

That time runs from the pack file's last write (its mtime) to flush()
returning: the pack's fsync and rename, retention, and serialising, writing
and syncing manifest.json. The pack part stays the same from save to save,
so its growth is the manifest's."""

import os
import time

import torch
import tarnwick

from common import median, timed

TENSORS = 10_000
ELEMENTS = 4096
SAVES = 50


def run(scratch):
    generator = torch.Generator().manual_seed(5)
    weights = torch.randn(TENSORS, ELEMENTS, generator=generator)
    state = {f"blocks.{i}.param": weights[i] for i in range(TENSORS)}
    root = os.path.join(scratch, "small")
    manager = tarnwick.TarnwickManager(root, async_save=True)
    stalls, totals, after_pack, manifest_bytes = [], [], [], []
    for step in range(SAVES):
        if step:
            weights[:, 0] += 1e-3
        start = time.perf_counter()
        stall, snapshot_id = timed(lambda: manager.save_tensors(step, state))
        manager.flush()
        done_wall = time.time()
        totals.append(time.perf_counter() - start)
        stalls.append(stall)
        pack = os.path.join(root, "snapshots", snapshot_id, "rank_0.pack")
        after_pack.append(done_wall - os.stat(pack).st_mtime_ns / 1e9)
        manifest_bytes.append(os.path.getsize(os.path.join(root, "manifest.json")))
    snapshots = len(manager.list_snapshots())
    del manager
    return {
        "tensors": TENSORS,
        "stall_s": stalls,
        "stall_median_s": median(stalls),
        "save_s": totals,
        "save_median_s": median(totals),
        "after_pack_s": after_pack,
        "after_pack_first5_s": median(after_pack[:5]),
        "after_pack_last5_s": median(after_pack[-5:]),
        "manifest_bytes": manifest_bytes,
        "snapshots_kept": snapshots,
    }
