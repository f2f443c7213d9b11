"""Web middleware, one trace per request (WSGI: `VexoMiddleware`; ASGI: `VexoASGIMiddleware`;
Django: "vexo.middleware.VexoDjangoMiddleware" in settings.MIDDLEWARE, on its sync and async
paths); written in `vexo.integrations.wsgi` and `vexo.integrations.asgi`."""

from vexo.integrations.asgi import VexoASGIMiddleware
from vexo.integrations.wsgi import (
    VexoDjangoMiddleware,
    VexoMiddleware,
)

__all__ = [
    "VexoASGIMiddleware",
    "VexoDjangoMiddleware",
    "VexoMiddleware",
]
