import os

import pytest
import torch

import tarnwick

UNKNOWN_DTYPE = (
    "Invalid configuration: unknown save_dtype '{}'. Use one of: none, bf16, fp16, fp32, fp64, "
    "fp8 (= fp8_e4m3), fp8_e5m2. Integer, bool and complex tensors are stored unchanged and need "
    "no setting; they are not cast targets."
)
OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_module_attributes():
    assert tarnwick.__version__ == "0.0.9"
    cls = tarnwick.TarnwickManager
    assert cls.__doc__ == "High-performance checkpoint manager for ML training."
    assert cls.__text_signature__.startswith('(storage_root="./checkpoints", compression_level=3,')
    assert cls.__text_signature__.endswith("async_save=True, keep_base_in_memory=True)")


def test_no_arguments_creates_checkpoints_in_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    tarnwick.TarnwickManager()
    assert (tmp_path / "checkpoints").is_dir()


def test_all_parameters_by_position(store):
    tarnwick.TarnwickManager(
        store, 3, 5, 10, 5000, 0.95, 1, 0, 0, 10, 10000, 3, None, None, "us-east-1", "",
        None, None, None, False, 100, None, False, True)
    with pytest.raises(TypeError):
        tarnwick.TarnwickManager(
            store, 3, 5, 10, 5000, 0.95, 1, 0, 0, 10, 10000, 3, None, None, "us-east-1", "",
            None, None, None, False, 100, None, False, True, "extra")


def test_nested_store_directory_is_created(tmp_path):
    root = tmp_path / "a" / "b" / "c"
    tarnwick.TarnwickManager(str(root), async_save=False)
    assert root.is_dir()


ACCEPTED = [
    {"compression_level": 0},
    {"compression_level": -5},
    {"compression_level": 2**31 - 1},
    {"max_full_snapshots": 2**64 - 1},
    {"world_size": 2**32 - 1, "rank": 7},
    {"world_size": 0},
    {"delta_max_ratio": 2},
    {"merge_max_chain": 0},
    {"max_total_snapshots": 0},
    {"save_dtype": "BF16"},
    {"save_dtype": "bFloat16"},
    {"save_dtype": "none"},
    {"save_dtype": ""},
    {"save_dtype": {"opt/*": "none", "*": "bf16"}},
    {"save_dtype": {"*": "FP8_E5M2"}},
    {"s3_region": "eu-west-1", "s3_endpoint": "http://127.0.0.1:1", "sync_every_n_saves": 0},
]


@pytest.mark.parametrize("kwargs", ACCEPTED, ids=[str(k) for k in ACCEPTED])
def test_accepted_settings(store, kwargs):
    tarnwick.TarnwickManager(store, async_save=False, **kwargs)


REFUSED = [
    ({"compression_level": 2**31}, OverflowError, OUT_OF_RANGE),
    ({"compression_level": -(2**31) - 1}, OverflowError, OUT_OF_RANGE),
    ({"rank": -1}, OverflowError, OUT_OF_RANGE),
    ({"world_size": 2**32}, OverflowError, OUT_OF_RANGE),
    ({"max_full_snapshots": -1}, OverflowError, None),
    ({"full_every_steps": 2**64}, OverflowError, None),
    ({"compression_level": "3"}, TypeError, "compression_level"),
    ({"world_size": 1.5}, TypeError, "world_size"),
    ({"delta_max_ratio": "x"}, TypeError, "delta_max_ratio"),
    ({"storage_root": 5}, TypeError, "storage_root"),
    ({"s3_region": None}, TypeError, "s3_region"),
    ({"s3_prefix": None}, TypeError, "s3_prefix"),
    ({"async_save": 1}, TypeError, "async_save"),
    ({"max_total_snapshots": "7"}, TypeError, "max_total_snapshots"),
    ({"save_dtype": "half"}, RuntimeError, UNKNOWN_DTYPE.format("half")),
    ({"save_dtype": "FLOAT"}, RuntimeError, UNKNOWN_DTYPE.format("float")),
    ({"save_dtype": "float8_e4m3"}, RuntimeError, UNKNOWN_DTYPE.format("float8_e4m3")),
    ({"save_dtype": {"*": "Half"}}, RuntimeError, UNKNOWN_DTYPE.format("half")),
    ({"save_dtype": {"": "bf16"}}, RuntimeError,
     'Invalid configuration: save_dtype has an empty pattern; use "*" to mean every tensor'),
    ({"save_dtype": {1: "bf16"}}, TypeError,
     "save_dtype keys must be strings: they are glob patterns matched against tensor names, "
     "e.g. 'optimizer/*'"),
    ({"save_dtype": {"w*": torch.bfloat16}}, TypeError,
     "save_dtype['w*'] must be a string such as 'bf16' or 'none', not a torch.dtype"),
    ({"save_dtype": {"a": "bf16", 2: "bf16"}}, TypeError,
     "save_dtype keys must be strings: they are glob patterns matched against tensor names, "
     "e.g. 'optimizer/*'"),
    # Types are checked for every pair before any name is parsed.
    ({"save_dtype": {"a": "half", "b": 3}}, TypeError,
     "save_dtype['b'] must be a string such as 'bf16' or 'none', not a torch.dtype"),
    ({"save_dtype": ["bf16"]}, TypeError,
     "save_dtype must be a string ('bf16') or a dict of glob pattern to dtype "
     "({'optimizer/*': 'bf16'}), not list"),
    ({"save_dtype": 3}, TypeError,
     "save_dtype must be a string ('bf16') or a dict of glob pattern to dtype "
     "({'optimizer/*': 'bf16'}), not int"),
    ({"s3_bucket": "b", "s3_access_key": "k"}, ValueError,
     "s3_secret_key required when s3_bucket is set"),
    ({"s3_bucket": "b"}, ValueError, "s3_access_key required when s3_bucket is set"),
    ({"s3_bucket": "b", "s3_secret_key": "s"}, ValueError,
     "s3_access_key required when s3_bucket is set"),
]


@pytest.mark.parametrize("kwargs,error,message", REFUSED, ids=[str(c[0]) for c in REFUSED])
def test_refused_settings(store, kwargs, error, message):
    with pytest.raises(error) as raised:
        tarnwick.TarnwickManager(store, async_save=False, **kwargs)
    if message is not None and error in (TypeError,) and " " not in message:
        assert message in str(raised.value)  # the argument's name
    elif message is not None:
        assert str(raised.value) == message
    assert not os.path.exists(store), "nothing is created before the settings are valid"


def test_store_root_that_is_a_file(tmp_path):
    path = tmp_path / "file"
    path.write_text("x")
    with pytest.raises(RuntimeError) as raised:
        tarnwick.TarnwickManager(str(path), async_save=False)
    assert str(raised.value) == "IO error: File exists (os error 17)"


def test_store_root_below_a_file(tmp_path):
    path = tmp_path / "file"
    path.write_text("x")
    with pytest.raises(RuntimeError) as raised:
        tarnwick.TarnwickManager(str(path / "store"), async_save=False)
    assert str(raised.value) == "IO error: Not a directory (os error 20)"
