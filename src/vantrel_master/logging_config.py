"""Logging set-up for the kernel process and the package client.

Log records never go through ``sys.stdout`` or ``sys.stderr``. While a kernel is
connected those two names hold the kernel's stream hooks, which forward every
write to the Business Layer as a stream message; a log line written there would
become a message whose sending logs again, without end. Handlers installed here
are therefore bound to the interpreter's original error stream,
``sys.__stderr__``, or to a log file, and ``logging.lastResort`` (which looks up
``sys.stderr`` at every record) is replaced by an equivalent handler on
``sys.__stderr__``.

Environment variables:

``VANTREL_LOG_LEVEL``
    Level name (``DEBUG``, ``INFO``, ``WARNING``, ``ERROR``, ``CRITICAL``) or a
    number. Default ``INFO``. An unknown value falls back to ``INFO``.
``VANTREL_LOG_FILE``
    Optional path of a log file (appended to, UTF-8). When set, records go to
    the file as well as to ``sys.__stderr__``.
"""

from __future__ import annotations

import logging
import os
import sys
import time
import traceback

LEVEL_ENV = "VANTREL_LOG_LEVEL"
FILE_ENV = "VANTREL_LOG_FILE"
DEFAULT_LEVEL = logging.INFO
LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
_LINE = "%s %s %s: %s"  # LOG_FORMAT by position: asctime, levelname, name, message

# Marks the handlers installed by setup_logging_subprocess so that a second
# call replaces them instead of adding more.
_MARK = "_vantrel_handler"


class _OriginalStderrMixin:
    """Reports handler failures on ``sys.__stderr__`` rather than ``sys.stderr``."""

    def handleError(self, record):  # noqa: N802 - logging's own name
        if not logging.raiseExceptions:
            return
        stream = sys.__stderr__
        if stream is None:
            return
        try:
            stream.write("--- Logging error ---\n")
            traceback.print_exc(file=stream)
            stream.write(f"Message: {record.msg!r}\nArguments: {record.args!r}\n")
            stream.flush()
        except Exception:
            pass


class _Formatter(logging.Formatter):
    """``logging.Formatter(LOG_FORMAT)``, same text, cheaper per record.

    The kernel logs a few records per request at the default level, so what a
    record costs is paid on every request: the date and time part of the stamp
    is made once per second (per converter) instead of once per record, and a
    record without exception or stack text is put together in one step instead
    of through the style object.
    """

    def __init__(self):
        super().__init__(LOG_FORMAT)
        self._stamp = (None, None, "")  # (whole second, converter, its text), replaced as one

    def usesTime(self):  # noqa: N802 - logging's own name
        return True

    def formatTime(self, record, datefmt=None):  # noqa: N802 - logging's own name
        if datefmt:
            return super().formatTime(record, datefmt)
        second, converter = int(record.created), self.converter
        stamp = self._stamp
        if stamp[0] != second or stamp[1] is not converter:
            stamp = (second, converter, time.strftime(self.default_time_format, converter(record.created)))
            self._stamp = stamp
        return self.default_msec_format % (stamp[2], record.msecs)

    def formatMessage(self, record):  # noqa: N802 - logging's own name
        return _LINE % (record.asctime, record.levelname, record.name, record.message)

    def format(self, record):
        if record.exc_info or record.exc_text or record.stack_info:
            return super().format(record)
        record.message = record.getMessage()
        record.asctime = self.formatTime(record)
        return _LINE % (record.asctime, record.levelname, record.name, record.message)


class _LeanHandle:
    """Handler.handle without its acquire/release method calls (same filters, same lock)."""

    def handle(self, record):
        if self.filters and not self.filter(record):
            return False
        with self.lock:
            self.emit(record)
        return True


class OriginalStderrHandler(_LeanHandle, _OriginalStderrMixin, logging.StreamHandler):
    """A stream handler writing to ``sys.__stderr__``.

    The stream is looked up when a record is emitted, so the handler follows the
    interpreter's original error stream and never whatever object currently sits
    in ``sys.stderr``. When there is no such stream (a windowed interpreter),
    records are dropped.
    """

    def __init__(self, level=logging.NOTSET):
        logging.Handler.__init__(self, level)

    @property
    def stream(self):
        return sys.__stderr__

    @stream.setter
    def stream(self, value):
        # StreamHandler.setStream and __init__ assign here; the stream is fixed.
        pass

    def emit(self, record):
        stream = sys.__stderr__
        if stream is None:
            return
        try:
            stream.write((self.formatter or logging._defaultFormatter).format(record) + self.terminator)
            if not getattr(stream, "line_buffering", False):  # a line-buffered stream wrote it already
                stream.flush()
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)


class _FileHandler(_LeanHandle, _OriginalStderrMixin, logging.FileHandler):
    pass


def _level_from_env() -> int:
    raw = os.environ.get(LEVEL_ENV, "").strip()
    if not raw:
        return DEFAULT_LEVEL
    if raw.lstrip("-").isdigit():
        return int(raw)
    level = logging.getLevelName(raw.upper())
    return level if isinstance(level, int) else DEFAULT_LEVEL


def setup_logging_subprocess() -> logging.Logger:
    """Configure the root logger of this process; safe to call more than once.

    Installs one handler on ``sys.__stderr__`` (and one on the log file when
    ``VANTREL_LOG_FILE`` is set), sets the level from ``VANTREL_LOG_LEVEL`` and
    replaces ``logging.lastResort``. A repeated call removes the handlers of the
    previous call first, so handlers are never duplicated and changed
    environment variables take effect. Returns the root logger.
    """
    root = logging.getLogger()
    level = _level_from_env()
    formatter = _Formatter()

    for handler in list(root.handlers):
        if getattr(handler, _MARK, False):
            root.removeHandler(handler)
            handler.close()

    handlers: list[logging.Handler] = [OriginalStderrHandler()]
    log_file = os.environ.get(FILE_ENV, "").strip()
    if log_file:
        handlers.append(_FileHandler(log_file, encoding="utf-8", delay=True))
    for handler in handlers:
        handler.setFormatter(formatter)
        setattr(handler, _MARK, True)
        root.addHandler(handler)
    root.setLevel(level)

    last_resort = OriginalStderrHandler(logging.WARNING)
    setattr(last_resort, _MARK, True)
    logging.lastResort = last_resort
    return root


def get_logger(name: str) -> logging.Logger:
    """Return the standard logger called ``name``."""
    return logging.getLogger(name)
