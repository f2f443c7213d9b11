"""The applications that tests/test_asgi.py serves with uvicorn: a FastAPI app behind
VexoASGIMiddleware and a Django async view behind VexoDjangoMiddleware, in one ASGI app that
dispatches on the path's first part. The trace database is named by VEXO_TEST_DB."""

import asyncio
import os
from http import HTTPStatus

import django
from django.conf import settings as django_settings
from django.http import JsonResponse
from django.urls import path
from fastapi import BackgroundTasks, FastAPI, Request, WebSocket
from fastapi.responses import JSONResponse, StreamingResponse

from vexo.config import Settings
from vexo.middleware import VexoASGIMiddleware

DB_PATH = os.environ["VEXO_TEST_DB"]


def double(number):
    return number * 2


def in_thread(number):
    return double(number) + 1


async def handle(number):
    """What every numbered request does: awaits, calls, and hands work to a thread."""
    await asyncio.sleep(0.001 * (number % 7))
    doubled = double(number)
    await asyncio.sleep(0)
    return doubled + await asyncio.to_thread(in_thread, number)


api = FastAPI()
started = []


@api.on_event("startup")
async def startup():
    started.append(double(0))


@api.get("/n/{number}")
async def numbered(number: int):
    return {"answer": await handle(number)}


@api.get("/raise/{number}")
async def raising(number: int):
    double(number)
    raise LookupError(f"no page {number} for token=hunter2hunter2")  # an error text is scrubbed


@api.get("/slow/{number}")
async def slow(number: int, request: Request):
    """Answers late; notices a client that left."""
    for _ in range(100):
        if await request.is_disconnected():
            return {"left": double(number)}
        await asyncio.sleep(0.02)
    return {"stayed": number}


@api.get("/created/{number}")
async def created(number: int):
    """Answers with an int subclass as its status, as Starlette passes it on."""
    return JSONResponse({"made": double(number)}, status_code=HTTPStatus.CREATED)


@api.get("/cancelled/{number}")
async def cancelled(number: int):
    double(number)
    await asyncio.sleep(5)


def after(number):
    return double(number)


@api.get("/later/{number}")
async def later(number: int, tasks: BackgroundTasks):
    tasks.add_task(after, number)
    return {"queued": number}


async def chunks(number, count):
    for index in range(count):
        await asyncio.sleep(0.01)
        yield f"{double(number)}:{index};".encode()


@api.get("/stream/{number}/{count}")
async def stream(number: int, count: int):
    return StreamingResponse(chunks(number, count))


@api.websocket("/echo")
async def echo(websocket: WebSocket):
    await websocket.accept()
    number = int(await websocket.receive_text())
    await websocket.send_text(str(double(number)))
    await websocket.close()


traced_api = VexoASGIMiddleware(api, settings=Settings(db_path=DB_PATH))


async def silent(scope, receive, send):
    """An application that never sends a response."""
    double(int(scope["path"].rsplit("/", 1)[-1]))


traced_silent = VexoASGIMiddleware(silent, settings=Settings(db_path=DB_PATH))


async def cancelled_by_timeout(scope, receive, send):
    """A timeout around the traced application cancels the request."""
    await asyncio.wait_for(traced_api(scope, receive, send), 0.1)


# Django


async def django_numbered(request, number):
    return JsonResponse({"answer": await handle(number)})


urlpatterns = [path("django/n/<int:number>", django_numbered)]

django_settings.configure(
    DEBUG=False,
    SECRET_KEY="vexo-tests",
    ALLOWED_HOSTS=["*"],
    ROOT_URLCONF=__name__,
    MIDDLEWARE=["vexo.middleware.VexoDjangoMiddleware"],
    INSTALLED_APPS=[],
    DATABASES={},
    VEXO={"db": DB_PATH},
)
django.setup()

from django.core.asgi import get_asgi_application  # noqa: E402  (after the settings)

django_app = get_asgi_application()


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        return await traced_api(scope, receive, send)
    first = scope["path"].split("/")[1]
    routes = {"django": django_app, "silent": traced_silent, "cancelled": cancelled_by_timeout}
    await routes.get(first, traced_api)(scope, receive, send)
