"""Coroutines awaiting hundreds deep, tasks gathered, cancelled and timed out, async generators
and coroutines that are never awaited."""

import asyncio
import gc
import warnings


async def leaf(n):
    await asyncio.sleep(0)
    return n


async def chain(depth, n):
    if depth == 0:
        return await leaf(n)
    return await chain(depth - 1, n) + 1


async def ticker(n):
    for i in range(n):
        yield i
        await asyncio.sleep(0)


async def sleeper():
    try:
        await asyncio.sleep(3600)
    except asyncio.CancelledError:
        return "cancelled"


async def main():
    print(await chain(300, 1))
    results = await asyncio.gather(*(chain(20, i) for i in range(50)))
    print(sum(results))
    print([i async for i in ticker(5)])
    task = asyncio.ensure_future(sleeper())
    await asyncio.sleep(0)
    task.cancel()
    print(await task)
    try:
        await asyncio.wait_for(asyncio.sleep(3600), timeout=0.01)
    except asyncio.TimeoutError:
        print("timed out")
    agen = ticker(10)
    print(await agen.__anext__())
    await agen.aclose()


asyncio.run(main())
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    never = leaf(1)
    del never
    gc.collect()
print("done")
