"""contrib/apt/99vrix as apt reads it (apt-config) and runs it (sh -c after
dpkg), in a PID and mount namespace of its own, with vrix installed where
the Debian package puts it, where a source install puts it, or nowhere."""

import os
import shutil
import subprocess
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()
CGROUPS = env.Cgroups()
if shutil.which("apt-config") is None:
    env.skip("apt-config not found (apt-get install apt)")

HOOK = os.path.join(ARGS.contrib, "apt", "99vrix")
SERVICES = ARGS.services
UNIT = "vrixtest-apt.service"
HEADER = "   pid    jid stat command\n"
NOT_FOUND = ("vrix: not found in /usr/local/sbin, /usr/sbin or the PATH:"
             " the apt hook 99vrix checked nothing\n")
# apt runs its hooks with its own PATH, which need not hold an sbin.
SHORT_PATH = "/usr/bin:/bin"
SBINS = ("/usr/sbin", "/usr/local/sbin")


def mount_empty(path):
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", path], check=True)


def hook_commands():
    """The DPkg::Post-Invoke commands apt finds with only this file read."""
    done = subprocess.run(["apt-config", "-c", HOOK, "dump", "--format", "%v%n",
                           "DPkg::Post-Invoke"],
                          capture_output=True, text=True, check=True)
    return [line for line in done.stdout.split("\n") if line]


class AptHookTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # This script's own mount namespace: the host's directories stay as
        # they are, and no other apt configuration or vrix is seen.
        for path in ("/etc/apt/apt.conf.d",) + SBINS:
            mount_empty(path)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-apt-")
        self.helpers = env.Helpers(ARGS, self.tmp)

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def test_runs_vrix_wherever_installed(self):
        commands = hook_commands()
        self.assertEqual(len(commands), 1)
        pid = self.helpers.deleted()
        CGROUPS.move(pid, "system.slice/" + UNIT)
        table = HEADER + env.row(pid, "miss", ARGS.mapper) + "\n"
        # What to restart comes after the table, where vrix-services is
        # installed beside vrix.
        view = (f"{UNIT} (pid {pid}): systemctl restart {UNIT}\n"
                f"restart: systemctl restart {UNIT}\n")
        for sbin, services, out, err in [(None, False, "", NOT_FOUND),
                                         ("/usr/local/sbin", True, table + view, ""),
                                         ("/usr/sbin", True, table + view, ""),
                                         ("/usr/sbin", False, table, "")]:
            with self.subTest(sbin=sbin, services=services):
                installed = []
                if sbin:
                    installed.append(shutil.copy(ARGS.vrix, os.path.join(sbin, "vrix")))
                if services:
                    installed.append(shutil.copy(SERVICES, os.path.join(sbin, "vrix-services")))
                # vrix's 2 does not fail the apt run; the helper is not
                # of the run (a shell of its own stands in for apt).
                self.assertEqual(env.run(["sh", "-c", 'sh -c "$0"', commands[0]],
                                         env=dict(os.environ, PATH=SHORT_PATH)),
                                 (0, out, err))
                for path in installed:
                    os.unlink(path)

    def test_writes_on_apts_own_descriptor(self):
        """apt's output on a file opened with > or >>: the hook writes on
        where apt left it, so apt's lines before and after it, and the log
        before the run, stay, with no NUL byte; the apt run that called it
        (here a stand-in that maps a deleted library and runs the hook as
        its child) is said to end with it, with nothing to restart."""
        command = hook_commands()[0]
        installed = [shutil.copy(ARGS.vrix, "/usr/sbin/vrix"),
                     shutil.copy(SERVICES, "/usr/sbin/vrix-services")]
        earlier = b"Start-Date: yesterday\nUpgrade: libc6\n"
        try:
            for mode, keeps in [(os.O_TRUNC, b""), (os.O_APPEND, earlier)]:
                with self.subTest(append=bool(mode & os.O_APPEND)):
                    log = os.path.join(self.tmp, "apt.log")
                    with open(log, "wb") as f:
                        f.write(earlier)
                    fd = os.open(log, os.O_WRONLY | mode)
                    os.write(fd, b"Unpacking libtest (2) over (1) ...\n")
                    apt = subprocess.Popen([ARGS.mapper, "--unlink", self.helpers._copy(), "--run",
                                            "/bin/sh", "-c", command],
                                           stdout=fd, env=dict(os.environ, PATH=SHORT_PATH))
                    self.assertEqual(apt.wait(timeout=120), 0)
                    os.write(fd, b"Setting up libtest (2) ...\n")
                    os.close(fd)
                    with open(log, "rb") as f:
                        written = f.read()
                    self.assertNotIn(b"\0", written)
                    self.assertEqual(written.decode(), (
                        keeps + b"Unpacking libtest (2) over (1) ...\n").decode()
                        + HEADER + env.row(apt.pid, "miss", ARGS.mapper) + "\n"
                        + f"process {apt.pid} {ARGS.mapper}, ends with the run that called"
                          " vrix-services\n"
                        + "Setting up libtest (2) ...\n")
        finally:
            for path in installed:
                os.unlink(path)

if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
