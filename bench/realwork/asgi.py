"""A FastAPI request through uvicorn (one event loop serving every request), untraced and behind
`VexoASGIMiddleware` with each backend, side by side: latency with one client, throughput with
fifty, and whether every request served was stored.

    python bench/realwork/asgi.py [--rounds N] [--seconds S] [--backend B]... [--out FILE.json]

The same driver as `wsgi.py` (wrk, a fresh server per round and mode, the order alternating),
with `asgi_shop.py` as the server.
"""

from __future__ import annotations

import wsgi

if __name__ == "__main__":
    wsgi.main(__doc__, app="asgi_shop.py", clients=50)
