"""The stand-in's configure command shows the real dialog of korval.dll on the
sample settings, owned by the stand-in's window; OK puts them in effect."""

import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

WITH_DISPLAY = (str(it.SOURCE / "tests" / "dialog" / "with-display"), str(it.BUILD))


class Configure(unittest.TestCase):
    def test_ok_on_the_sample_settings_registers_the_alias_and_logs_the_summary(self):
        folder = it.work_dir("configure-sample")
        shutil.copy(it.SAMPLE_INI, folder / "korval.ini")
        before = (folder / "korval.ini").read_bytes()
        run = it.run_standin("configure", "--answer", "ok", cwd=folder, prefix=WITH_DISPLAY)
        self.assertEqual(run.returncode, it.EXIT_OK, run.stdout + run.stderr)
        self.assertIn("configure returned 1", run.stdout)

        captions = [caption for caption, _, _ in run.out.dialogs()]
        self.assertEqual(captions, ["  Korval daemon configuration", " Success"])
        self.assertEqual(run.out.dialogs()[1][1], "Alias 'korval-daemon@example.test' created")
        self.assertEqual(run.out.aliases(), {"korval-daemon@example.test": "Daemon:korval.dll"})

        texts = run.out.texts()
        self.assertEqual(texts[0], "Config for korval-standin")
        self.assertIn("Polling 2 hosts:", texts)
        self.assertIn("Test free space over 99999999 MB on C:\\;Q:\\;R:\\;", texts)
        self.assertEqual((folder / "korval.ini").read_bytes(), before, "OK alone writes no file")


if __name__ == "__main__":
    unittest.main(verbosity=2)
