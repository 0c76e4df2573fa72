import io
import logging
import sys
import time

import pytest

from vantrel_master import logging_config


class Hook(io.StringIO):
    """Stands for the kernel's stream hooks: anything written here would be sent."""


@pytest.fixture
def clean_logging(monkeypatch):
    root = logging.getLogger()
    saved = (list(root.handlers), root.level, logging.lastResort)
    monkeypatch.delenv(logging_config.LEVEL_ENV, raising=False)
    monkeypatch.delenv(logging_config.FILE_ENV, raising=False)
    original = io.StringIO()
    monkeypatch.setattr(sys, "__stderr__", original)
    hooks = Hook(), Hook()
    monkeypatch.setattr(sys, "stdout", hooks[0])
    monkeypatch.setattr(sys, "stderr", hooks[1])
    yield original, hooks
    for handler in list(root.handlers):
        if handler not in saved[0]:
            root.removeHandler(handler)
            handler.close()
    root.setLevel(saved[1])
    logging.lastResort = saved[2]


def ours():
    return [h for h in logging.getLogger().handlers if getattr(h, logging_config._MARK, False)]


def test_records_go_to_original_stderr_never_to_replaced_streams(clean_logging, monkeypatch):
    original, hooks = clean_logging
    logging_config.setup_logging_subprocess()
    logging_config.get_logger("vantrel.test").warning("hello from the kernel")
    assert "hello from the kernel" in original.getvalue()
    monkeypatch.setattr(sys, "__stderr__", None)  # windowed interpreter: dropped, no error
    logging_config.get_logger("vantrel.test").error("dropped")
    assert hooks[0].getvalue() == "" and hooks[1].getvalue() == ""


def test_last_resort_also_bypasses_replaced_stderr(clean_logging):
    original, hooks = clean_logging
    logging_config.setup_logging_subprocess()
    lonely = logging.getLogger("vantrel.test.lonely")
    lonely.propagate = False  # no handler anywhere: only lastResort can print it
    try:
        lonely.error("nobody configured me")
    finally:
        lonely.propagate = True
    assert "nobody configured me" in original.getvalue()
    assert hooks[1].getvalue() == ""


def test_repeated_setup_does_not_duplicate_and_keeps_foreign_handlers(clean_logging):
    original, _ = clean_logging
    foreign = logging.NullHandler()
    logging.getLogger().addHandler(foreign)
    logging_config.setup_logging_subprocess()
    logging_config.setup_logging_subprocess()
    assert len(ours()) == 1
    assert foreign in logging.getLogger().handlers
    logging.getLogger("vantrel.test").info("once")
    assert original.getvalue().count("once") == 1


@pytest.mark.parametrize("value, level", [
    (None, logging.INFO), ("debug", logging.DEBUG), ("ERROR", logging.ERROR),
    ("15", 15), ("nonsense", logging.INFO),
])
def test_level_comes_from_environment(clean_logging, monkeypatch, value, level):
    if value is not None:
        monkeypatch.setenv(logging_config.LEVEL_ENV, value)
    logging_config.setup_logging_subprocess()
    assert logging.getLogger().level == level


def test_log_file_from_environment(clean_logging, monkeypatch, tmp_path):
    path = tmp_path / "kernel.log"
    monkeypatch.setenv(logging_config.FILE_ENV, str(path))
    logging_config.setup_logging_subprocess()
    logging.getLogger("vantrel.test").warning("to the file ✓")
    for handler in ours():
        handler.flush()
    assert "to the file ✓" in path.read_text(encoding="utf-8")
    # a second set-up without the variable drops the file handler again
    monkeypatch.delenv(logging_config.FILE_ENV)
    logging_config.setup_logging_subprocess()
    assert len(ours()) == 1


def _records():
    """Records as a program makes them: plain, with arguments, with an exception and a
    stack, and two around a second boundary (the formatter keeps the last second's text)."""
    made = []
    base = logging.LogRecord("vantrel.test", logging.INFO, __file__, 1, "plain ✓", (), None)
    made.append(base)
    made.append(logging.LogRecord("vantrel.test", logging.WARNING, __file__, 2, "%s of %d", ("part", 3), None))
    try:
        raise ValueError("shown with its traceback")
    except ValueError:
        made.append(logging.LogRecord("vantrel.test", logging.ERROR, __file__, 3, "failed", (), sys.exc_info(),
                                      sinfo="Stack (most recent call last):\n  here"))
    for created in (base.created // 1 + 0.999, base.created // 1 + 1.001, base.created // 1 + 61.5):
        record = logging.LogRecord("vantrel.test", 25, __file__, 4, "at %s", (created,), None)
        record.created, record.msecs = created, int((created - int(created)) * 1000) + 0.0
        made.append(record)
    return made


def test_lines_are_the_standard_formatters_lines(clean_logging, monkeypatch):
    original, _ = clean_logging
    logging_config.setup_logging_subprocess()
    ours_formatter = ours()[0].formatter
    standard = logging.Formatter(logging_config.LOG_FORMAT)
    records = _records()

    def copy(record):
        return logging.makeLogRecord(dict(vars(record)))

    def check(order):
        for record in order:
            assert ours_formatter.format(copy(record)) == standard.format(copy(record))

    check(records)
    # What a program changes on the standard class applies to these lines as well, from
    # the next record on (even within the second whose text was made already).
    monkeypatch.setattr(logging.Formatter, "converter", staticmethod(lambda t: time.gmtime(t + 3600)))
    monkeypatch.setattr(logging.Formatter, "default_msec_format", "%s.%03d")
    check(reversed(records))
    # The handler writes exactly those lines, one per record, and honours its filters.
    ours()[0].addFilter(lambda record: record.levelno != 25)
    for record in records:
        logging.getLogger("vantrel.test").handle(copy(record))
    assert original.getvalue() == "".join(standard.format(copy(r)) + "\n" for r in records[:3])
