"""contrib/vrix-services against real vrix runs in a PID namespace of its
own: helper processes that need restarting, in cgroups named as systemd,
podman, docker, systemd-nspawn, LXC and Kubernetes name theirs, on the
host's cgroup layout, each on the line of its unit with its command."""

import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()
CGROUPS = env.Cgroups()

SCRIPT = os.path.join(ARGS.contrib, "vrix-services")
USAGE = "usage: vrix-services [-j] [-w whitelist | -]\n"
PODMAN_ID = "4e5a6b7c8d9e0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192"
DOCKER_ID = "3f6c0e8d2b1a9c47d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c"
SHIM_ID = "9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a0b9c8d7e6f5a4b3c2d1e0f9a8b"
POD_UID = "0d3f2c1a-1b2c-4d5e-8f90-a1b2c3d4e5f6"
KUBE_ID = "c0ffee0123456789abcdef0123456789abcdef0123456789abcdef0123456789"
try:
    NOBODY = pwd.getpwuid(65534).pw_name
except KeyError:
    NOBODY = "65534"

# Where each unit keeps its processes, below the test's own cgroup.
WEB = "system.slice/vrixtest-web.service"
TEMPLATE = "system.slice/system-vrixtest.slice/vrixtest-db@15-main.service"
PODMAN = f"machine.slice/libpod-{PODMAN_ID}.scope/container"
CONMON = f"machine.slice/libpod-conmon-{PODMAN_ID}.scope"
DOCKER = f"system.slice/docker-{DOCKER_ID}.scope"
DOCKER_CGROUPFS = f"docker/{SHIM_ID}"
CONTAINERD = "system.slice/containerd.service"
NSPAWN = "machine.slice/machine-vrixtest\\x2dbuild.scope/payload"
LXC = "lxc.payload.vrixtest-ct"
SESSION = "user.slice/user-65534.slice/session-7.scope"
USER_SERVICE = "user.slice/user-65534.slice/user@65534.service/app.slice/vrixtest-player.service"
KUBE = ("kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod%s.slice"
        "/cri-containerd-%s.scope" % (POD_UID.replace("-", "_"), KUBE_ID))


def stand_in(directory, name, script):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + script)
    os.chmod(path, 0o755)


class ServicesTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-services-")
        # Confined, so that a confined vrix reads them, and a full root too.
        self.helpers = env.Helpers(ARGS, self.tmp, prefix=env.CONFINED)
        self.bin = os.path.join(self.tmp, "bin")
        os.mkdir(self.bin)
        self.others = []
        self.children = []

    def tearDown(self):
        self.helpers.stop()
        for proc in self.others:
            proc.kill()
            proc.wait()
            proc.stdout.close()
        for pid in self.children:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)  # an orphan, now the child of this script
        shutil.rmtree(self.tmp)

    def services(self, *args, vrix=ARGS.vrix, stdin=None, prefix=()):
        env_vars = dict(os.environ, VRIX=vrix, PATH=self.bin + os.pathsep + os.environ["PATH"])
        done = subprocess.run([*prefix, "sh", SCRIPT, *args], input=stdin, env=env_vars,
                              capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def deleted_in(self, cgroup):
        pid = self.helpers.deleted()
        CGROUPS.move(pid, cgroup)
        return pid

    def shim(self, child_cgroup):
        """A containerd-shim that needs restarting, in containerd's service,
        whose child runs in a container."""
        shim = os.path.join(self.tmp, "containerd-shim-runc-v2")
        shutil.copy(ARGS.mapper, shim)
        library = os.path.join(self.tmp, "libshim.so")
        shutil.copy(ARGS.testlib, library)
        proc = subprocess.Popen(["sh", "-c", 'sleep 1000 & exec "$0" --unlink "$1"', shim, library],
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(proc)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        CGROUPS.move(proc.pid, CONTAINERD)
        child = next(int(p) for p in os.listdir("/proc") if p.isdigit() and parent(p) == proc.pid)
        self.children.append(child)
        CGROUPS.move(child, child_cgroup)
        return proc.pid, shim

    def test_each_unit_on_its_line_with_its_command(self):
        stand_in(self.bin, "podman", 'test "$*" = "container inspect --format {{.Name}} %s"'
                                     ' && echo web\n' % PODMAN_ID)
        web = [self.deleted_in(WEB), self.deleted_in(WEB)]
        CGROUPS.move(self.helpers.untouched(), WEB)
        db = self.deleted_in(TEMPLATE)
        podman = [self.deleted_in(PODMAN), self.deleted_in(CONMON)]
        docker = self.deleted_in(DOCKER)
        cgroupfs = self.deleted_in(DOCKER_CGROUPFS)
        shim, shim_path = self.shim(DOCKER_CGROUPFS)
        nspawn = self.deleted_in(NSPAWN)
        lxc = self.deleted_in(LXC)
        session = self.deleted_in(SESSION)
        user_service = self.deleted_in(USER_SERVICE)
        kube = self.deleted_in(KUBE)
        loose = self.helpers.deleted()
        expected = (
            f"vrixtest-web.service (pids {web[0]} {web[1]}): systemctl restart vrixtest-web.service\n"
            f"vrixtest-db@15-main.service (pid {db}): systemctl restart vrixtest-db@15-main.service\n"
            f"podman web (pids {podman[0]} {podman[1]}): podman restart web\n"
            f"docker {DOCKER_ID[:12]} (pid {docker}): docker restart {DOCKER_ID[:12]}\n"
            f"docker {SHIM_ID[:12]} (pids {cgroupfs} {shim}): docker restart {SHIM_ID[:12]}\n"
            f"machine vrixtest-build (pid {nspawn}): machinectl reboot vrixtest-build\n"
            f"lxc vrixtest-ct (pid {lxc}): lxc-stop -r -n vrixtest-ct\n"
            f"session 7 of {NOBODY} (pid {session})\n"
            f"vrixtest-player.service of {NOBODY} (pid {user_service}):"
            f" systemctl --user -M {NOBODY}@ restart vrixtest-player.service\n"
            f"pod {POD_UID} container {KUBE_ID[:12]} (pid {kube})\n"
            f"process {loose} {ARGS.mapper}\n"
            "restart: systemctl restart vrixtest-web.service vrixtest-db@15-main.service;"
            f" podman restart web; docker restart {DOCKER_ID[:12]} {SHIM_ID[:12]};"
            " machinectl reboot vrixtest-build; lxc-stop -r -n vrixtest-ct;"
            f" systemctl --user -M {NOBODY}@ restart vrixtest-player.service\n")
        self.maxDiff = None
        self.assertEqual(self.services(), (2, expected, ""))
        # The same view from the table that vrix printed, header and all.
        status, table, _ = env.run([ARGS.vrix])
        self.assertEqual(status, 2)
        self.assertIn(env.row(shim, "miss", shim_path), table)
        self.assertEqual(self.services("-", stdin=table), (2, expected, ""))

    def test_podman_that_does_not_answer_leaves_the_short_id(self):
        pid = self.deleted_in(PODMAN)
        short = f"podman {PODMAN_ID[:12]} (pid {pid}): podman restart {PODMAN_ID[:12]}\n" \
                f"restart: podman restart {PODMAN_ID[:12]}\n"
        if shutil.which("podman") is None:
            self.assertEqual(self.services(), (2, short, ""))
        stand_in(self.bin, "podman", "exec sleep 100\n")
        self.assertEqual(self.services(), (2, short, ""))
        stand_in(self.bin, "podman", "echo 'Error: no such container' >&2; exit 125\n")
        self.assertEqual(self.services(), (2, short, ""))

    def test_tables_from_standard_input(self):
        pid = self.deleted_in(WEB)
        line = (f"vrixtest-web.service (pid {pid}): systemctl restart vrixtest-web.service\n"
                "restart: systemctl restart vrixtest-web.service\n")
        # A vrix that cannot read the namespace's first process: an err row.
        status, table, _ = env.run([*env.CONFINED, ARGS.vrix, "-h"])
        self.assertEqual(status, 1)
        first = env.first_process_row()
        self.assertEqual(table, first + "\n" + env.row(pid, "miss", ARGS.mapper) + "\n")
        err = "err 1 " + first.split(None, 3)[3] + "\n"
        self.assertEqual(self.services("-", stdin=table),
                         (1, line.replace("restart:", err + "restart:"), ""))
        # Without err rows, the status is 2, as vrix gives it for such a table.
        without = table.replace(first + "\n", "")
        self.assertEqual(self.services("-", stdin=without), (2, line, ""))
        self.assertEqual(self.services("-", stdin=first + "\n"), (1, err, ""))
        self.assertEqual(self.services("-", stdin=""), (0, "", ""))
        # A confined run of its own: vrix's status.
        self.assertEqual(self.services(prefix=env.CONFINED),
                         (1, line.replace("restart:", err + "restart:"), ""))

    def test_whitelist_errors_and_usage(self):
        self.deleted_in(WEB)
        whitelist = os.path.join(self.tmp, "whitelist")
        self.assertEqual(env.run([ARGS.vrix, "-c", whitelist])[0], 2)
        self.assertEqual(self.services("-w", whitelist), (0, "", ""))
        missing = os.path.join(self.tmp, "none")
        self.assertEqual(self.services("-w", missing), (
            1, "", f"vrix: cannot open file '{missing}': No such file or directory\n"))
        status, out, _ = self.services(vrix=os.path.join(self.tmp, "absent"))
        self.assertEqual((status, out), (127, ""))
        for args in (["-x"], ["-w"], ["extra"], ["-w", whitelist, "-"], ["-", "-"], ["-c", "x"]):
            with self.subTest(args=args):
                self.assertEqual(self.services(*args), (64, "", USAGE))


def parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
