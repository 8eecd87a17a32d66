import pytest
import torch

import tarnwick

NOT_CONTIGUOUS = ("tensor 't' is not contiguous; call .contiguous() first — Tarnwick reads the "
                  "bytes that follow data_ptr()")


class FakeCuda:
    """Looks like a CUDA tensor to intake, which only reads attributes."""
    shape = (2,)
    dtype = torch.float32

    class device:
        type = "cuda"

    def data_ptr(self):
        return 0


@pytest.mark.parametrize("value,error,message", [
    (object(), TypeError, "Value for 't' is not a supported type (must be tuple or torch.Tensor)"),
    ([1, 2], TypeError, "Value for 't' is not a supported type (must be tuple or torch.Tensor)"),
    (FakeCuda(), ValueError,
     "tensor 't' is on device 'cuda'; move it to CPU first (t.detach().cpu()) — Tarnwick reads "
     "host memory directly"),
    (torch.ones(3, 4).t(), ValueError, NOT_CONTIGUOUS),
    (torch.quantize_per_tensor(torch.ones(4), 0.1, 0, torch.qint8), ValueError,
     "unsupported dtype torch.qint8"),
    (((2,), "uint8", [1, 256]), OverflowError, "out of range integral type conversion attempted"),
    (((2,), "uint8", [1, -1]), OverflowError, "out of range integral type conversion attempted"),
    (("ab", "uint8", b"ab"), TypeError, None),
    (((2,), "uint8", "ab"), TypeError, None),
    (((2,), "uint8", 5), TypeError, None),
    (((2,), "uint8"), IndexError, None),
    (((-2,), "uint8", b"ab"), OverflowError, None),
])
def test_refused_values(manager, value, error, message):
    with pytest.raises(error) as raised:
        manager.save_tensors(0, {"t": value})
    if message is not None:
        assert str(raised.value) == message
    assert manager.list_snapshots() == []


def test_accepted_forms_round_trip(manager):
    data = bytes(range(24))
    tensors = {
        "bytes": ((2, 3), "float32", data),
        "bytearray": ((24,), "uint8", bytearray(data)),
        "list": ((3,), "uint8", [1, 2, 255]),
        "memoryview": ((24,), "weird dtype", memoryview(data)),
        "bf16": torch.arange(12, dtype=torch.bfloat16).reshape(3, 4),
        "empty": torch.empty(0, 5),
        "scalar": torch.tensor(3.5),
    }
    snap = manager.save_tensors(0, tensors)
    loaded = manager.load(snap)
    assert loaded["bytes"] == data and loaded["bytearray"] == data
    assert loaded["list"] == bytes([1, 2, 255])
    assert loaded["memoryview"] == data
    assert loaded["bf16"] == tensors["bf16"].view(torch.int16).numpy().tobytes()
    assert len(loaded["bf16"]) == 24
    assert loaded["empty"] == b""
    assert loaded["scalar"] == torch.tensor(3.5).numpy().tobytes()
    assert all(isinstance(v, bytearray) for v in loaded.values())


def test_bytearray_is_copied_at_collection(manager):
    buffer = bytearray(b"\x01" * 16)
    snap = manager.save_tensors(0, {"b": ((16,), "uint8", buffer)})
    buffer[0] = 9
    assert manager.load(snap)["b"] == b"\x01" * 16
