import os

import pytest

import tarnwick


@pytest.fixture
def store(tmp_path):
    """A fresh store directory path."""
    return str(tmp_path / "store")


@pytest.fixture
def manager(store):
    """A synchronous manager on a fresh store."""
    return tarnwick.TarnwickManager(store, async_save=False)


@pytest.fixture(autouse=True)
def _no_fsync(monkeypatch):
    # Durability is tested in C++; here it only slows the suite down.
    monkeypatch.setenv("TARNWICK_FSYNC", "0")
