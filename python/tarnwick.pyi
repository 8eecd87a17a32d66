"""tarnwick: a checkpoint manager for machine-learning training.

One `TarnwickManager` per process keeps a store directory of snapshots.
Tensors go in as `torch.Tensor` objects (CPU, contiguous) or as
`(shape, dtype, bytes)` tuples, and come back as `bytearray` objects in the
dtype they were saved in.
"""

from typing import Dict, List, Mapping, Optional, Sequence, Tuple, TypedDict, Union

__version__: str

TensorValue = Union["torch.Tensor", Tuple[Sequence[int], str, Union[bytes, bytearray, memoryview]]]


class SnapshotInfo(TypedDict):
    step: int
    id: str
    is_delta: bool
    total_compressed: int
    total_raw: int
    skipped_tensors: int
    delta_tensors: int
    full_tensors: int
    ranks: int
    metadata: Dict[str, str]


class TarnwickManager:
    """High-performance checkpoint manager for ML training."""

    def __init__(
        self,
        storage_root: str = "./checkpoints",
        compression_level: int = 3,
        max_full_snapshots: int = 5,
        max_deltas_per_full: int = 10,
        full_every_steps: int = 5000,
        delta_max_ratio: float = 0.95,
        world_size: int = 1,
        rank: int = 0,
        merge_stride: int = 0,
        merge_max_chain: int = 10,
        rollback_interval_steps: int = 10000,
        max_rollback_snapshots: int = 3,
        max_total_snapshots: Optional[int] = None,
        s3_bucket: Optional[str] = None,
        s3_region: str = "us-east-1",
        s3_prefix: str = "",
        s3_endpoint: Optional[str] = None,
        s3_access_key: Optional[str] = None,
        s3_secret_key: Optional[str] = None,
        s3_path_style: bool = False,
        sync_every_n_saves: int = 100,
        save_dtype: Union[None, str, Mapping[str, str]] = None,
        async_save: bool = True,
        keep_base_in_memory: bool = True,
    ) -> None:
        """Open (or create) the store at `storage_root`.

        `compression_level` 0 stores payloads uncompressed; any other value is
        a zstd level. `save_dtype` narrows float tensors on save: a dtype
        name for every tensor ("bf16", "fp16", "fp8", "fp8_e5m2", ...), or a
        dict of glob pattern to dtype name where the first matching pattern
        wins ("none" exempts). Tensors come back in the dtype they were
        given in. With `async_save`, `save_tensors` returns once the tensors
        are copied and the save runs in the background.
        """

    def save_tensors(
        self,
        step: int,
        tensors: Mapping[str, TensorValue],
        metadata: Optional[Mapping[str, str]] = None,
    ) -> str:
        """Save a checkpoint (single-rank mode).

        Values may be `(shape, dtype, bytes)` tuples or `torch.Tensor` objects.
        A tensor is read through `data_ptr()` with the GIL released, so its
        storage must not be mutated, resized or freed for the duration of this
        call — the calling thread is blocked inside it, so only another Python
        thread can do that. See the stub in `tarnwick.pyi` for the contract as
        users see it.

        Contract: tensors must be CPU and contiguous. The call returns the new
        snapshot's id once the tensors are copied (with `async_save`) or once
        the snapshot is recorded (without). After it returns the tensors may be
        changed freely. A failed background save is raised by the next
        `save_tensors` or `flush`, as RuntimeError("Storage backend error:
        Background save failed: ...").
        """

    def flush(self) -> None:
        """Block until any in-flight background save completes.
        Raises if the background save failed."""

    def last_queue_wait(self) -> float:
        """Seconds the last `save_tensors` spent waiting for the previous save.

        Call it straight after `save_tensors`, on the same thread, and it
        describes that call. See `Coordinator::last_queue_wait` for what the
        number is and why it is worth having apart: a caller timing its own
        save sees the shadow copy and this wait as one duration, and they have
        different causes and different remedies. `TARNWICK_PROFILE=1` prints it
        too, but a log line is not available to a program."""

    def load(self, snap_id: str) -> Dict[str, bytearray]:
        """Load one snapshot: tensor name to its bytes, in the dtype it was saved in.

        Waits for a background save first. Raises ValueError when `snap_id`
        is not a UUID and RuntimeError("Checkpoint not found: Snapshot ...")
        when the store has no such snapshot."""

    def load_latest(self) -> Tuple[str, Dict[str, bytearray]]:
        """Load the newest finalized snapshot: (its id, tensor name to bytes).

        Raises RuntimeError("Checkpoint not found: No finalized snapshots") on
        an empty store."""

    def list_snapshots(self) -> List[SnapshotInfo]:
        """The finalized snapshots, oldest first, with their sizes and metadata."""

    def create_snapshot(self, step: int, metadata: Optional[Mapping[str, str]] = None) -> str:
        """Multi-rank mode: start a snapshot that every rank then fills with
        `save_rank` and rank 0 records with `finalize_snapshot`. Returns its id."""

    def save_rank(self, snap_id: str, tensors: Mapping[str, TensorValue]) -> None:
        """Multi-rank mode: write this rank's tensors into snapshot `snap_id`."""

    def finalize_snapshot(self, snap_id: str) -> None:
        """Multi-rank mode: record snapshot `snap_id` once every rank has saved."""

    def merge_now(self) -> None:
        """Fold the newest full snapshot and its deltas into a new full snapshot
        now, and wait for the outcome. Does nothing without a merger
        (`merge_stride` 0)."""

    def sync_now(self) -> None:
        """Push everything to remote storage and wait for it.

        Raises if the data did not reach the remote, rather than logging and
        returning: a run whose checkpoints are not leaving the machine should
        find out while it can still do something about it."""

    def restore_from_remote(self) -> bool:
        """Pull this store back from the remote. Returns whether anything came.

        For a machine that came up without the store it had — replaced after a
        preemption, or simply given a different rank than last time. Until
        2026-08-19 the remote was push-only, so the bucket held the checkpoint
        and no path led back to it."""
