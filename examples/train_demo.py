"""A first look at tarnwick: open a store and show how it is configured."""

import os
import sys
import tempfile

import tarnwick


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "tarnwick-demo")
    settings = dict(
        storage_root=root,
        compression_level=3,
        max_full_snapshots=5,
        max_deltas_per_full=10,
        full_every_steps=5000,
        save_dtype={"optimizer/*": "bf16"},
        async_save=True,
    )
    tarnwick.TarnwickManager(**settings)
    print(f"tarnwick {tarnwick.__version__}: store opened at {root}")
    for key, value in settings.items():
        print(f"  {key:20} {value!r}")


if __name__ == "__main__":
    main()
