"""`async def` twins of test-module coroutines, with the same names: a scenario run on
both must end the same way (see test_like_native.py)."""


async def await_value(aw):
    return await aw


async def hold_await(owner, aw):
    return await aw


async def cleanup_await(aw, cleanup):
    try:
        return await aw
    except BaseException:
        await cleanup()
        raise


async def catch_exception(aw):
    try:
        r = await aw
    except Exception as e:  # noqa: BLE001 - as the C++ twin catches
        return ("caught", e)
    return ("ok", r)


async def locked_await(owner, aw):
    async with owner.lock:
        return await aw


async def await_method(owner, aw):
    return await owner.wait(aw)


async def each_await(owner, aw):
    seen = []
    async for item in owner.items():
        seen.append((item, await aw))
    return seen


class Counter:
    def __init__(self, start=0):
        self.count = start

    async def wait_for(self, aw):
        v = await aw
        self.count = v
        return v
