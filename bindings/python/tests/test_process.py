"""The process-wide parts from Python: delivery options, the log handler and
the application's transitions."""

import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest

import quorvex
from support import Collector, install_platform_once


def setUpModule() -> None:
    install_platform_once()


class DeliveryOptionsTest(unittest.TestCase):
    def test_options_are_read_changed_and_read_back(self) -> None:
        original = quorvex.delivery_options()
        try:
            quorvex.set_delivery_options(max_connections=2, max_queued_hits=500)
            changed = quorvex.delivery_options()
            self.assertEqual((changed.max_connections, changed.max_queued_hits), (2, 500))
            self.assertEqual(changed.request_timeout_ms, original.request_timeout_ms)
        finally:
            quorvex.set_delivery_options(original)
        self.assertEqual(quorvex.delivery_options(), original)


class LogHandlerTest(unittest.TestCase):
    def setUp(self) -> None:
        self.threshold = quorvex.log_threshold()
        quorvex.set_log_threshold(0)

    def tearDown(self) -> None:
        quorvex.set_log_handler(None)
        quorvex.set_log_threshold(self.threshold)

    def test_messages_reach_the_handler_until_it_is_removed(self) -> None:
        heard = []
        quorvex.set_log_handler(lambda level, message: heard.append((level, message)))
        quorvex.Tracker(1, 2).close()
        self.assertTrue(any(level == 2 and "Quorvex Init" in message
                            for level, message in heard), heard)
        quorvex.set_log_handler(None)
        count = len(heard)
        quorvex.set_log_threshold(5)
        quorvex.Tracker(1, 2).close()
        self.assertEqual(len(heard), count)

    def test_an_exception_in_the_handler_is_reported_once(self) -> None:
        def fail(level: int, message: str) -> None:
            raise ValueError("broken handler")

        quorvex.set_log_handler(fail)
        with self.assertLogs("quorvex", "ERROR") as logs:
            quorvex.Tracker(1, 2).close()
            quorvex.Tracker(3, 4).close()
        self.assertEqual(len(logs.records), 1)
        self.assertIn("log handler raised", logs.output[0])
        self.assertIn("broken handler", logs.output[0])

    def test_trackers_used_from_many_threads_with_a_handler_installed(self) -> None:
        heard = []
        quorvex.set_log_threshold(1)
        quorvex.set_log_handler(lambda level, message: heard.append(level))
        errors = []

        def drive(tracker: quorvex.Tracker) -> None:
            try:
                for i in range(200):
                    tracker.add_data(f"k{i % 7}", str(i))
                    tracker.deactivate()
                    tracker.activate()
            except quorvex.Error as error:
                errors.append(error)

        with quorvex.Tracker(1, 2, url="http://127.0.0.1:9/7/") as tracker:
            threads = [threading.Thread(target=drive, args=(tracker,)) for _ in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        self.assertEqual(errors, [])
        self.assertEqual(heard.count(1), 4 * 200 * 2)


class ExitTest(unittest.TestCase):
    def test_a_process_exits_cleanly_while_the_sdk_calls_its_callbacks(self) -> None:
        # The SDK's threads outlive the interpreter; the binding removes the
        # callbacks at exit, waiting for a call under way.
        program = textwrap.dedent("""
            import sys, quorvex
            from support import Collector
            quorvex.install_platform(sys.argv[1], "com.example.exit")
            heard = []
            def slow(outcome):
                heard.append(outcome.result)
                sum(range(20000))
            quorvex.set_outcome_callback(slow)
            quorvex.set_log_handler(lambda level, message: None)
            collector = Collector(hits=100000)
            tracker = quorvex.Tracker(1, 2, url=collector.url)
            for _ in range(400):
                tracker.send()
            while not heard:
                quorvex.flush(timeout=0.05)
            print(len(heard))
            collector.close()
        """)
        environment = dict(os.environ, no_proxy="127.0.0.1",
                           PYTHONPATH=os.pathsep.join(sys.path))
        for _ in range(3):
            with tempfile.TemporaryDirectory() as directory:
                finished = subprocess.run([sys.executable, "-c", program, directory],
                                          env=environment, capture_output=True, timeout=60)
            self.assertEqual(finished.returncode, 0, finished.stderr.decode())
            self.assertGreater(int(finished.stdout), 0)
            self.assertNotIn(b"Fatal", finished.stderr)


class TransitionsTest(unittest.TestCase):
    def test_a_hit_made_in_background_waits_for_the_foreground(self) -> None:
        with Collector(hits=1) as collector, quorvex.Tracker(1, 7, url=collector.url) as tracker:
            quorvex.application_did_enter_background()
            try:
                tracker.add_data("page", "in background")
                tracker.send()
                self.assertFalse(quorvex.flush(timeout=0.3))
                self.assertEqual(quorvex.counters().pending, 1)
            finally:
                quorvex.application_will_enter_foreground()
            self.assertTrue(quorvex.flush(timeout=10))
            (hit,) = collector.hits()
        self.assertEqual(hit["page"], "in background")


if __name__ == "__main__":
    unittest.main()
