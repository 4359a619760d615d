"""contrib/vrix-services as it runs on FreeBSD, under sh, with stand-ins for
uname, jls, service and ps in PATH: a jailed row goes to its jail, a host
process to the enabled rc.d service that runs it or one of its ancestors,
and a process in neither stands alone."""

import os
import shutil
import subprocess
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()

SCRIPT = os.path.join(ARGS.contrib, "vrix-services")
TABLE = """\
   pid    jid stat command
   812      0 miss /usr/local/sbin/nginx
  4711      3 miss /usr/local/bin/perl
   813      0 miss /usr/local/sbin/nginx
   900      0 outd /usr/local/bin/perl
  5000      0 miss /usr/local/bin/foo
  4800      7 outd /usr/local/bin/python3.11
  5100      0  err (sshd)
"""
# Each stand-in answers only what the script is to ask.
STAND_INS = {
    "uname": 'test "$*" = -s && echo FreeBSD\n',
    "jls": 'test "$*" = "-j 3 name" && echo www || {\n'
           '  echo "jls: jail \\"$2\\" not found" >&2; exit 1; }\n',
    "service": """case $* in
-e) printf '/etc/rc.d/cron\\n/etc/rc.d/sshd\\n/usr/local/etc/rc.d/nginx\\n' ;;
"nginx status") echo "nginx is running as pid 812." ;;
"sshd status") echo "sshd is running as pid 700." ;;
"cron status") echo "cron is not running." >&2; exit 1 ;;
*) echo "service: unexpected $*" >&2; exit 2 ;;
esac
""",
    # 813 is nginx's worker, 900 a worker's child; 5000 was started by init.
    "ps": 'test "$*" = "-ax -o pid= -o ppid=" && printf "%s\\n" "    1     0" "  700     1"'
          ' "  812     1" "  813   812" "  900   813" " 4711   4700" " 5000     1" " 5100   700"\n',
}
VIEW = """\
service nginx (pids 812 813 900): service nginx restart
jail www (pid 4711): service jail restart www
jail 7 (pid 4800): service jail restart 7
process 5000 /usr/local/bin/foo
err 5100 (sshd)
restart: service nginx restart; service jail restart www 7
"""


class FreeBSDServicesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-services-freebsd-")
        self.bin = os.path.join(self.tmp, "bin")
        os.mkdir(self.bin)
        for name, script in STAND_INS.items():
            self.write(name, script)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def write(self, name, script):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(path, 0o755)

    def services(self, *args, stdin=None):
        done = subprocess.run(
            ["sh", SCRIPT, *args], input=stdin, capture_output=True, text=True, timeout=60,
            env=dict(os.environ, VRIX=os.path.join(self.bin, "vrix"),
                     PATH=self.bin + os.pathsep + os.environ["PATH"]))
        return done.returncode, done.stdout, done.stderr

    def test_jails_rc_services_and_the_rest(self):
        self.assertEqual(self.services("-", stdin=TABLE), (1, VIEW, ""))
        # Run by the script, vrix's status and options.
        self.write("vrix", 'test "$*" = "-h -w /var/db/vrix.whitelist" || exit 64\n'
                           "sed 1d <<'EOF'\n" + TABLE + "EOF\nexit 2\n")
        self.assertEqual(self.services("-w", "/var/db/vrix.whitelist"), (2, VIEW, ""))

    def test_host_processes_without_services(self):
        table = "   812      0 miss /usr/local/sbin/nginx\n  5000      0 miss /usr/local/bin/foo\n"
        self.write("service", 'test "$*" = -e\n')
        self.assertEqual(self.services("-", stdin=table), (
            2, "process 812 /usr/local/sbin/nginx\nprocess 5000 /usr/local/bin/foo\n", ""))


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
