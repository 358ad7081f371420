"""Hits made from Python, as `quorvex collect` received them."""

import threading
import unittest

import quorvex
from support import Collector, install_platform_once


def setUpModule() -> None:
    install_platform_once()


class HitsTest(unittest.TestCase):
    def test_variables_permanent_data_and_app_vars_reach_the_collector(self) -> None:
        with Collector(hits=2) as collector, quorvex.Tracker(410501, 7,
                                                             url=collector.url) as tracker:
            tracker.add_data("page", "home")
            tracker.add_data("nul", "a\0b")
            tracker.add_data("gone", "soon")
            self.assertTrue(tracker.remove_data("gone"))
            self.assertFalse(tracker.remove_data("gone"))
            self.assertEqual(tracker.get_data("nul"), "a\0b")
            self.assertIsNone(tracker.get_data("absent"))
            tracker.add_permanent_data("user_id", "42")
            self.assertEqual(tracker.get_permanent_data("user_id"), "42")
            self.assertIn("page=home", tracker.post_data())
            tracker.execute(quorvex.AppVars({"event": "purchase", "price": "9 €"}))
            tracker.send()
            self.assertTrue(quorvex.flush(timeout=10))
            first, second = collector.hits()
        self.assertEqual(first["page"], "home")
        self.assertEqual(first["nul"], "a\\x00b")
        self.assertNotIn("gone", first)
        self.assertEqual(first["event"], "purchase")
        self.assertEqual(first["price"], "9 €")
        self.assertEqual(first["user_id"], "42")
        self.assertEqual(first["QX_SCREEN"], "390x844")
        self.assertEqual(first["QX_LANGUAGE"], "fr_FR")
        self.assertEqual(first["QX_BUNDLE_IDENTIFIER"], "com.example.python")
        self.assertEqual(first["QX_APPLICATION_VERSION"], "2.3.0")
        self.assertEqual(second["user_id"], "42")
        self.assertNotIn("page", second)

    def test_products_are_flattened_with_every_field(self) -> None:
        fields = {name: f"value {i}" for i, name in enumerate(quorvex.Product.FIELDS)}
        keys = ["product_id", "product_name", "product_quantity", "product_category",
                "product_price", "product_unit_price_ati", "product_unit_discount_ati",
                "product_unit_price_tf", "product_unit_discount_tf", "product_trademark",
                "product_url_page", "product_url_picture", "product_rating", "product_in_stock"]
        with Collector(hits=1) as collector, quorvex.Tracker(1, 7, url=collector.url) as tracker:
            shoe = quorvex.Product(properties={"colour": "red"}, **fields)
            sock = quorvex.Product(id="SKU-2", name="sock")
            sock.unset("name")
            self.assertIsNone(sock.get("name"))
            self.assertEqual(shoe.get("price"), "value 4")
            tracker.add_product("basket", shoe)
            tracker.add_product("basket", sock)
            cart = quorvex.AppVars()
            cart.add_products("cart", [sock, shoe])
            tracker.execute(cart)
            self.assertTrue(quorvex.flush(timeout=10))
            (hit,) = collector.hits()
        for i, key in enumerate(keys):
            self.assertEqual(hit[f"basket[{key}][0]"], f"value {i}")
        self.assertEqual(hit["basket[colour][0]"], "red")
        self.assertEqual(hit["basket[product_id][1]"], "SKU-2")
        self.assertNotIn("basket[product_name][1]", hit)
        self.assertEqual(hit["cart[product_id][0]"], "SKU-2")
        self.assertEqual(hit["cart[product_id][1]"], "value 0")

    def test_a_deactivated_tracker_sends_consent_hits_only(self) -> None:
        before = quorvex.counters()
        with Collector(hits=2) as collector, quorvex.Tracker(1, 7, url=collector.url) as tracker:
            tracker.deactivate()
            self.assertTrue(tracker.deactivated)
            tracker.add_data("page", "dropped")
            tracker.send()
            tracker.execute(quorvex.AppVars({"choice": "opt-out"}, consent=True))
            tracker.activate()
            tracker.add_data("page", "after")
            tracker.send()
            self.assertTrue(quorvex.flush(timeout=10))
            consent, after = collector.hits()
        # A hit's field names lose their "#".
        self.assertEqual(consent["CONSENT_HIT"], "1")
        self.assertEqual(consent["choice"], "opt-out")
        self.assertNotIn("page", consent)
        self.assertEqual(after["page"], "after")
        now = quorvex.counters()
        self.assertEqual(now.queued - before.queued, 2)
        self.assertEqual(now.sent - before.sent, 2)

    def test_outcomes_reach_the_callback_and_the_counters(self) -> None:
        heard = []
        lock = threading.Lock()

        def hear(outcome: quorvex.Outcome) -> None:
            with lock:
                heard.append((outcome, threading.current_thread().name))

        before = quorvex.counters()
        with Collector(hits=2) as taking, Collector(hits=1, status=404) as refusing, \
                quorvex.Tracker(1, 7, url=taking.url) as good, \
                quorvex.Tracker(1, 7, url=refusing.url) as bad:
            quorvex.set_outcome_callback(hear)
            try:
                good.send()
                good.send()
                bad.send()
                self.assertTrue(quorvex.flush(timeout=10))
            finally:
                quorvex.set_outcome_callback(None)
            self.assertEqual(len(taking.hits()), 2)
            self.assertEqual(len(refusing.hits()), 1)
        results = sorted(outcome.result for outcome, _ in heard)
        self.assertEqual(results, ["delivered", "delivered", "dropped"])
        for outcome, thread in heard:
            self.assertEqual(outcome.attempt, 1)
            self.assertTrue(outcome.hit_identifier)
            self.assertNotEqual(thread, threading.main_thread().name)
            if outcome.result == "dropped":
                self.assertEqual((outcome.http_status, outcome.url), (404, refusing.url))
                self.assertTrue(outcome.reason)
            else:
                self.assertEqual((outcome.http_status, outcome.url), (200, taking.url))
        now = quorvex.counters()
        self.assertEqual((now.sent - before.sent, now.dropped - before.dropped), (2, 1))
        self.assertEqual(now.pending, 0)

    def test_an_exception_in_the_outcome_callback_is_reported_and_delivery_goes_on(self) -> None:
        calls = []

        def fail(outcome: quorvex.Outcome) -> None:
            calls.append(outcome.result)
            raise RuntimeError("the host's bug")

        with Collector(hits=2) as collector, quorvex.Tracker(1, 7, url=collector.url) as tracker:
            quorvex.set_outcome_callback(fail)
            try:
                with self.assertLogs("quorvex", "ERROR") as logs:
                    tracker.send()
                    tracker.send()
                    self.assertTrue(quorvex.flush(timeout=10))
            finally:
                quorvex.set_outcome_callback(None)
            self.assertEqual(len(collector.hits()), 2)
        self.assertEqual(calls, ["delivered", "delivered"])
        self.assertEqual(len(logs.records), 1)
        self.assertIn("outcome callback raised", logs.output[0])
        self.assertIn("the host's bug", logs.output[0])


if __name__ == "__main__":
    unittest.main()
