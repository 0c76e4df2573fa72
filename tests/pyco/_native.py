"""`async def` twins of test-module coroutines, under the same names: a scenario run on
both must end the same way (test_like_native.py)."""


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


async def each_await(owner, aw):
    return [(item, await aw) async for item in owner.items()]


async def await_method(owner, aw):
    return await owner.wait(aw)


class Counter:
    def __init__(self, start=0):
        self.count = start

    async def wait_for(self, aw):
        self.count = await aw
        return self.count
