"""A small FastAPI shop served by uvicorn: the request of the ASGI benchmark (`asgi.py`).

    python asgi_shop.py PORT DB_PATH plain|traced|unrecorded|unwritten COUNT_FILE [BACKEND]

The same order as `shop_app.py`'s, looked up and priced through two functions of this file by an
async view that awaits once, so that under load the requests' steps interleave on the loop. On
SIGINT the server stops and the number of requests served goes into COUNT_FILE.
"""

from __future__ import annotations

import asyncio
import itertools
import os
import sys

from fastapi import FastAPI

LINES = [("tea", 4.5, 2), ("scone", 2.25, 1)]
ORDERS = {n: {"id": n, "owner": "ada", "lines": LINES} for n in range(100)}
served = itertools.count()


def line_total(lines):
    return round(sum(price * quantity for _, price, quantity in lines), 2)


def price_order(order):
    return {"id": order["id"], "owner": order["owner"], "total": line_total(order["lines"])}


app = FastAPI()


@app.get("/orders/{order_id}")
async def order(order_id: int):
    next(served)
    await asyncio.sleep(0)
    return price_order(ORDERS[order_id % 100])


def leave_the_writer_out():
    """The mode "unwritten": every trace is made, ended and handed to the writer's queue, which
    drops it, so that the writer thread's share of a request's cost shows."""
    from vexo.store.writer import Writer

    Writer.save = lambda self, trace: None


def main():
    port, db_path, mode, count_file = sys.argv[1:5]
    backend = sys.argv[5] if len(sys.argv) > 5 else "auto"
    application = app
    if mode in ("traced", "unrecorded", "unwritten"):
        from vexo.config import load_settings
        from vexo.middleware import VexoASGIMiddleware

        settings = load_settings().overridden(
            db_path=db_path,
            backend=backend,
            # "unrecorded": every trace is made and stored, none of this file's calls recorded.
            ignore=[os.path.basename(__file__)] if mode == "unrecorded" else None,
        )
        application = VexoASGIMiddleware(application, settings=settings)
        if mode == "unwritten":
            leave_the_writer_out()
    import uvicorn

    try:
        uvicorn.run(application, host="127.0.0.1", port=int(port), log_level="error",
                    access_log=False)  # fmt: skip
    finally:
        with open(count_file, "w") as out:
            out.write(str(next(served)))


if __name__ == "__main__":
    main()
