"""The kernel's log records are the records the logging module makes, whatever the program
has chosen about records (factory, logger class, which attributes are recorded)."""
import importlib
import logging
import threading
import time

import pytest

from tests.harness import KernelLog

TIMES = {"created", "msecs", "relativeCreated"}


def delete_in_thread(kernel, new_name, thread_name="deleting thread"):
    """Three DEBUG records of the loader, made on a thread of its own."""
    name = new_name()
    kernel.in_memory_loader.update_module(name, "x = 1\n")
    importlib.import_module(name)
    thread = threading.Thread(target=kernel.in_memory_loader.delete_module, args=(name,), name=thread_name)
    thread.start()
    thread.join()
    return thread


def test_records_have_logrecords_attributes_and_values(kernel, new_name, kernel_log):
    before = time.time()
    thread = delete_in_thread(kernel, new_name)
    after = time.time()
    records = KernelLog(kernel_log).records()
    assert len(records) == 3
    for record in records:
        made = {k: v for k, v in vars(record).items() if k not in ("message", "asctime")}
        reference = vars(logging.LogRecord(record.name, record.levelno, record.pathname, record.lineno,
                                           record.msg, (), None, record.funcName))
        assert list(made) == list(reference)
        assert {k for k in made if made[k] != reference[k]} <= TIMES | {"thread", "threadName"}
        assert (record.thread, record.threadName) == (thread.ident, "deleting thread")
        assert before <= record.created <= after
        assert record.msecs == int((record.created - int(record.created)) * 1000)
        assert record.relativeCreated == pytest.approx((record.created - logging._startTime) * 1000)
        # The source is the kernel module and the place in it that logged, not a stack walk's guess.
        assert (record.pathname, record.levelname, record.args) == (kernel.__file__, "DEBUG", ())
        assert record.funcName and record.funcName != "<module>" and record.lineno > 0


def test_threads_logging_at_once_each_get_their_own_records(kernel, new_name, kernel_log):
    names = {f"logger {i}": [new_name() for _ in range(15)] for i in range(4)}
    for batch in names.values():
        for name in batch:
            kernel.in_memory_loader.update_module(name, "x = 1\n")
            importlib.import_module(name)

    def delete_all(batch):
        for name in batch:
            kernel.in_memory_loader.delete_module(name)

    threads = [threading.Thread(target=delete_all, args=(batch,), name=thread_name)
               for thread_name, batch in names.items()]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    by_thread = {}
    for record in KernelLog(kernel_log).records():
        if "from source_cache" in record.getMessage():
            by_thread.setdefault(record.threadName, []).append(record.getMessage().split("'")[1])
    assert by_thread == names


def test_the_programs_choices_about_records_hold(kernel, new_name, kernel_log, monkeypatch):
    log = KernelLog(kernel_log)

    def factory(*args, **kwargs):
        record = logging.LogRecord(*args, **kwargs)
        record.made_by = "factory"
        return record

    monkeypatch.setattr(logging, "logThreads", False)
    monkeypatch.setattr(logging, "logProcesses", False)
    monkeypatch.setattr(logging, "logMultiprocessing", False)
    delete_in_thread(kernel, new_name)
    assert [(r.thread, r.threadName, r.process, r.processName) for r in log.records()] == [(None,) * 4] * 3
    monkeypatch.undo()
    kernel_log.clear()

    # The logger's filters, its handlers' levels and its being disabled decide as ever.
    seen = {"debug": [], "info": []}

    class Keep(logging.Handler):
        def emit(self, record):
            seen[logging.getLevelName(self.level).lower()].append(record.getMessage())

    handlers = Keep(logging.DEBUG), Keep(logging.INFO)
    for handler in handlers:
        kernel.logger.addHandler(handler)
    kernel.logger.addFilter(lambda record: "source_cache" not in record.getMessage())
    try:
        delete_in_thread(kernel, new_name)
        monkeypatch.setattr(kernel.logger, "disabled", True)
        delete_in_thread(kernel, new_name)
    finally:
        for handler in handlers:
            kernel.logger.removeHandler(handler)
        kernel.logger.filters.clear()
    assert [text.split()[1] for text in seen["debug"]] == ["Removed"] * 2 and seen["info"] == []
    assert len(log.records()) == 2
    monkeypatch.undo()
    kernel_log.clear()

    original = logging.getLogRecordFactory()
    logging.setLogRecordFactory(factory)
    try:
        delete_in_thread(kernel, new_name)
    finally:
        logging.setLogRecordFactory(original)
    assert [getattr(r, "made_by", None) for r in log.records()] == ["factory"] * 3
    kernel_log.clear()

    class OwnRecords(logging.Logger):
        def makeRecord(self, *args, **kwargs):  # noqa: N802 - logging's own name
            record = super().makeRecord(*args, **kwargs)
            record.made_by = "logger"
            return record

    own = OwnRecords(kernel.logger.name)
    own.setLevel(logging.DEBUG)
    own.parent = logging.getLogger()
    monkeypatch.setattr(kernel, "logger", own)
    delete_in_thread(kernel, new_name)
    mine = [r for r in kernel_log.records if r.getMessage().startswith("[InMemoryModuleLoader]")]
    assert [getattr(r, "made_by", None) for r in mine] == ["logger"] * 3
