"""A training process saving with the background saver is killed with
SIGKILL at random moments; after every kill the store must open, every
snapshot the manifest names must load with the bytes that were saved, no
unrecorded snapshot directory may remain, and the newest recorded step may
never go backwards nor fall behind a step a flush confirmed.

fsync stays off (conftest): a killed process loses nothing the kernel has
already accepted, so syncing only matters when the machine itself goes
down, which this test does not simulate."""

import os
import random
import subprocess
import sys
import time

import tarnwick
from kill_child import MANAGER_OPTIONS, state
from store_reader import read_manifest

KILLS = 24
CHILD = os.path.join(os.path.dirname(__file__), "kill_child.py")


def snapshot_directories_with_files(store):
    """Names of the directories under snapshots/ that hold any file. The
    store only ever sees files; a directory left empty by a kill between a
    delete and its rmdir holds nothing a reader could mistake for data."""
    root = os.path.join(store, "snapshots")
    if not os.path.isdir(root):
        return set()
    return {
        name for name in os.listdir(root)
        if any(files for _, _, files in os.walk(os.path.join(root, name)))
    }


def run_and_kill(store, rng):
    """Starts the child, kills it at a random moment of its save loop and
    returns the steps it saw flushed."""
    child = subprocess.Popen([sys.executable, CHILD, store], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"ready\n", child.stderr.read().decode()
        time.sleep(rng.uniform(0.0, 0.4))
        assert child.poll() is None, child.stderr.read().decode()
    finally:
        child.kill()
        out, _ = child.communicate()
    return [int(line.split()[1]) for line in out.splitlines() if line.startswith(b"flushed ")]


def test_killed_saver_leaves_a_store_that_opens_and_verifies(store, capfd):
    seed = random.randrange(1 << 32)
    rng = random.Random(seed)
    newest = -1
    repairs = 0
    for kill in range(KILLS):
        flushed = run_and_kill(store, rng)
        context = f"seed {seed}, kill {kill}"

        manager = tarnwick.TarnwickManager(store, **MANAGER_OPTIONS)
        repairs += "[Tarnwick] " in capfd.readouterr().err
        recorded = read_manifest(store)["snapshots"] if os.path.exists(
            os.path.join(store, "manifest.json")) else []
        steps = [s["step"] for s in recorded]
        assert steps == sorted(steps), context
        now = max(steps, default=-1)
        assert now >= newest, f"{context}: newest step went from {newest} back to {now}"
        assert now >= max(flushed, default=-1), f"{context}: a flushed step is lost"
        newest = now

        for snapshot in recorded:
            expected = {name: value[2] for name, value in state(snapshot["step"]).items()}
            loaded = manager.load(snapshot["id"])
            assert {k: bytes(v) for k, v in loaded.items()} == expected, context
        unrecorded = snapshot_directories_with_files(store) - {s["id"] for s in recorded}
        assert not unrecorded, context
        del manager

    assert newest > 0, "the child never got a save recorded"
    print(f"{KILLS} kills, newest step {newest}, {repairs} start-ups repaired something")
