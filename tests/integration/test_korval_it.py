"""The shared helpers must catch what the other tests rely on them to catch:
a mail a real parser would stumble over, and log texts that span lines."""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

GOOD = (b"From: korval-daemon@example.test\r\nTo: admin@example.test,+15550100@sms.example.test\r\n"
        b"Date: Mon, 07 Dec 2026 20:39:52 +0000\r\nMIME-Version: 1.0\r\n"
        b"Content-type: text/plain; charset=ISO-8859-1\r\nContent-transfer-encoding: 7BIT\r\n"
        b"Message-ID: <DM0a1b2c3d4e@example.test>\r\nSubject: No Response on mailhub\r\nPriority: urgent\r\n"
        b"\r\n\r\nTime: Mon, 07 Dec 2026 20:39:52 +0000\r\nSpecified target 'mailhub' does not respond to echo.\r\n")


class Helpers(unittest.TestCase):
    def test_parse_mail_accepts_a_report_and_rejects_broken_ones(self):
        message = it.parse_mail(GOOD)
        self.assertEqual(message["Subject"], "No Response on mailhub")
        self.assertIn("does not respond", message.get_content())
        broken = {
            "empty domain": GOOD.replace(b"From: korval-daemon@example.test", b"From: korval-daemon@"),
            "no blank line": b"From: a@example.test\r\nnot a header\r\n\r\nbody\r\n",
            "bad message id": GOOD.replace(b"<DM0a1b2c3d4e@example.test>", b"<DM0a1b2c3d4e@"),
        }
        for name, raw in broken.items():
            with self.subTest(name), self.assertRaises(AssertionError):
                it.parse_mail(raw)

    def test_output_reads_multiline_log_texts_and_escaped_dialogs(self):
        with tempfile.TemporaryDirectory() as folder:
            out = Path(folder)
            (out / "korval.log").write_bytes(b"10:00:00.000 [10: 5] Daemon KORVAL.DLL started.\n"
                                             b"10:00:00.001 [ 1:20] two\r\nlines\n")
            (out / "dialogs.txt").write_bytes(b" Daemon Error\tKORVAL\\r\\n  a\\\\b\tno\n")
            (out / "statistics.txt").write_bytes(b"Module Category Count\nHostStatus   TotalTests   3\n")
            result = it.Output(out)
            self.assertEqual([(l.category, l.priority, l.text) for l in result.log()],
                             [(10, 5, "Daemon KORVAL.DLL started."), (1, 20, "two\r\nlines")])
            self.assertEqual(result.dialogs(), [(" Daemon Error", "KORVAL\r\n  a\\b", "no")])
            self.assertEqual(result.statistics(), {"TotalTests": 3})
            self.assertEqual(result.mails(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
