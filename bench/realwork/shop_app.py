"""A small Flask shop served by waitress, a real threaded WSGI server: the request of the
web benchmark (`wsgi.py`).

    python shop_app.py PORT DB_PATH plain|traced COUNT_FILE [BACKEND]

One view (`/orders/<id>`) looks an order up and prices it through two functions of this file, so
a request is about 800 call and return events of Flask, Werkzeug and waitress and a handful of our
own. On SIGINT the server stops and the number of requests served goes into COUNT_FILE, so the
driver can check that every one of them was stored.
"""

from __future__ import annotations

import itertools
import logging
import os
import signal
import sys

from flask import Flask, jsonify

LINES = [("tea", 4.5, 2), ("scone", 2.25, 1)]
ORDERS = {n: {"id": n, "owner": "ada", "lines": LINES} for n in range(100)}
served = itertools.count()


def line_total(lines):
    return round(sum(price * quantity for _, price, quantity in lines), 2)


def price_order(order):
    return {"id": order["id"], "owner": order["owner"], "total": line_total(order["lines"])}


app = Flask(__name__)


@app.route("/orders/<int:order_id>")
def order(order_id):
    next(served)
    return jsonify(price_order(ORDERS[order_id % 100]))


def main():
    port, db_path, mode, count_file = sys.argv[1:5]
    backend = sys.argv[5] if len(sys.argv) > 5 else "auto"
    application = app.wsgi_app
    if mode in ("traced", "unrecorded"):
        from vexo.config import load_settings
        from vexo.middleware import VexoMiddleware

        settings = load_settings().overridden(
            db_path=db_path,
            backend=backend,
            # "unrecorded": every trace is made and stored, none of this file's calls recorded.
            ignore=[os.path.basename(__file__)] if mode == "unrecorded" else None,
        )
        application = VexoMiddleware(application, settings=settings)
    import waitress

    # A shell starts background jobs with SIGINT ignored, and Python then leaves it so: the
    # benchmark stops the server with it wherever it was started from.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # Under load waitress logs the depth of its queue at every request.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)
    try:
        waitress.serve(application, host="127.0.0.1", port=int(port), threads=8, _quiet=True)
    except KeyboardInterrupt:
        pass
    finally:
        with open(count_file, "w") as out:
            out.write(str(next(served)))


if __name__ == "__main__":
    main()
