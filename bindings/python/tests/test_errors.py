"""Bad input from Python: every failure is a quorvex.Error with its code."""

import unittest

import quorvex
from support import install_platform_once


def setUpModule() -> None:
    install_platform_once()


class ErrorsTest(unittest.TestCase):
    def assertFails(self, code: int, call, *arguments, **keywords) -> quorvex.Error:
        with self.assertRaises(quorvex.Error) as raised:
            call(*arguments, **keywords)
        self.assertEqual(raised.exception.code, code, raised.exception)
        return raised.exception

    def test_closed_objects_are_refused_by_the_library(self) -> None:
        tracker = quorvex.Tracker(1, 2)
        product = quorvex.Product(id="SKU-1")
        app_vars = quorvex.AppVars({"a": "b"})
        tracker.close()
        product.close()
        app_vars.close()
        tracker.close()  # a second close does nothing
        with quorvex.Tracker(1, 2) as live:
            for call, arguments in [(tracker.send, ()), (tracker.add_data, ("k", "v")),
                                    (product.set, ("name", "x")), (app_vars.get, ("a",)),
                                    (live.add_product, ("basket", product)),
                                    (live.execute, (app_vars,))]:
                error = self.assertFails(quorvex.QX_E_INVALID_HANDLE, call, *arguments)
                self.assertIn("not a live handle", error.message)

    def test_text_that_is_not_utf8_is_refused(self) -> None:
        with quorvex.Tracker(1, 2) as tracker, quorvex.AppVars() as app_vars:
            for bad in [b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"caf\xe9",
                        "lone \udc80 surrogate"]:
                self.assertFails(quorvex.QX_E_ENCODING, tracker.add_data, "k", bad)
                self.assertFails(quorvex.QX_E_ENCODING, tracker.add_data, bad, "v")
                self.assertFails(quorvex.QX_E_ENCODING, tracker.add_permanent_data, "k", bad)
                self.assertFails(quorvex.QX_E_ENCODING, app_vars.add, "k", bad)
            self.assertIsNone(tracker.get_data("k"))
            tracker.add_data("k", "caf\u00e9 \u20ac \U0001F600".encode())
            self.assertEqual(tracker.get_data("k"), "caf\u00e9 \u20ac \U0001F600")

    def test_bad_urls_are_refused_and_the_last_good_one_stays(self) -> None:
        with quorvex.Tracker(1, 2, url="http://127.0.0.1:9/7/") as tracker:
            for bad in ["ftp://example.com/", "not a url", "http://", "", "file:///etc/passwd"]:
                self.assertFails(quorvex.QX_E_BAD_URL, setattr, tracker, "url", bad)
            self.assertEqual(tracker.url, "http://127.0.0.1:9/7/")
        self.assertFails(quorvex.QX_E_BAD_URL, quorvex.Tracker, 1, 2, "mailto:a@b")

    def test_missing_and_out_of_range_arguments(self) -> None:
        with quorvex.Tracker(1, 2) as tracker, quorvex.Product() as product:
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, product.set, "colour", "red")
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, tracker.add_product, "", product)
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, tracker.get_data, "a\0b")
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, quorvex.flush, -1)
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, quorvex.set_log_threshold, 9)
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, quorvex.set_delivery_options,
                             max_connections=0)
            self.assertFails(quorvex.QX_E_INVALID_ARGUMENT, quorvex.set_delivery_options,
                             no_such_option=1)
            with self.assertRaises(TypeError):
                tracker.add_data("k", None)

    def test_huge_values_are_refused(self) -> None:
        with quorvex.Tracker(1, 2) as tracker:
            self.assertFails(quorvex.QX_E_TOO_LARGE, tracker.add_data, "k",
                             b"a" * (64 * 1024 * 1024 + 1))
            self.assertIsNone(tracker.get_data("k"))

    def test_archives_round_trip_and_damage_is_refused(self) -> None:
        original = quorvex.AppVars({"screen": "checkout", "nul": "x\0y"})
        archive = original.encode()
        restored = quorvex.AppVars.decode(archive)
        self.assertEqual(restored.get("screen"), "checkout")
        self.assertEqual(restored.get("nul"), "x\0y")
        damaged = archive[:-1] + bytes([archive[-1] ^ 1])
        self.assertFails(quorvex.QX_E_CORRUPT, quorvex.AppVars.decode, damaged)
        self.assertFails(quorvex.QX_E_CORRUPT, quorvex.AppVars.decode, archive[:10])

    def test_the_platform_cannot_be_installed_once_the_sdk_has_started(self) -> None:
        with quorvex.Tracker(1, 2):
            pass
        self.assertFails(quorvex.QX_E_STATE, quorvex.install_platform, None, "com.example.late")


if __name__ == "__main__":
    unittest.main()
