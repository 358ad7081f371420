"""The Quorvex SDK from Python: trackers, products, application variables and
the delivery of hits, over the SDK's C API (ctypes, nothing compiled).

    import quorvex

    quorvex.install_platform(data_directory="/var/lib/myapp/quorvex",
                             bundle_identifier="com.example.myapp")
    with quorvex.Tracker(410501, 7) as tracker:
        tracker.add_data("page", "home")
        tracker.send()
    quorvex.flush(timeout=2.0)

The shared library is loaded from ``QUORVEX_LIBRARY`` when it is set, else by
the loader's usual search. Every failure of the SDK raises :class:`Error`,
whose ``code`` is one of the ``QX_E_`` constants below.
"""

from ._capi import (QX_E_BAD_URL, QX_E_CORRUPT, QX_E_ENCODING, QX_E_INTERNAL,
                    QX_E_INVALID_ARGUMENT, QX_E_INVALID_HANDLE, QX_E_NO_MEMORY,
                    QX_E_NOT_SUPPORTED, QX_E_STATE, QX_E_TOO_LARGE, Error)
from ._objects import AppVars, Product, Tracker
from ._process import (Counters, DeliveryOptions, Outcome, application_did_enter_background,
                       application_will_enter_foreground, counters, delivery_options,
                       delivery_pause, flush, install_platform, log_threshold,
                       set_delivery_options, set_log_handler, set_log_threshold,
                       set_outcome_callback, version)

__all__ = [
    "AppVars", "Counters", "DeliveryOptions", "Error", "Outcome", "Product", "Tracker",
    "QX_E_BAD_URL", "QX_E_CORRUPT", "QX_E_ENCODING", "QX_E_INTERNAL", "QX_E_INVALID_ARGUMENT",
    "QX_E_INVALID_HANDLE", "QX_E_NO_MEMORY", "QX_E_NOT_SUPPORTED", "QX_E_STATE",
    "QX_E_TOO_LARGE", "application_did_enter_background", "application_will_enter_foreground",
    "counters", "delivery_options", "delivery_pause", "flush", "install_platform",
    "log_threshold", "set_delivery_options", "set_log_handler", "set_log_threshold",
    "set_outcome_callback", "version",
]
