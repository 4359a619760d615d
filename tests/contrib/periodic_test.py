"""contrib/freebsd/periodic/daily/495.vrix run by sh as periodic(8) runs it,
with a stand-in for /etc/defaults/periodic.conf and an /etc/periodic.conf
for each case, around real vrix runs in a PID namespace of its own."""

import os
import shutil
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()

TEMPLATE = os.path.join(ARGS.contrib, "freebsd", "periodic", "daily", "495.vrix.in")
HEADING = "\nChecking for processes that need restarting:\n"
TABLE_HEADER = "   pid    jid stat command\n"
# What the script takes from /etc/defaults/periodic.conf.
DEFAULTS = """\
periodic_conf_files="{conf}"
source_periodic_confs () {{
\tfor i in ${{periodic_conf_files}}; do
\t\t[ -r $i ] && . $i
\tdone
}}
"""


class PeriodicTest(unittest.TestCase):
    prefix = ()

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-periodic-")
        self.helpers = env.Helpers(ARGS, self.tmp, prefix=self.prefix)
        self.helpers.untouched()
        # The script as cmake installs it, running the vrix under test.
        with open(TEMPLATE) as f:
            script = f.read()
        self.assertEqual(script.count("@"), 2)
        self.script = os.path.join(self.tmp, "495.vrix")
        with open(self.script, "w") as f:
            f.write(script.replace("@CMAKE_INSTALL_FULL_SBINDIR@/vrix", ARGS.vrix))
        self.conf = os.path.join(self.tmp, "periodic.conf")
        self.defaults = os.path.join(self.tmp, "defaults")
        with open(self.defaults, "w") as f:
            f.write(DEFAULTS.format(conf=self.conf))

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def daily(self, conf):
        """The script's status, output and errors with this periodic.conf
        (None: there is none)."""
        if conf is not None:
            with open(self.conf, "w") as f:
                f.write(conf)
        elif os.path.exists(self.conf):
            os.unlink(self.conf)
        return env.run([*self.prefix, "sh", self.script],
                       env=dict(os.environ, VRIX_PERIODIC_DEFAULTS=self.defaults))

    def check(self, conf, expected):
        with self.subTest(conf=conf):
            self.assertEqual(self.daily(conf), expected)


class DailyTest(PeriodicTest):
    def test_cases(self):
        whitelist = os.path.join(self.tmp, "whitelist")
        missing = os.path.join(self.tmp, "none")
        self.check(None, (0, "", ""))
        self.check('daily_vrix_enable="NO"\n', (0, "", ""))
        self.check('daily_vrix_enable="YES"\n', (0, HEADING, ""))
        pid = self.helpers.deleted()
        table = TABLE_HEADER + env.row(pid, "miss", ARGS.mapper) + "\n"
        self.check(None, (0, "", ""))
        self.check('daily_vrix_enable="yes"\n', (1, HEADING + table, ""))
        self.assertEqual(env.run([ARGS.vrix, "-c", whitelist])[0], 2)
        self.check(f'daily_vrix_enable="YES"\ndaily_vrix_whitelist="{whitelist}"\n',
                   (0, HEADING, ""))
        self.check(f'daily_vrix_enable="YES"\ndaily_vrix_whitelist="{missing}"\n',
                   (3, HEADING, f"vrix: cannot open file '{missing}': No such file or directory\n"))


class UninspectableProcessTest(PeriodicTest):
    """A root vrix that cannot read the namespace's first process."""

    prefix = env.CONFINED

    def test_errors_are_never_masked(self):
        first = env.first_process_row() + "\n"
        self.check('daily_vrix_enable="YES"\n', (3, HEADING + TABLE_HEADER + first, ""))
        pid = self.helpers.deleted()
        self.check('daily_vrix_enable="YES"\n',
                   (3, HEADING + TABLE_HEADER + first
                    + env.row(pid, "miss", ARGS.mapper) + "\n", ""))


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
