import json
import os
import re

import pytest
import torch

import tarnwick
from store_reader import read_manifest


def write_manifest(store, text, padding=0):
    os.makedirs(store, exist_ok=True)
    with open(os.path.join(store, "manifest.json"), "wb") as f:
        f.write(text.encode() + b"\0" * padding)


def test_nothing_is_written_before_the_first_save(store):
    tarnwick.TarnwickManager(store)
    assert os.listdir(store) == []


def test_existing_manifest_keeps_its_settings_and_tolerates_unknown_members(store):
    first = tarnwick.TarnwickManager(store, async_save=False, max_full_snapshots=7, world_size=1)
    snap = first.save_tensors(3, {"w": torch.ones(4)})
    del first
    manifest = read_manifest(store)
    manifest["added_later"] = {"nested": [1, 2]}
    manifest["snapshots"][0]["extra"] = None
    manifest["snapshots"][0]["ranks"]["0"]["tensors"][0]["future"] = "x"
    text = json.dumps(manifest, indent=2)
    write_manifest(store, text, padding=4096 - len(text) % 4096)

    again = tarnwick.TarnwickManager(store, async_save=False, max_full_snapshots=2)
    assert again.load(snap)["w"] == torch.ones(4).numpy().tobytes()
    again.save_tensors(4, {"w": torch.ones(4)})
    rewritten = read_manifest(store)
    assert rewritten["retention"]["max_full_snapshots"] == 7
    assert "added_later" not in rewritten


def test_truncated_manifest_fails_construction_and_is_kept(store):
    manager = tarnwick.TarnwickManager(store, async_save=False)
    manager.save_tensors(0, {"w": torch.ones(4)})
    del manager
    path = os.path.join(store, "manifest.json")
    with open(path, "rb") as f:
        text = f.read().rstrip(b"\0")
    with open(path, "wb") as f:
        f.write(text[: len(text) // 2])
    with pytest.raises(RuntimeError) as raised:
        tarnwick.TarnwickManager(store)
    assert re.fullmatch(r"Serialization error: .+ at line \d+ column \d+", str(raised.value))
    with open(path, "rb") as f:
        assert f.read() == text[: len(text) // 2], "a damaged manifest is never replaced"


@pytest.mark.parametrize("key", ["../outside.pack", "/tmp/tarnwick-escape.pack",
                                 "snapshots/../../outside.pack"])
def test_crafted_manifest_cannot_reach_outside_the_store(tmp_path, key):
    store = str(tmp_path / "store")
    manager = tarnwick.TarnwickManager(store, async_save=False)
    snap = manager.save_tensors(0, {"w": torch.ones(4)})
    del manager
    outside = tmp_path / "outside.pack"
    outside.write_bytes(b"secret")
    manifest = read_manifest(store)
    manifest["snapshots"][0]["ranks"]["0"]["pack_file"] = key
    write_manifest(store, json.dumps(manifest))
    manager = tarnwick.TarnwickManager(store, async_save=False)
    with pytest.raises(RuntimeError) as raised:
        manager.load(snap)
    assert str(raised.value) == f"Storage backend error: key '{key}' escapes the store root"
    assert outside.read_bytes() == b"secret"
