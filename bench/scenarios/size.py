"""c. Bytes written and bytes left on disk over 20 saves of a 256 MiB model
(64 tensors of 1M float32), against 20 torch.save files of the same states.
`changing` is the share of tensors that change each save (w -= 1e-3 * randn);
the same tensors change every time, as when part of a model is frozen."""

import os

import torch
import tarnwick

from common import bytes_written, nudge, raw_bytes, torch_save, tree_bytes

SAVES = 20
TENSORS = 64
ELEMENTS = 1 << 20


def run(scratch, changing):
    generator = torch.Generator().manual_seed(2)
    state = {f"layers.{i}.weight": torch.randn(ELEMENTS, generator=generator)
             for i in range(TENSORS)}
    tensors = list(state.values())
    count = max(1, round(changing * TENSORS))
    chosen = [tensors[round(i * TENSORS / count)] for i in range(count)]

    root = os.path.join(scratch, f"size-{count}")
    torch_dir = os.path.join(scratch, f"size-{count}-torch")
    os.makedirs(torch_dir)
    manager = tarnwick.TarnwickManager(root, async_save=True)
    ours = theirs = 0
    for step in range(SAVES):
        if step:
            nudge(chosen, generator)
        before = bytes_written()
        manager.save_tensors(step * 100, state)
        manager.flush()  # the saver's writes are counted before torch writes
        middle = bytes_written()
        torch_save(state, os.path.join(torch_dir, f"{step}.pt"), fsync=False)
        theirs += bytes_written() - middle
        ours += middle - before
    kinds = [(s["full_tensors"], s["delta_tensors"], s["skipped_tensors"])
             for s in manager.list_snapshots()]
    del manager
    return {
        "raw_bytes_per_save": raw_bytes(state),
        "changed_tensors": count,
        "written_bytes": ours,
        "torch_written_bytes": theirs,
        "on_disk_bytes": tree_bytes(root),
        "torch_on_disk_bytes": tree_bytes(torch_dir),
        "full_delta_skipped_per_snapshot": kinds,
    }
