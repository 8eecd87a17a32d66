"""A small training run that checkpoints with tarnwick, then resumes.

Phase 1 trains an MLP with AdamW on synthetic data and hands its state to a
TarnwickManager every CHECKPOINT_EVERY steps (background saver on, optimizer
moments stored as bfloat16). Phase 2 runs in a fresh process: it resumes from
load_latest, checks every tensor against what phase 1 saved, trains on and
prints the store's snapshots.

    PYTHONPATH=build /usr/bin/python3 examples/train_demo.py [store-dir]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import torch
from torch import nn

import tarnwick

STEPS = 300
CHECKPOINT_EVERY = 25
SAVE_DTYPE = {"optimizer/*/exp_avg*": "bf16"}


def build():
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(256, 1024), nn.ReLU(), nn.Linear(1024, 1024), nn.ReLU(),
                          nn.Linear(1024, 10))
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)
    return model, optimizer


def batch(step):
    g = torch.Generator().manual_seed(step)
    x = torch.randn(64, 256, generator=g)
    return x, (x[:, :10] * 3).argmax(dim=1)


def train(model, optimizer, steps):
    loss = None
    for step in steps:
        x, y = batch(step)
        loss = nn.functional.cross_entropy(model(x), y)
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
    return loss.item()


def checkpoint(model, optimizer):
    """The state as a flat dict of name -> CPU tensor."""
    state = {f"model/{k}": v for k, v in model.state_dict().items()}
    names = {id(p): n for n, p in model.named_parameters()}
    for param, values in optimizer.state.items():
        for key, value in values.items():
            state[f"optimizer/{names[id(param)]}/{key}"] = value
    return state


def restore(model, optimizer, tensors):
    """Fills model and optimizer from load() bytes, using their own shapes."""
    def tensor(name, like):
        return torch.frombuffer(tensors[name], dtype=like.dtype).reshape(like.shape).clone()

    model.load_state_dict({k: tensor(f"model/{k}", v) for k, v in model.state_dict().items()})
    for name, param in model.named_parameters():
        optimizer.state[param] = {
            key: tensor(f"optimizer/{name}/{key}", like)
            for key, like in (("step", torch.zeros(())), ("exp_avg", param), ("exp_avg_sq", param))
        }


def expected_after_cast(name, value):
    if name.startswith("optimizer/") and name.rsplit("/", 1)[1].startswith("exp_avg"):
        return value.to(torch.bfloat16).to(value.dtype)
    return value


def run_training(root, reference):
    model, optimizer = build()
    manager = tarnwick.TarnwickManager(root, save_dtype=SAVE_DTYPE, full_every_steps=100)
    stalls = []
    for start in range(0, STEPS, CHECKPOINT_EVERY):
        loss = train(model, optimizer, range(start, start + CHECKPOINT_EVERY))
        step = start + CHECKPOINT_EVERY
        began = time.perf_counter()
        manager.save_tensors(step, checkpoint(model, optimizer), {"loss": f"{loss:.4f}"})
        stalls.append(time.perf_counter() - began)
        print(f"step {step:4d}  loss {loss:.4f}  save_tensors returned after {stalls[-1] * 1e3:.1f} ms")
    manager.flush()
    torch.save({k: v.clone() for k, v in checkpoint(model, optimizer).items()}, reference)
    print(f"median time the training loop waited for a checkpoint: "
          f"{sorted(stalls)[len(stalls) // 2] * 1e3:.1f} ms")


def run_resume(root, reference):
    model, optimizer = build()
    # Adam's state must exist before it can be filled.
    train(model, optimizer, range(1))
    manager = tarnwick.TarnwickManager(root, save_dtype=SAVE_DTYPE, full_every_steps=100)
    snap, tensors = manager.load_latest()
    saved = torch.load(reference)
    restore(model, optimizer, tensors)
    restored = checkpoint(model, optimizer)
    for name, value in saved.items():
        if not torch.equal(restored[name], expected_after_cast(name, value)):
            raise SystemExit(f"resume check failed: {name} differs from what was saved")
    print(f"resumed from {snap}: all {len(saved)} tensors match what was saved")
    loss = train(model, optimizer, range(STEPS, STEPS + CHECKPOINT_EVERY))
    manager.save_tensors(STEPS + CHECKPOINT_EVERY, checkpoint(model, optimizer), {"loss": f"{loss:.4f}"})
    manager.flush()
    print(f"trained on to step {STEPS + CHECKPOINT_EVERY}, loss {loss:.4f}\n")
    print(f"{'step':>6}  {'kind':5}  {'raw MiB':>8}  {'stored MiB':>10}  {'ratio':>6}")
    for row in manager.list_snapshots():
        raw, stored = row["total_raw"] / 2**20, row["total_compressed"] / 2**20
        ratio = raw / stored if stored else float("inf")
        kind = "delta" if row["is_delta"] else "full"
        print(f"{row['step']:6d}  {kind:5}  {raw:8.2f}  {stored:10.2f}  {ratio:6.1f}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--resume":
        run_resume(sys.argv[2], sys.argv[3])
        return
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "tarnwick-demo")
    shutil.rmtree(root, ignore_errors=True)
    with tempfile.TemporaryDirectory() as scratch:
        reference = os.path.join(scratch, "reference.pt")
        print(f"== training, checkpointing into {root}")
        run_training(root, reference)
        print("\n== resuming in a new process")
        subprocess.run([sys.executable, __file__, "--resume", root, reference], check=True)


if __name__ == "__main__":
    main()
