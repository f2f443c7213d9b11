"""Web middleware, one trace per request (WSGI: `VexoMiddleware`; Django:
"vexo.middleware.VexoDjangoMiddleware" in settings.MIDDLEWARE); written in
`vexo.integrations.wsgi`."""

from vexo.integrations.wsgi import (
    VexoDjangoMiddleware,
    VexoMiddleware,
)

__all__ = [
    "VexoDjangoMiddleware",
    "VexoMiddleware",
]
