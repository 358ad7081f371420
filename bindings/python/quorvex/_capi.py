"""The C API as ctypes sees it: quorvex.h mirrored, every prototype declared once.

Nothing here is for the host: the classes of the package are. Every function
that answers a result code raises :class:`Error` for a negative one, with the
code and the message that the library gave on the calling thread.

The library is loaded from ``QUORVEX_LIBRARY`` when it is set, else by the
loader's usual search (``ldconfig``'s cache, ``LD_LIBRARY_PATH``).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char_p, c_double, c_int, c_int32,
                    c_int64, c_size_t, c_uint64, c_void_p)
from typing import Any, Callable, Optional

SUPPORTED_MAJOR = 4

# Result codes.
QX_OK = 0
QX_E_INVALID_ARGUMENT = -1
QX_E_INVALID_HANDLE = -2
QX_E_ENCODING = -3
QX_E_TOO_LARGE = -4
QX_E_NO_MEMORY = -5
QX_E_BAD_URL = -6
QX_E_STATE = -7
QX_E_CORRUPT = -8
QX_E_NOT_SUPPORTED = -9
QX_E_INTERNAL = -10

QX_PAUSE_NONE, QX_PAUSE_OFFLINE, QX_PAUSE_BACKGROUND = 0, 1, 2
QX_OUTCOME_DELIVERED, QX_OUTCOME_RETRYING, QX_OUTCOME_DROPPED = 0, 1, 2
QX_CONSENT_HIT_KEY = "#CONSENT_HIT#"

# The product fields, in the order of their QX_PRODUCT_ numbers.
PRODUCT_FIELDS = ("id", "name", "quantity", "category", "price", "price_ati", "discount_ati",
                  "price_tf", "discount_tf", "trademark", "url_page", "url_picture", "rating",
                  "in_stock")


class Error(Exception):
    """A call of the SDK failed: ``code`` is the QX_E_ code, ``message`` why."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"{message} ({code})" if message else str(code))
        self.code = code
        self.message = message


class KeyValue(Structure):
    _fields_ = [("key", c_char_p), ("value", c_char_p)]


class PlatformOptions(Structure):
    _fields_ = [("size", c_size_t), ("data_directory", c_char_p),
                ("bundle_identifier", c_char_p), ("locale_identifier", c_char_p),
                ("info_dictionary", POINTER(KeyValue)), ("info_dictionary_count", c_size_t),
                ("has_screen", c_int), ("screen_width", c_double), ("screen_height", c_double)]


class DeliveryOptions(Structure):
    _fields_ = [("size", c_size_t), ("connect_timeout_ms", c_int64),
                ("request_timeout_ms", c_int64), ("max_queued_hits", c_uint64),
                ("max_queued_bytes", c_uint64), ("max_hit_age_s", c_int64),
                ("max_connections", c_int32), ("parallel_backlog", c_uint64),
                ("initial_retry_delay_ms", c_int64), ("max_retry_delay_ms", c_int64),
                ("max_retry_after_ms", c_int64), ("reachability_interval_ms", c_int64),
                ("exit_timeout_ms", c_int64), ("max_hit_bytes", c_uint64)]


class DeliveryCounters(Structure):
    _fields_ = [("size", c_size_t), ("queued", c_uint64), ("sent", c_uint64),
                ("retried", c_uint64), ("dropped", c_uint64), ("pending", c_uint64)]


class HitOutcome(Structure):
    _fields_ = [("size", c_size_t), ("result", c_int), ("http_status", c_int),
                ("attempt", c_int), ("retry_delay_ms", c_int64), ("hit_identifier", c_char_p),
                ("url", c_char_p), ("reason", c_char_p)]


OUTCOME_CALLBACK = CFUNCTYPE(None, POINTER(HitOutcome), c_void_p)
LOG_SINK = CFUNCTYPE(None, c_int, POINTER(ctypes.c_char), c_size_t, c_void_p)


def _load() -> ctypes.CDLL:
    path = os.environ.get("QUORVEX_LIBRARY") or ctypes.util.find_library("quorvex")
    # CDLL, not PyDLL: the interpreter's lock is released during each call,
    # so that the SDK's threads can run Python callbacks meanwhile.
    try:
        return ctypes.CDLL(path or "libquorvex.so")
    except OSError as error:
        raise ImportError(f"the Quorvex library cannot be loaded ({error}); set "
                          "QUORVEX_LIBRARY to its path") from error


lib = _load()


def _raise_for_code(result: int, function: Any, arguments: tuple) -> int:
    if result < 0:
        raise Error(result, lib.qx_last_error().decode("utf-8", "replace"))
    return result


def _raise_for_null(result: Optional[int], function: Any, arguments: tuple) -> int:
    if not result:
        raise Error(lib.qx_last_error_code() or QX_E_INTERNAL,
                    lib.qx_last_error().decode("utf-8", "replace"))
    return result


def _declare(name: str, restype: Any, *argtypes: Any,
             errcheck: Optional[Callable[..., Any]] = None) -> None:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    if errcheck is not None:
        function.errcheck = errcheck


def _result(name: str, *argtypes: Any) -> None:
    _declare(name, c_int, *argtypes, errcheck=_raise_for_code)


_size = POINTER(c_size_t)
_text_out = POINTER(c_void_p)

_declare("qx_last_error", c_char_p)
_declare("qx_last_error_code", c_int)
_declare("qx_strerror", c_char_p, c_int)
_declare("qx_version", c_char_p)
_declare("qx_free", None, c_void_p)

_result("qx_platform_install_linux", c_char_p, c_char_p)
_result("qx_platform_install_linux_options", POINTER(PlatformOptions))
_result("qx_application_did_enter_background")
_result("qx_application_will_enter_foreground")

_declare("qx_product_new", c_void_p, errcheck=_raise_for_null)
_declare("qx_product_free", None, c_void_p)
_result("qx_product_set_n", c_void_p, c_int, c_char_p, c_size_t)
_result("qx_product_unset", c_void_p, c_int)
_result("qx_product_get", c_void_p, c_int, _text_out, _size)
_result("qx_product_set_property_n", c_void_p, c_char_p, c_size_t, c_char_p, c_size_t)
_result("qx_product_remove_property", c_void_p, c_char_p)

_declare("qx_app_vars_new", c_void_p, errcheck=_raise_for_null)
_declare("qx_app_vars_free", None, c_void_p)
_result("qx_app_vars_add_n", c_void_p, c_char_p, c_size_t, c_char_p, c_size_t)
_result("qx_app_vars_get", c_void_p, c_char_p, _text_out, _size)
_result("qx_app_vars_remove", c_void_p, c_char_p)
_result("qx_app_vars_clear", c_void_p)
_result("qx_app_vars_add_products", c_void_p, c_char_p, POINTER(c_void_p), c_size_t)
_result("qx_app_vars_encode", c_void_p, _text_out, _size)
_result("qx_app_vars_decode", c_char_p, c_size_t, POINTER(c_void_p))

_declare("qx_tracker_new", c_void_p, c_int32, c_int32, errcheck=_raise_for_null)
_declare("qx_tracker_free", None, c_void_p)
_result("qx_tracker_set_url", c_void_p, c_char_p)
_result("qx_tracker_get_url", c_void_p, _text_out)
_result("qx_tracker_get_site_id", c_void_p, POINTER(c_int32))
_result("qx_tracker_set_site_id", c_void_p, c_int32)
_result("qx_tracker_get_container_id", c_void_p, POINTER(c_int32))
_result("qx_tracker_set_container_id", c_void_p, c_int32)
_result("qx_tracker_add_data_n", c_void_p, c_char_p, c_size_t, c_char_p, c_size_t)
_result("qx_tracker_get_data", c_void_p, c_char_p, _text_out, _size)
_result("qx_tracker_remove_data", c_void_p, c_char_p)
_result("qx_tracker_clear_data", c_void_p)
_result("qx_tracker_add_product", c_void_p, c_char_p, c_void_p)
_result("qx_tracker_add_permanent_data_n", c_void_p, c_char_p, c_size_t, c_char_p, c_size_t)
_result("qx_tracker_get_permanent_data", c_void_p, c_char_p, _text_out, _size)
_result("qx_tracker_remove_permanent_data", c_void_p, c_char_p)
_result("qx_tracker_send", c_void_p)
_result("qx_tracker_execute", c_void_p, c_void_p)
_result("qx_tracker_post_data", c_void_p, c_void_p, _text_out, _size)
_result("qx_tracker_activate", c_void_p)
_result("qx_tracker_deactivate", c_void_p)
_result("qx_tracker_is_deactivated", c_void_p)
_result("qx_tracker_enable_running_in_background", c_void_p)

_result("qx_delivery_get_options", POINTER(DeliveryOptions))
_result("qx_delivery_set_options", POINTER(DeliveryOptions))
_result("qx_delivery_get_counters", POINTER(DeliveryCounters))
_result("qx_delivery_pause")
_result("qx_flush", c_int64)
_result("qx_set_outcome_callback", OUTCOME_CALLBACK, c_void_p)

_result("qx_log_set_threshold", c_int)
_result("qx_log_threshold")
_result("qx_log_set_sink", LOG_SINK, c_void_p)

_version = lib.qx_version().decode()
if int(_version.split(".")[0]) != SUPPORTED_MAJOR:
    raise ImportError(f"the Quorvex library is version {_version}; this binding wants "
                      f"{SUPPORTED_MAJOR}.x")


def text(value: "str | bytes", what: str) -> bytes:
    """A value as the C API takes it: UTF-8 bytes (bytes are passed as they are)."""
    if isinstance(value, bytes):
        return value
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError as error:
        raise Error(QX_E_ENCODING, f"{what} is not UTF-8 ({error.reason})") from None


def key(value: "str | bytes", what: str = "key") -> bytes:
    """A key for the look-ups, whose C functions take NUL-terminated text."""
    encoded = text(value, what)
    if b"\0" in encoded:
        raise Error(QX_E_INVALID_ARGUMENT, f"{what} holds a NUL byte")
    return encoded


def looked_up(call: Callable[..., int], *arguments: Any) -> Optional[bytes]:
    """Calls a C look-up that answers 1 with a string it hands out, or 0."""
    out = c_void_p()
    length = c_size_t()
    if call(*arguments, ctypes.byref(out), ctypes.byref(length)) == 0:
        return None
    return _taken(out, length.value)


def handed_out(call: Callable[..., int], *arguments: Any) -> bytes:
    """Calls a C function that hands out a string and its length."""
    out = c_void_p()
    length = c_size_t()
    call(*arguments, ctypes.byref(out), ctypes.byref(length))
    return _taken(out, length.value)


def _taken(out: c_void_p, length: int) -> bytes:
    try:
        return ctypes.string_at(out.value, length)
    finally:
        lib.qx_free(out)
