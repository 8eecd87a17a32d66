"""An independent reader of a tarnwick store, for tests: the manifest, the
packs and their payloads, checked with the zstd and xxhash packages."""

import json
import os
import struct

import xxhash
import zstandard


def read_manifest(root):
    with open(os.path.join(root, "manifest.json"), "rb") as f:
        return json.loads(f.read().rstrip(b"\0"))


def read_pack(root, key):
    """(header fields, descriptor, whole file bytes)."""
    with open(os.path.join(root, key), "rb") as f:
        data = f.read()
    assert len(data) % 4096 == 0
    magic, version, offset, length = struct.unpack_from("<8sQQQ", data, 0)
    assert magic == b"TARNPACK"
    descriptor = json.loads(data[offset:offset + length])
    return (version, offset, length), descriptor, data


def check_rank(root, rank_entry):
    """Checks every payload of a rank against its sizes and both hashes.
    Returns {name: raw stored bytes} for records with a payload."""
    (_, descriptor_offset, _), descriptor, data = read_pack(root, rank_entry["pack_file"])
    assert descriptor["rank"] == rank_entry
    expected_offset = 32
    raw = {}
    for record in rank_entry["tensors"]:
        if record["storage"] in ("Skipped", "Alias"):
            assert record["compressed_size"] == 0 and record["hash_compressed"] is None
            continue
        assert record["offset"] == expected_offset
        payload = data[record["offset"]:record["offset"] + record["compressed_size"]]
        expected_offset += record["compressed_size"]
        assert xxhash.xxh3_128_hexdigest(payload) == record["hash_compressed"]
        stored = zstandard.ZstdDecompressor().decompressobj().decompress(payload) if payload else b""
        if record["storage"] == "Full":
            assert len(stored) == record["raw_size"]
            assert xxhash.xxh3_128_hexdigest(stored) == record["hash_raw"]
        raw[record["name"]] = stored
    assert descriptor_offset == expected_offset
    assert rank_entry["total_compressed"] == sum(r["compressed_size"] for r in rank_entry["tensors"])
    assert rank_entry["total_raw"] == sum(r["raw_size"] for r in rank_entry["tensors"])
    return raw


def records_by_name(snapshot, rank="0"):
    return {r["name"]: r for r in snapshot["ranks"][rank]["tensors"]}
