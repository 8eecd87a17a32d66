"""The training process test_kill.py kills: it resumes after the newest
recorded step and saves in a loop with the background saver until it is
killed. The tensors of every step follow from the step alone, so whoever
reads the store afterwards can recompute what each snapshot must hold.

Run as: python kill_child.py STORE. Prints "ready" once the store is open,
then "flushed STEP" each time a flush confirms that STEP is recorded."""

import random
import sys

import tarnwick

# Small caps, so that retention drops snapshots while the process is killed.
MANAGER_OPTIONS = dict(max_full_snapshots=2, max_deltas_per_full=4, max_total_snapshots=8)
FLUSH_EVERY = 7

_ELEMENTS = 64 * 1024
_BASE = random.Random(0).randbytes(_ELEMENTS * 4)


def state(step):
    """The tensors saved at step: a float32 weight that differs from a fixed
    base in a few bytes (stored as a delta), its tied twin (an alias), a
    tensor that never changes (skipped) and the step itself."""
    weight = bytearray(_BASE)
    rng = random.Random(step)
    for _ in range(256):
        weight[rng.randrange(len(weight))] = rng.randrange(256)
    weight = bytes(weight)
    return {
        "model/w": ((_ELEMENTS,), "float32", weight),
        "model/w_tied": ((_ELEMENTS,), "float32", weight),
        "model/frozen": ((4096,), "uint8", _BASE[:4096]),
        "step": ((1,), "int64", step.to_bytes(8, "little")),
    }


def main(store):
    manager = tarnwick.TarnwickManager(store, **MANAGER_OPTIONS)
    step = max((s["step"] for s in manager.list_snapshots()), default=-1) + 1
    print("ready", flush=True)
    while True:
        manager.save_tensors(step, state(step))
        if step % FLUSH_EVERY == 0:
            manager.flush()
            print(f"flushed {step}", flush=True)
        step += 1


if __name__ == "__main__":
    main(sys.argv[1])
