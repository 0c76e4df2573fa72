"""What the program's own logging does to the kernel's log calls: a handler that raises,
error-reporting integrations that patch logging.Logger, and a Logger subclass chosen by
the application before the kernel starts. The kernel runs as its own process (launched
as the product launches it) against the development Business Layer, so that the peer's
logging in this process is not the program's."""
import asyncio

from tests.harness import kernel_process

def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 120))


BROKEN_HANDLER = '''import logging

class Broken(logging.Handler):
    def emit(self, record):
        raise RuntimeError("this handler is broken")

logging.getLogger().addHandler(Broken())
'''


def test_a_handler_whose_emit_raises_is_reported_once_and_the_session_goes_on(scratch):
    async def main():
        async with kernel_process(scratch) as k:
            added = await k.execute(BROKEN_HANDLER, "add")
            assert added["type"] == "execution_result"
            for i in range(3):
                final = await k.execute(f"{i} * 7", f"after-{i}")
                assert (final["type"], final["result"]) == ("execution_result", str(i * 7))
            return k.stderr()
    err = run(main())
    assert err.count("RuntimeError: this handler is broken") == 1, err[-3000:]


APP_LOGGER_CLASS = '''import logging

class AppLogger(logging.Logger):
    def makeRecord(self, name, level, fn, lno, msg, args, exc_info, func, extra, sinfo):
        record = super().makeRecord(name, level, fn, lno, msg, args, exc_info, func, extra, sinfo)
        record.made_by = "AppLogger"
        return record

logging.setLoggerClass(AppLogger)
'''

KEEP_KERNEL_RECORDS = '''import logging

kept = []

class Keep(logging.Handler):
    def emit(self, record):
        kept.append((type(logging.getLogger(record.name)).__name__, getattr(record, "made_by", None),
                     record.getMessage()))

logging.getLogger("vantrel_master.python_server.kernel").addHandler(Keep())
'''


def test_a_logger_class_the_application_chose_makes_the_kernels_records(scratch):
    async def main():
        async with kernel_process(scratch, prelude=APP_LOGGER_CLASS) as k:
            assert (await k.execute(KEEP_KERNEL_RECORDS, "keep"))["type"] == "execution_result"
            final = await k.execute("6 * 7", "answer")
            assert (final["type"], final["result"]) == ("execution_result", "42")
            seen = await k.execute("[r for r in kept if r[2].endswith('request_id=answer')]", "seen")
            return seen["result"], k.stderr()
    seen, err = run(main())
    assert seen == "[('AppLogger', 'AppLogger', '[Kernel] Sending execution_result (success) for request_id=answer')]"
    assert "Logging error" not in err


ERROR_REPORTING_INTEGRATION = '''import logging

breadcrumbs = []
made = []
_call_handlers = logging.Logger.callHandlers
_make_record = logging.Logger.makeRecord

def call_handlers(self, record):
    breadcrumbs.append(record.getMessage())
    return _call_handlers(self, record)

def make_record(self, *args, **kwargs):
    record = _make_record(self, *args, **kwargs)
    made.append(record.getMessage())
    return record

logging.Logger.callHandlers = call_handlers
logging.Logger.makeRecord = make_record
'''


def test_patches_on_the_logger_class_see_the_kernels_records(scratch):
    async def main():
        async with kernel_process(scratch) as k:
            assert (await k.execute(ERROR_REPORTING_INTEGRATION, "patch"))["type"] == "execution_result"
            assert (await k.execute("6 * 7", "answer"))["result"] == "42"
            wanted = "[Kernel] Sending execution_result (success) for request_id=answer"
            seen = await k.execute(f"({wanted!r} in breadcrumbs, {wanted!r} in made)", "seen")
            return seen["result"]
    assert run(main()) == "(True, True)"
