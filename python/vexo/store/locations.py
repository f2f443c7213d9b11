"""Where a store lives: a SQLite file's path, or a PostgreSQL server's URL.

All that knows the difference is here: `is_server_url()`, which `vexo.store.open_store()` asks to
choose the store, and the forms a location is shown and fixed in. A URL may carry a password; it
is never shown. `shown()` is the form every message, log line and listing uses.
"""

from __future__ import annotations

import os

__all__ = [
    "DB_VARIABLE",
    "SERVER_SCHEMES",
    "absolute",
    "location_text",
    "masked",
    "shown",
    "shown_from",
]

SERVER_SCHEMES = ("postgresql://", "postgres://")
# The store for every process that does not name one, so that CI can point all its jobs at one.
DB_VARIABLE = "VEXO_DB"
# Connection parameters that hold secrets when given in a URL's query.
_SECRET_PARAMETERS = frozenset({"password", "sslpassword"})


def is_server_url(location: str) -> bool:
    return location.lower().startswith(SERVER_SCHEMES)


def location_text(location: str | os.PathLike[str]) -> str:
    """A store's location as given: a URL as it is, a path as text (not made absolute here)."""
    if type(location) is str:  # what every save of the tracer passes
        return location
    if not isinstance(location, (str, os.PathLike)):
        raise TypeError(f"db_path must be a str or path, not {type(location).__name__}")
    return os.fsdecode(location)


def absolute(location: str | os.PathLike[str], base: str | os.PathLike[str] | None = None) -> str:
    """The location fixed now: a path made absolute (relative to `base`, by default the current
    directory), so that a program changing its directory does not move the store; a URL as it
    is."""
    text = location_text(location)
    if is_server_url(text):
        return text
    return os.path.abspath(os.path.join(os.fspath(base), text) if base is not None else text)


def shown(location: str) -> str:
    """The location as messages show it: a URL without its password."""
    if not is_server_url(location):
        return location
    import urllib.parse  # only for a server's URL: most processes never show one

    try:
        parts = urllib.parse.urlsplit(location)
        netloc = parts.netloc
        if "@" in netloc:
            credentials, host = netloc.rsplit("@", 1)
            user = credentials.split(":", 1)[0]
            netloc = f"{user}@{host}"
        query = urllib.parse.urlencode(
            [
                (name, "***" if name.lower() in _SECRET_PARAMETERS else value)
                for name, value in urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
            ],
            safe="*",
        )
        return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, ""))
    except ValueError:
        # Not parseable: show the scheme alone rather than risk showing a secret.
        return location.split("://", 1)[0] + "://…"


def shown_from(location: str, cwd: str) -> str:
    """The location as messages show it, a file under `cwd` by its relative path."""
    if is_server_url(location):
        return shown(location)
    relative = os.path.relpath(location, cwd)
    return location if relative.startswith(os.pardir) else relative


def masked(text: str, location: str) -> str:
    """`text` (a driver's message) with every secret that the URL holds replaced by ***."""
    for secret in _secrets(location):
        text = text.replace(secret, "***")
    return text


def _secrets(location: str) -> list[str]:
    import urllib.parse

    try:
        parts = urllib.parse.urlsplit(location)
        query = urllib.parse.parse_qsl(parts.query)
        password = parts.password
    except ValueError:
        return []
    found = [value for name, value in query if name.lower() in _SECRET_PARAMETERS]
    return [secret for secret in [password, *found] if secret]
