"""Trackers, products and application variables: the SDK's objects in Python.

Each object owns one handle of the C API and frees it with :meth:`close` (or
at the end of a ``with`` block, or when it is collected). A closed object's
calls raise :class:`quorvex.Error` with ``QX_E_INVALID_HANDLE``: the library
itself refuses the handle. Values are ``str`` (sent as UTF-8) or ``bytes``
(which must be UTF-8); values may hold NUL characters, keys that are looked
up may not. Every object may be used from several threads.
"""

from __future__ import annotations

import ctypes
from typing import Iterable, Mapping, Optional, Union

from . import _capi
from ._capi import Error, lib

Text = Union[str, bytes]


def _decoded(value: Optional[bytes]) -> Optional[str]:
    return None if value is None else value.decode("utf-8", "surrogateescape")


class _Handle:
    """One handle of the C API, freed once."""

    _free = staticmethod(lambda handle: None)

    def __init__(self, handle: int) -> None:
        self._handle = handle
        self._closed = False

    def close(self) -> None:
        """Frees the handle; later calls on the object raise Error."""
        if not self._closed:
            self._closed = True
            self._free(self._handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        # At interpreter exit the module's globals may already be gone.
        try:
            self.close()
        except Exception:
            pass


class Product(_Handle):
    """A product: fourteen fixed fields and custom properties, all text.

    ``Product(id="SKU-1", price="59.90", properties={"colour": "red"})``. The
    fixed fields are :data:`FIELDS`; one never set is absent (``None``).
    """

    FIELDS = _capi.PRODUCT_FIELDS
    _free = staticmethod(lib.qx_product_free)

    def __init__(self, properties: Optional[Mapping[Text, Text]] = None,
                 **fields: Text) -> None:
        super().__init__(lib.qx_product_new())
        for field, value in fields.items():
            self.set(field, value)
        for key, value in (properties or {}).items():
            self.set_property(key, value)

    @classmethod
    def _number(cls, field: str) -> int:
        try:
            return cls.FIELDS.index(field)
        except ValueError:
            raise Error(_capi.QX_E_INVALID_ARGUMENT, f"no product field {field!r}") from None

    def set(self, field: str, value: Text) -> None:
        """Sets a fixed field ("id", "name", "price", ...)."""
        encoded = _capi.text(value, "value")
        lib.qx_product_set_n(self._handle, self._number(field), encoded, len(encoded))

    def unset(self, field: str) -> None:
        """Makes a fixed field absent again."""
        lib.qx_product_unset(self._handle, self._number(field))

    def get(self, field: str) -> Optional[str]:
        """A fixed field's value, or None when it is absent."""
        return _decoded(_capi.looked_up(lib.qx_product_get, self._handle, self._number(field)))

    def set_property(self, key: Text, value: Text) -> None:
        """A custom property; under a fixed field's key, it replaces that field."""
        encoded_key = _capi.text(key, "key")
        encoded = _capi.text(value, "value")
        lib.qx_product_set_property_n(self._handle, encoded_key, len(encoded_key), encoded,
                                      len(encoded))

    def remove_property(self, key: Text) -> bool:
        """Removes a custom property; True when it was there."""
        return lib.qx_product_remove_property(self._handle, _capi.key(key)) == 1


class AppVars(_Handle):
    """The application's variables of a hit, merged last into its body.

    ``AppVars({"event": "purchase"})``; ``AppVars(consent=True)`` makes the
    hits executed with it consent hits, which a deactivated tracker still sends.
    """

    CONSENT_HIT_KEY = _capi.QX_CONSENT_HIT_KEY
    _free = staticmethod(lib.qx_app_vars_free)

    def __init__(self, variables: Optional[Mapping[Text, Text]] = None, *,
                 consent: bool = False, _handle: Optional[int] = None) -> None:
        super().__init__(_handle if _handle is not None else lib.qx_app_vars_new())
        for key, value in (variables or {}).items():
            self.add(key, value)
        if consent:
            self.add(self.CONSENT_HIT_KEY, "1")

    def add(self, key: Text, value: Text) -> None:
        encoded_key = _capi.text(key, "key")
        encoded = _capi.text(value, "value")
        lib.qx_app_vars_add_n(self._handle, encoded_key, len(encoded_key), encoded, len(encoded))

    def get(self, key: Text) -> Optional[str]:
        return _decoded(_capi.looked_up(lib.qx_app_vars_get, self._handle, _capi.key(key)))

    def remove(self, key: Text) -> bool:
        """Removes a variable; True when it was there."""
        return lib.qx_app_vars_remove(self._handle, _capi.key(key)) == 1

    def clear(self) -> None:
        lib.qx_app_vars_clear(self._handle)

    def add_products(self, prefix: Text, products: Iterable[Product]) -> None:
        """Flattens the products as prefix[field][i], i from 0."""
        handles = [product._handle for product in products]
        array = (ctypes.c_void_p * len(handles))(*handles)
        lib.qx_app_vars_add_products(self._handle, _capi.key(prefix, "prefix"), array,
                                     len(handles))

    def encode(self) -> bytes:
        """The archive of these variables (its format is in the README)."""
        return _capi.handed_out(lib.qx_app_vars_encode, self._handle)

    @classmethod
    def decode(cls, archive: bytes) -> "AppVars":
        """Variables from an archive; Error with QX_E_CORRUPT or QX_E_NOT_SUPPORTED."""
        handle = ctypes.c_void_p()
        lib.qx_app_vars_decode(bytes(archive), len(archive), ctypes.byref(handle))
        return cls(_handle=handle.value)


class Tracker(_Handle):
    """A tracker of one site and container.

    ``Tracker(410501, 7, url="https://...")``: hits go to ``url`` when given,
    else to the collection URL. Variables added go with the next hit;
    permanent ones with every hit.
    """

    _free = staticmethod(lib.qx_tracker_free)

    def __init__(self, site: int, container: int, url: Optional[str] = None) -> None:
        super().__init__(lib.qx_tracker_new(site, container))
        if url is not None:
            self.url = url

    @property
    def url(self) -> str:
        out = ctypes.c_void_p()
        lib.qx_tracker_get_url(self._handle, ctypes.byref(out))
        try:
            return ctypes.string_at(out.value).decode("utf-8")
        finally:
            lib.qx_free(out)

    @url.setter
    def url(self, url: str) -> None:
        """An http or https URL with a host; Error with QX_E_BAD_URL else."""
        lib.qx_tracker_set_url(self._handle, _capi.key(url, "url"))

    @property
    def site(self) -> int:
        value = ctypes.c_int32()
        lib.qx_tracker_get_site_id(self._handle, ctypes.byref(value))
        return value.value

    @site.setter
    def site(self, site: int) -> None:
        lib.qx_tracker_set_site_id(self._handle, site)

    @property
    def container(self) -> int:
        value = ctypes.c_int32()
        lib.qx_tracker_get_container_id(self._handle, ctypes.byref(value))
        return value.value

    @container.setter
    def container(self, container: int) -> None:
        lib.qx_tracker_set_container_id(self._handle, container)

    def add_data(self, key: Text, value: Text) -> None:
        """A variable of the next hit; ignored while deactivated."""
        encoded_key = _capi.text(key, "key")
        encoded = _capi.text(value, "value")
        lib.qx_tracker_add_data_n(self._handle, encoded_key, len(encoded_key), encoded,
                                  len(encoded))

    def get_data(self, key: Text) -> Optional[str]:
        return _decoded(_capi.looked_up(lib.qx_tracker_get_data, self._handle, _capi.key(key)))

    def remove_data(self, key: Text) -> bool:
        return lib.qx_tracker_remove_data(self._handle, _capi.key(key)) == 1

    def clear_data(self) -> None:
        lib.qx_tracker_clear_data(self._handle)

    def add_product(self, name: Text, product: Product) -> None:
        """Flattens the product as name[field][index]; ignored while deactivated."""
        lib.qx_tracker_add_product(self._handle, _capi.key(name, "name"), product._handle)

    def add_permanent_data(self, key: Text, value: Text) -> None:
        """A variable of every hit of this tracker."""
        encoded_key = _capi.text(key, "key")
        encoded = _capi.text(value, "value")
        lib.qx_tracker_add_permanent_data_n(self._handle, encoded_key, len(encoded_key), encoded,
                                            len(encoded))

    def get_permanent_data(self, key: Text) -> Optional[str]:
        return _decoded(
            _capi.looked_up(lib.qx_tracker_get_permanent_data, self._handle, _capi.key(key)))

    def remove_permanent_data(self, key: Text) -> bool:
        return lib.qx_tracker_remove_permanent_data(self._handle, _capi.key(key)) == 1

    def send(self) -> None:
        """One hit. Returns once it is stored; its delivery goes to the outcome callback."""
        lib.qx_tracker_send(self._handle)

    def execute(self, app_vars: Optional[AppVars] = None) -> None:
        """One hit with the application's variables (merged last)."""
        lib.qx_tracker_execute(self._handle, app_vars._handle if app_vars is not None else None)

    def post_data(self, app_vars: Optional[AppVars] = None) -> str:
        """The body such a hit would carry now, without sending it."""
        body = _capi.handed_out(lib.qx_tracker_post_data, self._handle,
                                app_vars._handle if app_vars is not None else None)
        return body.decode("utf-8", "surrogateescape")

    def activate(self) -> None:
        lib.qx_tracker_activate(self._handle)

    def deactivate(self) -> None:
        """Drops variables and products; only consent hits go out."""
        lib.qx_tracker_deactivate(self._handle)

    @property
    def deactivated(self) -> bool:
        return lib.qx_tracker_is_deactivated(self._handle) == 1

    def enable_running_in_background(self) -> None:
        """Hits go out in background too, for every tracker, for good."""
        lib.qx_tracker_enable_running_in_background(self._handle)
