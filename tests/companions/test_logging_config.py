import io
import logging
import sys

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
