"""TARNWICK_PROFILE as a user sees it: the flag is read once per process, so
every case runs its saves in a child interpreter and reads its stderr."""

import os
import re
import subprocess
import sys

import pytest

SAVES = """
import os, sys, tarnwick
manager = tarnwick.TarnwickManager(sys.argv[1], async_save={async_save})
tensors = {{"w": {tensor}, "b": ([4], "uint8", bytes(4))}}
for step in (1, 2):
    manager.save_tensors(step, tensors)
manager.flush()
"""
SMALL = '([256], "float32", bytes(1024))'


def run_saves(store, profile, async_save=False, tensor=SMALL):
    env = dict(os.environ, TARNWICK_FSYNC="0")
    env.pop("TARNWICK_PROFILE", None)
    if profile is not None:
        env["TARNWICK_PROFILE"] = profile
    script = SAVES.format(async_save=async_save, tensor=tensor)
    return subprocess.run([sys.executable, "-c", script, store], env=env, capture_output=True,
                          text=True, check=True).stderr


@pytest.mark.parametrize("value", [None, "0", "yes", "TRUE"])
def test_prints_nothing_unless_switched_on(store, value):
    assert run_saves(store, value, async_save=True) == ""


@pytest.mark.parametrize("value", ["1", "true"])
def test_header_once_then_one_report_per_save(store, value):
    err = run_saves(store, value)
    assert err.count("phase totals are CPU time across the tbb pool") == 1
    reports = re.findall(r"^\[tarnwick profile\] step (\d+): \d+ ms wall, 0\.00 GiB raw "
                         r"\((?:\d+\.\d\d|inf) GB/s\)$", err, re.M)
    assert reports == ["1", "2"]
    # Each save hashes its two tensors once: the second report holds its own
    # calls only, not the first save's as well.
    second = err.split("step 2:")[1]
    assert re.search(r"^  raw hash {10}[ \d]{9} ms  [ \d.]{5}%      2 calls$", second, re.M)
    assert re.search(r"^  total CPU {9}[ \d]{9} ms$", second, re.M)
    assert "save waited" not in err  # no background saver, nothing to wait for


def test_wait_line_when_the_previous_save_is_still_running(store):
    # 64 MiB of random bytes keep the saver busy well past 1 ms after the
    # first call returns, so the second call has to wait.
    err = run_saves(store, "1", async_save=True,
                    tensor='([1 << 24], "float32", os.urandom(64 << 20))')
    waits = re.findall(r"^\[tarnwick profile\] save waited (\d+) ms for the previous one to "
                       r"drain \(caller blocked, before any work started\)$", err, re.M)
    assert len(waits) == 1 and int(waits[0]) >= 1
    assert err.index("save waited") < err.index("step 2:")
