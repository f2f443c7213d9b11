"""The trace store: a SQLite file or a PostgreSQL server behind one interface (`vexo.store.base`),
opened by `open_store()`. `vexo.db` is its public face."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from vexo.store.base import DEFAULT_TIMEOUT
from vexo.store.locations import is_server_url, location_text

if TYPE_CHECKING:
    from vexo.store.base import Store

__all__ = ["open_store"]


def open_store(location: str | os.PathLike[str], timeout: float = DEFAULT_TIMEOUT) -> Store:
    """The store at `location`: a PostgreSQL server's for a URL, else a SQLite file's. Nothing is
    opened before the store is used; `timeout` is how long it waits for other writers."""
    text = location_text(location)
    # Each backend is imported on first use: most processes only ever use one.
    if is_server_url(text):
        from vexo.store.postgres import PostgresStore

        return PostgresStore(text, timeout)
    from vexo.store.sqlite import SqliteStore

    return SqliteStore(text, timeout)
