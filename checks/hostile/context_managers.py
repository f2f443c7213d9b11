"""Exceptions raised, replaced and swallowed in __exit__, __aexit__ and contextlib helpers."""

import asyncio
import contextlib


class Swallows:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return True


class Replaces:
    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is not None:
            raise RuntimeError("replaced") from value


@contextlib.contextmanager
def managed(log):
    log.append("enter")
    try:
        yield log
    finally:
        log.append("exit")


def use(log):
    with Swallows():
        raise ValueError("swallowed")
    try:
        with Replaces():
            raise KeyError("original")
    except RuntimeError as error:
        log.append(type(error.__cause__).__name__)
    with contextlib.suppress(ZeroDivisionError), managed(log):
        1 / 0  # noqa: B018
    return log


class AsyncManager:
    async def __aenter__(self):
        return "entered"

    async def __aexit__(self, *exc):
        await asyncio.sleep(0)
        return True


async def async_use():
    async with AsyncManager() as value:
        raise ValueError(value)
    return "async swallowed"


print(use([]))
print(asyncio.run(async_use()))
