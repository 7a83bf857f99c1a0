"""Each notice, in Chinese and in English, as a real window on a private X display: found by
its caption, photographed (the pictures stay in the build tree), and dismissed with its OK
button through xdotool."""

import os
import unittest

from test_launcher_wine import ENTRY, SOC
from winekit import Config, Kit, restart_server, run_launcher, set_interfaces
from kit_description import LANGUAGES, NOTICES, find_window, photograph, start_xvfb, xdotool


class NoticeWindows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config = Config()
        cls.xvfb, cls.display = start_xvfb()
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
        picture = os.path.join(self.config.artefacts, "notice-%s-%s.png" % (kind, language))
        seen = {}

        def photograph_and_dismiss(_):
            # The box follows the 3.5 s of two passes; on a busy machine much later.
            seen["window"] = find_window(self.display, caption)
            self.assertTrue(seen["window"], "%s %s: no window captioned %r within 90 s"
                            % (kind, language, caption))
            seen["colours"] = photograph(self.display, picture)
            # Space presses the focused OK button; both key events reach the box.
            xdotool(self.display, "key", "--window", seen["window"], "space")

        set_interfaces(self.config, interfaces)
        run = run_launcher(self.config, self.kit, LANGUAGES[language][0], display=self.display,
                           during=photograph_and_dismiss)
        self.assertEqual(run.returncode, 0)
        boxes = run.named("MessageBoxW")
        self.assertEqual([(c.args, c.result) for c in boxes], [([0, text, caption, 0], 1)])
        self.assertEqual(xdotool(self.display, "search", "--name", "^%s$" % caption), [])
        self.assertGreater(seen["colours"], 2, "%s %s: the picture shows no box" % (kind, language))

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
