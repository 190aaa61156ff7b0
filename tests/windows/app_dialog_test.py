#!/usr/bin/env python3
"""PX550Updater.exe driven end to end under Wine on a private X display, against the virtual
pedal (px550-sim) on a pty that a registered COM port leads to. The cases run in order in one
Wine prefix of their own: first with no ports at all, then with four registered ports."""
import argparse
import json
import os
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
import wine_gui  # noqa: E402
from wine_gui import EVENT_DEADLINE, TestFailure, wait_until  # noqa: E402

TITLE = "TARN PX-550LN System v1.30 Updater"
APP_CAPTION = "PX-550LN Updater"
WM_COMMAND = 0x0111
PBM_GETPOS = 0x0408
IDOK, IDCANCEL = 1, 2
ID_COMBO, ID_PROGRESS, ID_RESCAN = 1007, 1002, 1004

# Listed by discovery in port order; the Bluetooth port is neither first nor the only one, and
# its name is lower case as some drivers store it.
PORTS = [
    ("COM3", "USB Serial Device (COM3)"),
    ("com7", "Standard Serial over Bluetooth link (com7)"),
    ("COM1", "Communications Port (COM1)"),
    ("COM12", "Bluetooth Link (COM12)"),
]
LISTED = [
    "COM1:Communications Port (COM1)",
    "COM3:USB Serial Device (COM3)",
    "com7:Standard Serial over Bluetooth link (com7)",
    "COM12:Bluetooth Link (COM12)",
]
PEDAL_PORT = "com7"

# A paired Bluetooth device's two ports as Windows registers them: the PC's own incoming
# service (address all zeros) and the port that calls the device.
INCOMING_ID = ("BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000"
               "\\7&2C3B4A5D&0&000000000000_00000000")
OUTGOING_ID = ("BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002"
               "\\7&2C3B4A5D&0&B0F1ECE31BAA_C00000000")

# What this harness may need on a loaded machine to see an event that has happened (a process
# end reaching its parent through Wine).
HARNESS_SLACK = 2

ARGS = None


class Pedal:
    """One px550-sim on a fresh pty, serving one update, reached through PEDAL_PORT."""

    def __init__(self, test, name, *options, port=PEDAL_PORT):
        self.report_path = os.path.join(ARGS.work, f"{name}-report.json")
        self.log_path = os.path.join(ARGS.work, f"{name}-sim.log")
        link = os.path.join(ARGS.work, f"{name}-pty")
        for path in (self.report_path, link):
            if os.path.lexists(path):
                os.remove(path)
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [ARGS.sim, "--pty", "--link", link, "--once", "--report", self.report_path,
             "--expect-image", ARGS.firmware, *options],
            stdout=self.log, stderr=subprocess.STDOUT)
        wait_until(lambda: os.path.lexists(link) or self.process.poll() is not None,
                   what="the pedal's pty")
        if self.process.poll() is not None:
            raise TestFailure(f"px550-sim ended at once; see {self.log_path}")
        self.tty = os.path.realpath(link)
        test.wine.link_com_port(port, self.tty)

    def report(self, timeout=EVENT_DEADLINE):
        """Waits for the pedal to end (the updater closing the line ends it) and reads its
        report."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait()
            raise TestFailure(f"px550-sim did not end; see {self.log_path}")
        finally:
            self.log.close()
        with open(self.report_path) as f:
            return json.load(f)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        if not self.log.closed:
            self.log.close()


class DialogTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(ARGS.sim, os.X_OK):
            raise TestFailure(f"no native px550-sim at {ARGS.sim}: build the linux-debug preset "
                              "first, or set PX_NATIVE_TOOLS_DIR")
        if not os.path.isfile(ARGS.slow_open):
            raise TestFailure(f"no {ARGS.slow_open}: build the linux-debug preset first")
        start_probe = wine_gui.start_session(cls, ARGS.work, ARGS.probe)
        cls.wine.run(ARGS.register, "clear")
        start_probe()

    def setUp(self):
        self.updaters = []

    def tearDown(self):
        # A failed case may leave its copy open; the next case wants to be copy 1 again.
        for process in self.updaters:
            self.wine.end(process)
        wait_until(lambda: self.probe.window(TITLE) is None, what="the updater to go")

    # Helpers

    def start_updater(self, title=TITLE, extra_env=None):
        process = self.wine.start(ARGS.exe, extra_env=extra_env)
        self.updaters.append(process)
        window = self.probe.wait_window(title, cls="#32770")
        # The title shows once the dialog is initialised; screenshots want it painted too.
        time.sleep(0.3)
        return process, window["hwnd"]

    def states(self, dialog):
        return {c["id"]: c["enabled"] for c in self.probe.controls(dialog)}

    def position(self, dialog):
        bar = self.probe.control(dialog, ID_PROGRESS)
        return int(self.probe.send(bar["hwnd"], PBM_GETPOS))

    def combo(self, dialog):
        return self.probe.combo(self.probe.control(dialog, ID_COMBO)["hwnd"])

    def press(self, box, button):
        self.probe.post(box["hwnd"], WM_COMMAND, button)
        self.probe.wait_gone(box["hwnd"])

    def click_with_mouse(self, dialog, control_id):
        left, top, right, bottom = self.probe.control(dialog, control_id)["rect"]
        self.xvfb.click((left + right) // 2, (top + bottom) // 2)

    def exit_without_question(self, process, dialog):
        self.probe.click(dialog, IDCANCEL)
        self.probe.wait_gone(dialog)
        self.assertEqual(process.wait(timeout=EVENT_DEADLINE), 0, "the updater did not end cleanly")
        self.assertIsNone(self.probe.window(APP_CAPTION), "a box came up on Exit")

    def expect_controls(self, dialog, enabled):
        states = self.states(dialog)
        for control_id in (ID_COMBO, IDOK, ID_RESCAN):
            self.assertEqual(states[control_id], enabled, f"control {control_id}")
        self.assertTrue(states[IDCANCEL], "Exit is always enabled")

    def register_ports(self):
        if getattr(DialogTest, "registered", False):
            return
        for name, friendly in PORTS:
            self.wine.run(ARGS.register, "add", name, friendly)
        DialogTest.registered = True

    def slow_open(self, pedal, name, ms):
        """The environment that makes the pedal's port take ms to open, and the two files that
        say when the opening began and when it was over."""
        mark = os.path.join(ARGS.work, f"{name}-open")
        begun, over = mark + ".begun", mark + ".over"
        for path in (begun, over):
            if os.path.exists(path):
                os.remove(path)
        env = {"LD_PRELOAD": ARGS.slow_open, "PX_SLOW_TTY": pedal.tty,
               "PX_SLOW_OPEN_MS": str(ms), "PX_SLOW_OPEN_MARK": mark}
        return env, begun, over

    # Cases, in order

    def test_1_no_ports(self):
        process, dialog = self.start_updater()
        controls = self.probe.controls(dialog)
        self.assertEqual([(c["id"], c["class"], c["text"]) for c in controls], [
            (IDOK, "Button", "Execute"),
            (IDCANCEL, "Button", "Exit"),
            (-1, "Static", "COMPort"),
            (ID_COMBO, "ComboBox", ""),
            (ID_PROGRESS, "msctls_progress32", ""),
            (ID_RESCAN, "Button", "Rescan COMPort"),
        ], "controls in tab order")
        self.assertEqual(self.combo(dialog), {"count": 0, "selection": -1, "items": []})
        states = self.states(dialog)
        self.assertFalse(states[IDOK], "Execute with an empty list")
        self.assertTrue(states[ID_RESCAN])
        self.assertTrue(states[ID_COMBO])
        self.assertEqual(self.position(dialog), 0)

        # A rescan that still finds nothing leaves Execute off; one after a port came finds it.
        # Sent, not posted: the rescan is over when the message returns.
        self.probe.send(dialog, WM_COMMAND, ID_RESCAN)
        self.assertFalse(self.states(dialog)[IDOK])
        self.register_ports()
        self.probe.send(dialog, WM_COMMAND, ID_RESCAN)
        self.assertTrue(self.states(dialog)[IDOK], "Execute enabled after a rescan")
        self.assertEqual(self.combo(dialog)["selection"], 2)
        self.exit_without_question(process, dialog)

    def test_2_update_completes(self):
        self.register_ports()
        pedal = Pedal(self, "complete", "--variant", "1",
                      "--expect-file", f"LINESEL.TDL={ARGS.module}",
                      "--baud", "1000000", "--erase-ms", "2500")
        try:
            process, dialog = self.start_updater()
            combo = self.combo(dialog)
            self.assertEqual(combo["items"], LISTED)
            self.assertEqual(combo["selection"], 2, "the first Bluetooth port is preselected")
            self.xvfb.screenshot(os.path.join(self.shots, "main-idle.png"))

            self.click_with_mouse(dialog, IDOK)
            wait_until(lambda: not self.states(dialog)[IDOK], what="the run to start")
            self.expect_controls(dialog, False)

            # Exit during the run: Cancel keeps it going.
            wait_until(lambda: self.position(dialog) >= 5, what="the bar to move")
            self.probe.click(dialog, IDCANCEL)
            box, text, buttons, icon = self.probe.message_box(APP_CAPTION)
            self.assertEqual(text, "Now updating. Are you sure?")
            self.assertEqual(buttons, ["OK", "Cancel"])
            self.assertTrue(icon)
            self.press(box, IDCANCEL)
            self.assertIsNotNone(self.probe.window(TITLE), "Cancel closed the dialog")

            # The bar as often as the probe can read it until the completion box: how many
            # readings fit in the run is the machine's business, so only their order is checked,
            # and that the flash part was seen under way (it takes seconds at this line speed).
            positions = []
            shot_taken = False

            def sample():
                positions.append(self.position(dialog))
                nonlocal shot_taken
                if not shot_taken and 40 <= positions[-1] <= 80:
                    self.xvfb.screenshot(os.path.join(self.shots, "main-updating.png"))
                    shot_taken = True
                return self.probe.window(APP_CAPTION) is not None

            wait_until(sample, 120, "the completion box", interval=0.1)
            moving = sorted(set(p for p in positions if 0 < p < 100))
            self.assertTrue(any(5 < p < 100 for p in moving), f"the bar never moved: {moving}")
            self.assertEqual(positions, sorted(positions), "the bar went back")

            box, text, buttons, icon = self.probe.message_box(APP_CAPTION)
            time.sleep(0.3)  # painting, for the screenshot
            self.xvfb.screenshot(os.path.join(self.shots, "completion-box.png"))
            self.assertEqual(text, "Firmware update completed.")
            self.assertEqual(buttons, ["OK"])
            self.assertFalse(icon, "the completion box has no icon")
            self.assertEqual(self.position(dialog), 100)
            self.press(box, IDOK)

            # The run is over: only Exit is left (that nothing enables them later is the engine
            # tests' to prove, where the worker's end can be waited for).
            self.expect_controls(dialog, False)
            self.exit_without_question(process, dialog)

            report = pedal.report()
            self.assertTrue(report["success"], f"pedal report: {pedal.report_path}")
            self.assertTrue(report["flash"]["expectedImage"]["matches"])
            self.assertEqual([f["matchesExpected"] for f in report["files"]], [True])
            self.assertEqual(report["violations"], [])
        finally:
            pedal.stop()

    def test_3_low_battery(self):
        self.register_ports()
        pedal = Pedal(self, "low-battery", "--variant", "0", "--battery-low", "--baud", "0")
        try:
            process, dialog = self.start_updater()
            self.probe.click(dialog, IDOK)
            box, text, buttons, icon = self.probe.message_box("Error")
            self.xvfb.screenshot(os.path.join(self.shots, "low-battery-box.png"))
            self.assertEqual(text, "Low battery.")
            self.assertEqual(buttons, ["OK"])
            self.assertTrue(icon)
            self.expect_controls(dialog, False)
            self.press(box, IDOK)

            wait_until(lambda: self.states(dialog)[IDOK], what="Execute enabled again")
            self.expect_controls(dialog, True)
            self.assertEqual(self.combo(dialog)["selection"], 2, "the choice is kept")
            self.exit_without_question(process, dialog)

            report = pedal.report()
            self.assertEqual(report["sequence"], ["IdentityRequest", "UpdateStart"])
            self.assertEqual([r["status"] for r in report["refusals"]], [12])
        finally:
            pedal.stop()

    def test_4_exit_during_run(self):
        self.register_ports()
        # The pedal never answers the erase in time, and the updater itself waits 33 s for it:
        # the window closes while the updater waits, and an end before those 33 s can only be
        # the abort's doing. Its clock runs all the while, so the line never goes quiet: closing
        # must not wait for that.
        pedal = Pedal(self, "exit", "--variant", "0", "--baud", "0", "--erase-ms", "600000",
                      "--clock", "20")
        try:
            process, dialog = self.start_updater()
            self.probe.click(dialog, IDOK)
            # Without the module file the bar reaches 5 exactly when the erase goes out.
            wait_until(lambda: self.position(dialog) == 5, what="the erase to start")

            # Execute reaching the handler during a run (the button itself is disabled) is
            # refused and leaves the run alone.
            self.probe.click(dialog, IDOK)
            box, text, _, _ = self.probe.message_box("Error")
            self.assertEqual(text, "In Progress.")
            self.press(box, IDOK)
            self.expect_controls(dialog, False)

            self.probe.click(dialog, IDCANCEL)
            box, text, buttons, _ = self.probe.message_box(APP_CAPTION)
            self.xvfb.screenshot(os.path.join(self.shots, "exit-during-run-box.png"))
            self.assertEqual(text, "Now updating. Are you sure?")
            self.press(box, IDOK)
            self.probe.wait_gone(dialog, timeout=25)
            # A thread left running into the destroyed dialog would crash the process.
            try:
                self.assertEqual(process.wait(timeout=25), 0, "the updater did not end cleanly")
            except subprocess.TimeoutExpired:
                self.fail("the updater was still waiting for the erase: the abort did not wake it")
            self.assertIsNone(self.probe.window("Error"), "the abort showed a box")

            report = pedal.report()
            self.assertEqual(report["sequence"],
                             ["IdentityRequest", "UpdateStart", "RomErase"],
                             "nothing may follow the erase once the window is closed")
            self.assertFalse(report["success"])
        finally:
            pedal.stop()

    def test_5_answers_out_of_step(self):
        self.register_ports()
        # Block 1 answered twice, the second copy once block 2 is on its way (every answer
        # leaves 50 ms after its request); block 2 refused once. Every later answer is one
        # behind, so the refusal would be read as block 3's.
        pedal = Pedal(self, "out-of-step", "--variant", "0", "--baud", "0", "--latency", "50",
                      "--fault", "RomWrite#1:1:duplicate", "--fault", "RomWrite#2:1:status=6")
        try:
            process, dialog = self.start_updater()
            self.probe.click(dialog, IDOK)
            box, text, buttons, icon = self.probe.message_box("Error", timeout=60)
            self.xvfb.screenshot(os.path.join(self.shots, "out-of-step-box.png"))
            self.assertEqual(text, "The pedal's answers went out of step. Start the update again.")
            self.assertEqual(buttons, ["OK"])
            self.assertTrue(icon)
            self.press(box, IDOK)
            wait_until(lambda: self.states(dialog)[IDOK], what="Execute enabled again")
            self.expect_controls(dialog, True)
            self.exit_without_question(process, dialog)

            report = pedal.report()
            self.assertNotIn("UpdateComplete", report["sequence"],
                             "the pedal must stay in update mode")
            self.assertFalse(report["success"])
        finally:
            pedal.stop()

    def test_6_window_answers_while_the_port_opens(self):
        self.register_ports()
        pedal = Pedal(self, "slow-open", "--variant", "0", "--baud", "0")
        try:
            env, begun, over = self.slow_open(pedal, "slow-open", 4000)
            process, dialog = self.start_updater(extra_env=env)
            self.probe.click(dialog, IDOK)
            wait_until(lambda: os.path.exists(begun), what="the port to start opening")
            opening = self.states(dialog)

            # As Windows asks before it calls a window not responding: WM_NULL with 300 ms to
            # answer, every 200 ms, until the port is open.
            pings = []

            def ping():
                pings.append(self.probe.ping(dialog, 300))
                return os.path.exists(over)

            wait_until(ping, what="the port to open", interval=0.2)
            missed = pings.count(False)
            print(f"\nWM_NULL during a 4 s opening: {len(pings)} sent, {missed} timed out",
                  file=sys.stderr)
            self.assertEqual(missed, 0, "the window did not answer while the port opened")
            self.assertGreaterEqual(len(pings), 3, "the window was hardly asked")
            for control_id in (ID_COMBO, IDOK, ID_RESCAN):
                self.assertFalse(opening[control_id], f"control {control_id} while opening")

            box, text, _, _ = self.probe.message_box(APP_CAPTION, timeout=60)
            self.assertEqual(text, "Firmware update completed.")
            self.press(box, IDOK)
            self.exit_without_question(process, dialog)
            report = pedal.report()
            self.assertTrue(report["success"], f"pedal report: {pedal.report_path}")
        finally:
            pedal.stop()

    def test_7_close_while_the_port_opens(self):
        self.register_ports()
        pedal = Pedal(self, "close-opening", "--variant", "0", "--baud", "0")
        try:
            # An opening that outlasts the test: only the close can end the program.
            env, begun, over = self.slow_open(pedal, "close-opening", 600000)
            process, dialog = self.start_updater(extra_env=env)
            self.probe.click(dialog, IDOK)
            wait_until(lambda: os.path.exists(begun), what="the port to start opening")

            # The run is active while the port opens: Execute is refused, and Exit asks.
            self.probe.click(dialog, IDOK)
            box, text, _, _ = self.probe.message_box("Error")
            self.assertEqual(text, "In Progress.")
            self.press(box, IDOK)
            self.probe.click(dialog, IDCANCEL)
            box, text, buttons, _ = self.probe.message_box(APP_CAPTION)
            self.assertEqual(text, "Now updating. Are you sure?")
            self.assertEqual(buttons, ["OK", "Cancel"])
            closed = time.monotonic()
            self.probe.post(box["hwnd"], WM_COMMAND, IDOK)
            # The program is gone within 2 s of the close; the rest is this harness's own time
            # to see it go.
            try:
                self.assertEqual(process.wait(timeout=2 + HARNESS_SLACK), 0,
                                 "the updater did not end cleanly")
            except subprocess.TimeoutExpired:
                self.fail("the updater still ran after the close: it waited for the port")
            print(f"\nclose to the end of the program: {time.monotonic() - closed:.2f} s",
                  file=sys.stderr)
            self.assertFalse(os.path.exists(over), "the opening ended on its own")
        finally:
            pedal.stop()

    def test_8_bluetooth_pair_preselects_the_outgoing_port(self):
        # Windows' two ports of one paired device, the incoming one found first and with the
        # lower number; only the outgoing one leads to the pedal.
        self.wine.run(ARGS.register, "clear")
        DialogTest.registered = False
        for instance, name in ((INCOMING_ID, "COM4"), (OUTGOING_ID, "COM8")):
            self.wine.run(ARGS.register, "add-id", instance, name,
                          f"Standard Serial over Bluetooth link ({name})")
        pedal = Pedal(self, "bluetooth-pair", "--variant", "0", "--baud", "0", port="com8")
        try:
            process, dialog = self.start_updater()
            combo = self.combo(dialog)
            self.assertEqual(combo["items"], ["COM4:Standard Serial over Bluetooth link (COM4)",
                                              "COM8:Standard Serial over Bluetooth link (COM8)"])
            self.assertEqual(combo["selection"], 1, "the outgoing port is preselected")
            self.xvfb.screenshot(os.path.join(self.shots, "bluetooth-pair.png"))
            self.probe.click(dialog, IDOK)
            box, text, _, _ = self.probe.message_box(APP_CAPTION, timeout=60)
            self.assertEqual(text, "Firmware update completed.")
            self.press(box, IDOK)
            self.exit_without_question(process, dialog)
            self.assertTrue(pedal.report()["success"], f"pedal report: {pedal.report_path}")
        finally:
            pedal.stop()

        # The command-line updater marks the incoming port, and --all leaves it out.
        listing = self.wine.run(ARGS.cli, "ports").stdout
        self.assertEqual(listing.replace("\r", ""),
                         "\tCOM4\tStandard Serial over Bluetooth link (COM4)\tincoming\n"
                         "*\tCOM8\tStandard Serial over Bluetooth link (COM8)\tyes\n")
        pedal = Pedal(self, "bluetooth-all", "--variant", "0", "--baud", "0", port="com8")
        try:
            identified = self.wine.run(ARGS.cli, "identify", "--all", check=False,
                                      timeout=EVENT_DEADLINE * 2)
            self.assertEqual(identified.returncode, 0, identified.stderr)
            self.assertIn("Using port COM8 ", identified.stderr)
            self.assertNotIn("COM4", identified.stderr + identified.stdout)
        finally:
            pedal.stop()


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="PX550Updater.exe")
    parser.add_argument("--probe", required=True, help="app_probe.exe")
    parser.add_argument("--register", required=True, help="app_register_port.exe")
    parser.add_argument("--sim", required=True, help="native px550-sim")
    parser.add_argument("--firmware", required=True, help="the firmware image (231)")
    parser.add_argument("--module", required=True, help="the module file image (238)")
    parser.add_argument("--work", required=True, help="folder for the prefix, reports, shots")
    parser.add_argument("--cli", required=True, help="px550-update.exe")
    parser.add_argument("--slow-open", required=True,
                        help="the native LD_PRELOAD library that makes a port slow to open")
    ARGS, rest = parser.parse_known_args()
    for name in ("exe", "probe", "register", "sim", "firmware", "module", "work", "cli",
                 "slow_open"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
