"""Each notice, in Chinese and in English, as a real window on a private X display: found by
its caption, photographed (the pictures stay in the build tree), and dismissed with its OK
button through xdotool."""

import os
import subprocess
import time
import unittest

from test_launcher_wine import ENTRY, NOTICES, SOC
from winekit import Config, Kit, restart_server, run_launcher, set_interfaces


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True)


class NoticeWindows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config = Config()
        read_end, write_end = os.pipe()
        cls.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten",
             "tcp"], pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            cls.display = ":" + f.readline().strip()
        # Wine picks its display driver when the server's session starts.
        restart_server(cls.config, cls.display)
        cls.kit = Kit(cls.config, "kit")
        os.makedirs(cls.config.artefacts, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        restart_server(cls.config)
        cls.xvfb.terminate()
        cls.xvfb.wait()

    def show_and_dismiss(self, interfaces, kind, language):
        caption, text = NOTICES[(kind, language)]
        locale = {"zh": "zh_CN.UTF-8", "en": "en_US.UTF-8"}[language]
        picture = os.path.join(self.config.artefacts, "notice-%s-%s.png" % (kind, language))
        seen = {}

        def photograph_and_dismiss(_):
            # The box follows the 3.5 s of two passes; on a busy machine much later. The wait
            # only bounds a hang, and so does the one for the box to be painted.
            deadline = time.time() + 90
            while time.time() < deadline and "window" not in seen:
                found = xdotool(self.display, "search", "--name", "^%s$" % caption).stdout.split()
                if found:
                    seen["window"] = found[0]
                else:
                    time.sleep(0.1)
            self.assertIn("window", seen, "%s %s: no window captioned %r within 90 s"
                          % (kind, language, caption))
            colours = 0
            while colours <= 2 and time.time() < deadline:
                time.sleep(0.2)
                subprocess.run(["import", "-display", self.display, "-window", "root", picture],
                               check=True)
                colours = int(subprocess.run(["identify", "-format", "%k", picture],
                                             capture_output=True, text=True).stdout or 0)
            # Space presses the focused OK button; both key events reach the box.
            xdotool(self.display, "key", "--window", seen["window"], "space")

        set_interfaces(self.config, interfaces)
        run = run_launcher(self.config, self.kit, locale, display=self.display,
                           during=photograph_and_dismiss)
        self.assertEqual(run.returncode, 0)
        boxes = run.named("MessageBoxW")
        self.assertEqual([(c.args, c.result) for c in boxes], [([0, text, caption, 0], 1)])
        self.assertEqual(xdotool(self.display, "search", "--name", "^%s$" % caption).stdout, "")
        colours = subprocess.run(["identify", "-format", "%k", picture], capture_output=True,
                                 text=True, check=True).stdout
        self.assertGreater(int(colours), 2, "%s %s: the picture shows no box" % (kind, language))

    def test_none_found(self):
        for language in ("zh", "en"):
            with self.subTest(language=language):
                self.show_and_dismiss([], "none", language)

    def test_many_found(self):
        for language in ("zh", "en"):
            with self.subTest(language=language):
                self.show_and_dismiss(SOC + [ENTRY], "many", language)


if __name__ == "__main__":
    unittest.main(verbosity=2)
