"""What is one per process: the platform, the application's transitions, the
delivery (options, counters, flush, outcomes) and the log.

Callbacks: the outcome callback runs on the SDK's delivery thread
(``qx-delivery``), or on the thread that executed a hit that could not be
stored; the log handler on whatever thread logs. Both run with the
interpreter's lock taken. An exception raised in one is caught here and
reported through the ``quorvex`` logger of :mod:`logging` (the first one of
each callable, with its traceback); the SDK goes on. Replacing or removing a
callback returns once the old one has finished on every thread.
"""

from __future__ import annotations

import atexit
import ctypes
import logging
import threading
from dataclasses import dataclass, fields
from typing import Callable, Mapping, Optional, Tuple

from . import _capi
from ._capi import Error, lib

_report = logging.getLogger("quorvex")


def install_platform(data_directory: Optional[str] = None,
                     bundle_identifier: Optional[str] = None, *,
                     locale: Optional[str] = None,
                     info: Optional[Mapping[str, str]] = None,
                     screen: Optional[Tuple[float, float]] = None) -> None:
    """Installs the Linux platform, before the first tracker.

    ``data_directory`` holds the SDK's state and outbox (default:
    ``$XDG_DATA_HOME/quorvex/<bundle identifier>``); ``info`` holds
    information-dictionary values such as ``{"CFBundleShortVersionString":
    "2.3.0"}``; ``screen`` is (width, height) in points. Error with
    ``QX_E_STATE`` once a tracker, a delivery call or a transition was made.
    """
    entries = list((info or {}).items())
    encoded = [(_capi.key(k, "info key"), _capi.key(v, "info value")) for k, v in entries]
    dictionary = (_capi.KeyValue * len(encoded))(*encoded)
    options = _capi.PlatformOptions(size=ctypes.sizeof(_capi.PlatformOptions))
    if data_directory is not None:
        options.data_directory = _capi.key(str(data_directory), "data_directory")
    if bundle_identifier is not None:
        options.bundle_identifier = _capi.key(bundle_identifier, "bundle_identifier")
    if locale is not None:
        options.locale_identifier = _capi.key(locale, "locale")
    options.info_dictionary = ctypes.cast(dictionary, ctypes.POINTER(_capi.KeyValue))
    options.info_dictionary_count = len(encoded)
    if screen is not None:
        options.has_screen = 1
        options.screen_width, options.screen_height = screen
    lib.qx_platform_install_linux_options(ctypes.byref(options))


def application_did_enter_background() -> None:
    """Hits wait in the outbox until the application is back in foreground."""
    lib.qx_application_did_enter_background()


def application_will_enter_foreground() -> None:
    lib.qx_application_will_enter_foreground()


def version() -> str:
    return lib.qx_version().decode()


# --- Delivery ----------------------------------------------------------------

@dataclass
class Counters:
    """What delivery has done since the process started."""
    queued: int
    sent: int
    retried: int
    dropped: int
    pending: int


@dataclass
class DeliveryOptions:
    """How hits are delivered (the README's Delivery section)."""
    connect_timeout_ms: int
    request_timeout_ms: int
    max_queued_hits: int
    max_queued_bytes: int
    max_hit_age_s: int
    max_connections: int
    parallel_backlog: int
    initial_retry_delay_ms: int
    max_retry_delay_ms: int
    max_retry_after_ms: int
    reachability_interval_ms: int
    exit_timeout_ms: int
    max_hit_bytes: int


@dataclass
class Outcome:
    """What became of one attempt of a hit."""
    result: str  # "delivered", "retrying" or "dropped"
    hit_identifier: str
    url: str
    http_status: int  # 0 when there was no answer
    attempt: int  # 1 for the first attempt in this process; 0 when never sent
    retry_delay: float  # seconds
    reason: str


_RESULTS = {_capi.QX_OUTCOME_DELIVERED: "delivered", _capi.QX_OUTCOME_RETRYING: "retrying",
            _capi.QX_OUTCOME_DROPPED: "dropped"}
_PAUSES = {_capi.QX_PAUSE_NONE: "none", _capi.QX_PAUSE_OFFLINE: "offline",
           _capi.QX_PAUSE_BACKGROUND: "background"}


def flush(timeout: float) -> bool:
    """Waits at most ``timeout`` seconds until every hit is delivered or given up."""
    if timeout < 0:
        raise Error(_capi.QX_E_INVALID_ARGUMENT, "timeout is negative")
    return lib.qx_flush(int(timeout * 1000)) == 1


def counters() -> Counters:
    out = _capi.DeliveryCounters(size=ctypes.sizeof(_capi.DeliveryCounters))
    lib.qx_delivery_get_counters(ctypes.byref(out))
    return Counters(out.queued, out.sent, out.retried, out.dropped, out.pending)


def delivery_pause() -> str:
    """Why nothing goes out now: "none", "offline" or "background"."""
    return _PAUSES[lib.qx_delivery_pause()]


def delivery_options() -> DeliveryOptions:
    out = _capi.DeliveryOptions(size=ctypes.sizeof(_capi.DeliveryOptions))
    lib.qx_delivery_get_options(ctypes.byref(out))
    return DeliveryOptions(**{f.name: getattr(out, f.name) for f in fields(DeliveryOptions)})


def set_delivery_options(options: Optional[DeliveryOptions] = None, **changes: int) -> None:
    """Applies ``options`` (default: the current ones) with ``changes`` over them."""
    values = options if options is not None else delivery_options()
    merged = {f.name: getattr(values, f.name) for f in fields(DeliveryOptions)}
    for name, value in changes.items():
        if name not in merged:
            raise Error(_capi.QX_E_INVALID_ARGUMENT, f"no delivery option {name!r}")
        merged[name] = value
    out = _capi.DeliveryOptions(size=ctypes.sizeof(_capi.DeliveryOptions), **merged)
    lib.qx_delivery_set_options(ctypes.byref(out))


# --- Callbacks -----------------------------------------------------------------

class _Guarded:
    """A Python callable run from C: what it raises is reported, never
    passed on (ctypes could only print it)."""

    def __init__(self, function: Callable, what: str) -> None:
        self.function = function
        self.what = what
        self.reported = False
        self.lock = threading.Lock()

    def __call__(self, *arguments) -> None:
        try:
            self.function(*arguments)
        except BaseException:
            with self.lock:
                first, self.reported = not self.reported, True
            if first:
                _report.exception("the %s raised (later exceptions of it are not reported)",
                                  self.what)


# The C function objects in place; ctypes frees a callback's trampoline with
# its object, so each lives until the library has let go of it.
_installed = {"outcome": None, "log": None}


def set_outcome_callback(callback: Optional[Callable[[Outcome], None]]) -> None:
    """Calls ``callback(outcome)`` after each attempt of a hit (None removes it)."""
    if callback is None:
        lib.qx_set_outcome_callback(_capi.OUTCOME_CALLBACK(), None)
        _installed["outcome"] = None
        return
    guarded = _Guarded(callback, "outcome callback")

    def tell(outcome_pointer, _user_data) -> None:
        told = outcome_pointer.contents
        guarded(Outcome(_RESULTS.get(told.result, str(told.result)),
                        (told.hit_identifier or b"").decode("utf-8", "replace"),
                        (told.url or b"").decode("utf-8", "replace"), told.http_status,
                        told.attempt, told.retry_delay_ms / 1000.0,
                        (told.reason or b"").decode("utf-8", "replace")))

    function = _capi.OUTCOME_CALLBACK(tell)
    lib.qx_set_outcome_callback(function, None)
    _installed["outcome"] = function
    _remove_at_exit()


def set_log_handler(handler: Optional[Callable[[int, str], None]]) -> None:
    """Sends the SDK's log to ``handler(level, message)`` (None: standard error)."""
    if handler is None:
        lib.qx_log_set_sink(_capi.LOG_SINK(), None)
        _installed["log"] = None
        return
    guarded = _Guarded(handler, "log handler")

    def write(level, message, length, _user_data) -> None:
        guarded(level, ctypes.string_at(message, length).decode("utf-8", "replace"))

    function = _capi.LOG_SINK(write)
    lib.qx_log_set_sink(function, None)
    _installed["log"] = function
    _remove_at_exit()


def set_log_threshold(level: int) -> None:
    """Messages of ``level`` and above are written (0 to 5; 3 by default)."""
    lib.qx_log_set_threshold(level)


def log_threshold() -> int:
    return lib.qx_log_threshold()


_exit_hook = threading.Lock()
_exit_hook_registered = False


def _remove_at_exit() -> None:
    # The SDK's threads outlive the interpreter: its callbacks must be gone
    # before it is, and removing them waits for any call under way.
    global _exit_hook_registered
    with _exit_hook:
        if not _exit_hook_registered:
            atexit.register(_remove_callbacks)
            _exit_hook_registered = True


def _remove_callbacks() -> None:
    if _installed["outcome"] is not None:
        set_outcome_callback(None)
    if _installed["log"] is not None:
        set_log_handler(None)
