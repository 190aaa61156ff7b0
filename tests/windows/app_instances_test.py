#!/usr/bin/env python3
"""Numbering of PX550Updater.exe copies with real processes under Wine: titles, reuse of a freed
number, a name taken by another kind of object, the refusal of a 21st copy; and the About box of
a numbered copy, opened from its system menu."""
import argparse
import os
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import wine_gui  # noqa: E402
from wine_gui import wait_until  # noqa: E402

TITLE = "TARN PX-550LN System v1.30 Updater"
WM_COMMAND = 0x0111
IDOK, IDCANCEL = 1, 2
ID_VERSION_EDIT = 1003
ES_READONLY = 0x0800

ARGS = None


def title(number):
    return TITLE if number == 1 else f"{TITLE} ({number})"


class InstanceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        wine_gui.start_session(cls, ARGS.work, ARGS.probe)()

    def setUp(self):
        self.copies = {}

    def tearDown(self):
        self.probe.ask("release")
        for process, _ in self.copies.values():
            self.wine.end(process)
        wait_until(lambda: not self.updater_windows(), what="every copy to go")

    def updater_windows(self):
        return [w for w in self.probe.windows() if w["title"].startswith(TITLE)]

    def start(self, expected_number):
        """Starts one more copy and waits for its window, titled with the expected number."""
        process = self.wine.start(ARGS.exe)
        window = self.probe.wait_window(title(expected_number), cls="#32770")
        self.copies[expected_number] = (process, window["hwnd"])
        return window

    def close(self, number):
        process, hwnd = self.copies.pop(number)
        self.probe.click(hwnd, IDCANCEL)
        self.probe.wait_gone(hwnd)
        process.wait(timeout=wine_gui.EVENT_DEADLINE)

    def titles(self):
        return sorted(w["title"] for w in self.updater_windows())

    def test_numbers_and_reuse(self):
        first = self.start(1)
        second = self.start(2)
        self.assertNotEqual(first["pid"], second["pid"])
        self.close(1)
        self.start(1)
        self.assertEqual(self.titles(), [title(1), title(2)])

    def test_name_held_by_another_kind_of_object(self):
        self.assertTrue(self.probe.ask(f"hold-event {TITLE}"))
        self.start(2)  # waits for its window
        self.assertEqual(self.titles(), [title(2)])

    def test_twenty_first_copy_is_refused(self):
        for number in range(1, 21):
            self.start(number)
        process = self.wine.start(ARGS.exe)
        box, text, buttons, icon = self.probe.message_box("PX550Updater")
        self.assertEqual(text, "It is forbidden to launch more than 20 instance of this "
                               "application.")
        self.assertEqual(buttons, ["OK"])
        self.assertTrue(icon)
        self.assertEqual(len(self.updater_windows()), 20, "the refused copy opened a window")

        # With every numbered copy gone, a mutex that still exists would be one the refused
        # copy kept.
        for number in list(self.copies):
            self.close(number)
        self.assertIsNotNone(self.probe.window("PX550Updater"), "the refusal went away")
        kept = [n for n in range(1, 21) if self.probe.ask(f"mutex-exists {title(n)}")]
        self.assertEqual(kept, [], "mutexes kept by the refused copy")
        self.probe.post(box["hwnd"], WM_COMMAND, IDOK)
        process.wait(timeout=wine_gui.EVENT_DEADLINE)
        self.assertEqual(self.updater_windows(), [])

    def test_third_copy_and_its_about_box(self):
        for number in (1, 2):
            self.start(number)
        third = self.start(3)
        # Screenshots only: Wine paints a new window a moment after the probe can see it.
        time.sleep(0.3)
        # The About entry is the last of the system menu: Alt+Space, Up to it, Enter.
        self.xvfb.focus(title(3))
        self.xvfb.keys("alt+space")
        time.sleep(0.5)  # the menu has to be painted for the screenshot
        self.xvfb.screenshot(os.path.join(self.shots, "system-menu.png"))
        self.xvfb.keys("Up", "Return")
        about = self.probe.wait_window("About PX-550LN Updater", cls="#32770")
        self.assertEqual(about["owner"], third["hwnd"])
        edit = self.probe.control(about["hwnd"], ID_VERSION_EDIT)
        self.assertEqual(self.probe.ask(f"text {edit['hwnd']}"), TITLE)
        self.assertTrue(edit["style"] & ES_READONLY, "the title can be copied, not changed")
        time.sleep(0.3)  # painting, for the screenshot
        self.xvfb.screenshot(os.path.join(self.shots, "about-box.png"))
        self.probe.post(about["hwnd"], WM_COMMAND, IDOK)
        self.probe.wait_gone(about["hwnd"])
        self.assertEqual(self.titles(), [title(1), title(2), title(3)])


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="PX550Updater.exe")
    parser.add_argument("--probe", required=True, help="app_probe.exe")
    parser.add_argument("--work", required=True, help="folder for the prefix and the shots")
    ARGS, rest = parser.parse_known_args()
    for name in ("exe", "probe", "work"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
