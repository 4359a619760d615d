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
CGROUPS = env.Cgroups()
# vrix-services, found as the plugin finds it installed.
env.services_in_path(ARGS)

PLUGIN = os.path.join(ARGS.contrib, "nagios", "check_vrix")
USAGE = """usage: check_vrix [-C] [-W whitelist] [-E command]... [-b vrix]
 -C            report CRITICAL instead of WARNING
 -W whitelist  accept the state recorded in this whitelist (vrix -w)
 -E command    accept err rows of this command (as vrix shows it);
               may be repeated
 -b vrix       the vrix program to run (default: vrix-services' own
               scan where it is installed, else vrix in PATH)
"""
OK, WARNING, CRITICAL, UNKNOWN = 0, 1, 2, 3
NOTHING = "VRIX OK - no process needs restarting | restart=0;;;0 errors=0;;;0"


def plugin(*options, vrix=ARGS.vrix, prefix=()):
    return env.run([*prefix, PLUGIN, "-b", vrix, *options])


def both_forms(test, *options, prefix=()):
    """The plugin in its usual form, vrix-services running the scan once,
    and with -b, vrix's table read by vrix-services: the same outcome."""
    once = env.run([*prefix, PLUGIN, *options])
    test.assertEqual(plugin(*options, prefix=prefix), once)
    return once


class CheckVrixTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="check-vrix-")
        self.helpers = env.Helpers(ARGS, self.tmp)
        self.helpers.untouched()

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def check(self, options, status, line, vrix=None):
        with self.subTest(options=options):
            got = plugin(*options, vrix=vrix) if vrix else both_forms(self, *options)
            self.assertEqual(got, (status, line + "\n", ""))

    def test_states_follow_vrix_outcomes(self):
        self.check([], OK, NOTHING)
        self.check(["-C"], OK, NOTHING)
        self.helpers.deleted()
        self.check([], WARNING, "VRIX WARNING - 1 process needs restarting:"
                                " 1 miss, 0 outd, 0 err | restart=1;;;0 errors=0;;;0")
        self.check(["-C"], CRITICAL, "VRIX CRITICAL - 1 process needs restarting:"
                                     " 1 miss, 0 outd, 0 err | restart=1;;;0 errors=0;;;0")
        self.helpers.replaced()
        self.check([], WARNING, "VRIX WARNING - 2 processes need restarting:"
                                " 1 miss, 1 outd, 0 err | restart=2;;;0 errors=0;;;0")

    def test_names_what_to_restart(self):
        web = "system.slice/vrixtest-web.service"
        for cgroup in (web, web, f"docker/{'ab' * 32}",
                       "user.slice/user-65534.slice/session-4.scope"):
            CGROUPS.move(self.helpers.deleted(), cgroup)
        self.helpers.deleted()  # in no unit: counted, not named
        self.check([], WARNING, "VRIX WARNING - 5 processes need restarting:"
                                " 5 miss, 0 outd, 0 err; restart: vrixtest-web.service,"
                                " docker abababababab, session 4 of nobody"
                                " | restart=5;;;0 errors=0;;;0")
        # A name that reads as more than one thing is one name.
        hostile = self.helpers.deleted()
        CGROUPS.move(hostile, env.USER_APPS + os.fsdecode(env.HOSTILE))
        status, out, _ = both_forms(self)
        self.assertEqual(out.split("; restart: ")[1].split(" | ")[0],
                         "vrixtest-web.service, docker abababababab, session 4 of nobody, "
                         + env.HOSTILE_SHOWN + " of nobody")
        os.kill(hostile, 9)
        # Names past 200 bytes are counted.
        long = "vrixtest-a-service-with-a-name-this-long-%d.service"
        for n in range(5):
            CGROUPS.move(self.helpers.deleted(), "system.slice/" + long % n)
        status, out, _ = both_forms(self)
        names = out.split("; restart: ")[1].split(" | ")[0]
        self.assertEqual(names, "vrixtest-web.service, docker abababababab,"
                                " session 4 of nobody, %s, %s and 3 more"
                                % (long % 0, long % 1))
        self.assertEqual(status, WARNING)

    def test_reboot_needed(self):
        """A kernel installed and not booted: WARNING when that is all, even
        with -C; named after what needs restarting; and never over a run
        that could not judge."""
        restore = env.services_reading(ARGS, env.upgraded_root(os.path.join(self.tmp, "root")))
        try:
            reboot = "reboot needed: " + env.REBOOT_LINE[len("reboot: "):]
            self.check([], WARNING, f"VRIX WARNING - {reboot} | restart=0;;;0 errors=0;;;0")
            self.check(["-C"], WARNING, f"VRIX WARNING - {reboot} | restart=0;;;0 errors=0;;;0")
            missing = os.path.join(self.tmp, "none")
            self.check(["-W", missing], UNKNOWN,
                       f"VRIX UNKNOWN - vrix: cannot open file '{missing}': No such file or directory")
            self.helpers.deleted()
            self.check(["-C"], CRITICAL, "VRIX CRITICAL - 1 process needs restarting:"
                                         f" 1 miss, 0 outd, 0 err; {reboot}"
                                         " | restart=1;;;0 errors=0;;;0")
        finally:
            restore()

    def test_whitelist_is_given_to_vrix(self):
        self.helpers.deleted()
        whitelist = os.path.join(self.tmp, "whitelist")
        status, _, _ = env.run([ARGS.vrix, "-c", whitelist])
        self.assertEqual(status, 2)
        self.check(["-C", "-W", whitelist], OK, NOTHING)
        # The whitelist holds the helper's path with one vanished mapping.
        self.helpers.deleted(libraries=2)
        self.check(["-W", whitelist, "-C"], CRITICAL,
                   "VRIX CRITICAL - 1 process needs restarting:"
                   " 1 miss, 0 outd, 0 err | restart=1;;;0 errors=0;;;0")

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
        where, (plugin_copy, vrix_copy, _) = env.world_readable_copies(
            [PLUGIN, ARGS.vrix, ARGS.services])
        path = dict(os.environ, PATH=where + os.pathsep + os.environ["PATH"])
        try:
            unreadable = 1 + self.helpers.count()
            line = (f"VRIX UNKNOWN - {unreadable} processes could not be inspected:"
                    f" 0 miss, 0 outd, {unreadable} err (vrix needs root)"
                    f" | restart=0;;;0 errors={unreadable};;;0\n")
            for form in ([], ["-b", vrix_copy]):
                self.assertEqual(env.run(env.NOBODY + [plugin_copy, *form], env=path),
                                 (UNKNOWN, line, ""))
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


class UninspectableProcessTest(unittest.TestCase):
    """A root vrix that cannot read the namespace's first process: every run
    has one err row and ends with 1, and the table decides the state."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="check-vrix-")
        self.helpers = env.Helpers(ARGS, self.tmp, prefix=env.CONFINED)
        self.helpers.untouched()
        self.first = env.first_process_row()
        self.command = self.first.split(None, 3)[3]

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def check(self, options, status, line):
        with self.subTest(options=options):
            self.assertEqual(both_forms(self, *options, prefix=env.CONFINED),
                             (status, line + "\n", ""))

    def test_restarts_win_over_errors(self):
        self.assertEqual(env.run(env.CONFINED + [ARGS.vrix, "-h"]), (1, self.first + "\n", ""))
        self.helpers.deleted()
        self.check([], WARNING, "VRIX WARNING - 1 process needs restarting:"
                                " 1 miss, 0 outd, 1 err | restart=1;;;0 errors=1;;;0")
        self.helpers.replaced()
        self.check(["-C"], CRITICAL, "VRIX CRITICAL - 2 processes need restarting:"
                                     " 1 miss, 1 outd, 1 err | restart=2;;;0 errors=1;;;0")
        self.check(["-E", self.command], WARNING,
                   "VRIX WARNING - 2 processes need restarting:"
                   " 1 miss, 1 outd, 1 err (1 accepted) | restart=2;;;0 errors=0;;;0")

    def test_errors_alone_are_unknown_unless_accepted(self):
        # Run as root: not a matter of privileges, so no advice about root.
        unknown = ("VRIX UNKNOWN - 1 process could not be inspected:"
                   " 0 miss, 0 outd, 1 err | restart=0;;;0 errors=1;;;0")
        accepted = ("VRIX OK - no process needs restarting:"
                    " 0 miss, 0 outd, 1 err (1 accepted) | restart=0;;;0 errors=0;;;0")
        cases = [
            ([], UNKNOWN, unknown),
            (["-C"], UNKNOWN, unknown),
            (["-E", self.command], OK, accepted),
            (["-E", "(other)", "-E", self.command, "-C"], OK, accepted),
            # The whole command, not a part of it.
            (["-E", self.command[:-1]], UNKNOWN, unknown),
            (["-E", "(other)"], UNKNOWN, unknown),
        ]
        for options, status, line in cases:
            self.check(options, status, line)

    def test_no_table_stays_unknown(self):
        self.helpers.deleted()
        missing = os.path.join(self.tmp, "none")
        self.check(["-W", missing, "-E", self.command], UNKNOWN,
                   f"VRIX UNKNOWN - vrix: cannot open file '{missing}': No such file or directory")


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
