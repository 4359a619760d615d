"""contrib/nagios/check_vrix against real vrix runs in a PID namespace of
its own: the plugin's state, status line and exit status for each of vrix's
outcomes."""

import os
import shutil
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()

PLUGIN = os.path.join(ARGS.contrib, "nagios", "check_vrix")
USAGE = """usage: check_vrix [-C] [-W whitelist] [-b vrix]
 -C            report CRITICAL instead of WARNING
 -W whitelist  accept the state recorded in this whitelist (vrix -w)
 -b vrix       the vrix program to run (default: vrix in PATH)
"""
OK, WARNING, CRITICAL, UNKNOWN = 0, 1, 2, 3


def plugin(*options, vrix=ARGS.vrix, prefix=()):
    return env.run([*prefix, PLUGIN, "-b", vrix, *options])


class CheckVrixTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="check-vrix-")
        self.helpers = env.Helpers(ARGS, self.tmp)
        self.helpers.untouched()

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def check(self, options, status, line, **kwargs):
        with self.subTest(options=options):
            self.assertEqual(plugin(*options, **kwargs), (status, line + "\n", ""))

    def test_states_follow_vrix_outcomes(self):
        self.check([], OK, "VRIX OK - no process needs restarting | restart=0;;;0")
        self.check(["-C"], OK, "VRIX OK - no process needs restarting | restart=0;;;0")
        self.helpers.deleted()
        self.check([], WARNING, "VRIX WARNING - 1 process needs restarting | restart=1;;;0")
        self.check(["-C"], CRITICAL, "VRIX CRITICAL - 1 process needs restarting | restart=1;;;0")
        self.helpers.replaced()
        self.check([], WARNING, "VRIX WARNING - 2 processes need restarting | restart=2;;;0")

    def test_whitelist_is_given_to_vrix(self):
        self.helpers.deleted()
        whitelist = os.path.join(self.tmp, "whitelist")
        status, _, _ = env.run([ARGS.vrix, "-c", whitelist])
        self.assertEqual(status, 2)
        self.check(["-C", "-W", whitelist], OK,
                   "VRIX OK - no process needs restarting | restart=0;;;0")
        # The whitelist holds the helper's path with one vanished mapping.
        self.helpers.deleted(libraries=2)
        self.check(["-W", whitelist, "-C"], CRITICAL,
                   "VRIX CRITICAL - 1 process needs restarting | restart=1;;;0")

    def test_vrix_errors_are_unknown(self):
        self.helpers.deleted()
        missing = os.path.join(self.tmp, "none")
        self.check(["-W", missing], UNKNOWN,
                   f"VRIX UNKNOWN - vrix: cannot open file '{missing}': No such file or directory")
        bad = os.path.join(self.tmp, "bad")
        with open(bad, "w") as f:
            f.write("/usr/sbin/sshd 1\n")
        self.check(["-C", "-W", bad], UNKNOWN,
                   f"VRIX UNKNOWN - vrix: cannot read '{bad}': bad file format")
        # A "|" in the text would start the perfdata.
        self.check(["-W", missing + "|x"], UNKNOWN,
                   f"VRIX UNKNOWN - vrix: cannot open file '{missing}!x': No such file or directory")

    def test_unprivileged_run_is_unknown(self):
        # Run as a monitoring agent without root would be: the namespace's
        # first process and the helpers belong to root and cannot be read.
        self.helpers.deleted()
        where, (plugin_copy, vrix_copy) = env.world_readable_copies([PLUGIN, ARGS.vrix])
        try:
            unreadable = 1 + self.helpers.count()
            self.assertEqual(
                env.run(env.NOBODY + [plugin_copy, "-b", vrix_copy]),
                (UNKNOWN, f"VRIX UNKNOWN - {unreadable} processes could not be inspected"
                          " (vrix needs root)\n", ""))
        finally:
            shutil.rmtree(where)

    def test_other_vrix_endings_are_unknown(self):
        cases = [
            ("echo 'vrix: usage' >&2; exit 64",
             "VRIX UNKNOWN - vrix ended with status 64: vrix: usage"),
            ("kill -9 $$", "VRIX UNKNOWN - vrix was killed by signal 9"),
            ("exit 5", "VRIX UNKNOWN - vrix ended with status 5"),
            ("exit 1", "VRIX UNKNOWN - vrix failed"),
        ]
        fake = os.path.join(self.tmp, "fake-vrix")
        for script, line in cases:
            with open(fake, "w") as f:
                f.write(f"#!/bin/sh\n{script}\n")
            os.chmod(fake, 0o755)
            self.check([], UNKNOWN, line, vrix=fake)
        absent = os.path.join(self.tmp, "absent")
        self.check([], UNKNOWN, f"VRIX UNKNOWN - vrix not found: {absent}", vrix=absent)

    def test_bad_usage_is_unknown(self):
        cases = [
            (["-x"], "VRIX UNKNOWN - unknown option -x\n" + USAGE),
            (["-W"], "VRIX UNKNOWN - option -W needs an argument\n" + USAGE),
            (["extra"], "VRIX UNKNOWN - unexpected argument extra\n" + USAGE),
            (["-h"], USAGE),
        ]
        for options, out in cases:
            with self.subTest(options=options):
                self.assertEqual(env.run([PLUGIN, *options]), (UNKNOWN, out, ""))


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
