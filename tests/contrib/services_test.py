"""vrix-services against real vrix runs in a PID namespace of its
own: helper processes that need restarting, in cgroups named as systemd,
podman, docker, systemd-nspawn, LXC and Kubernetes name theirs, on the
host's cgroup layout, each on the line of its unit with its command."""

import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()
CGROUPS = env.Cgroups()

USAGE = "usage: vrix-services [-j | -l] [-t] [-a pid] [-R root] [-w whitelist | -]\n"
PODMAN_ID = "4e5a6b7c8d9e0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192"
DOCKER_ID = "3f6c0e8d2b1a9c47d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c"
SHIM_ID = "9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a0b9c8d7e6f5a4b3c2d1e0f9a8b"
POD_UID = "0d3f2c1a-1b2c-4d5e-8f90-a1b2c3d4e5f6"
KUBE_ID = "c0ffee0123456789abcdef0123456789abcdef0123456789abcdef0123456789"
try:
    NOBODY = pwd.getpwuid(65534).pw_name
    NOGROUP = pwd.getpwuid(65534).pw_gid
except KeyError:
    NOBODY, NOGROUP = "65534", 65534
# A user service's command: as the user, through its manager's own socket.
AS_ROOT = "setpriv --reuid=0 --regid=0 --init-groups env XDG_RUNTIME_DIR=/run/user/0"
AS_NOBODY = (f"setpriv --reuid=65534 --regid={NOGROUP} --init-groups env"
             " XDG_RUNTIME_DIR=/run/user/65534 systemctl --user")
USER_MANAGER = "user.slice/user-65534.slice/user@65534.service"
HOSTILE = env.HOSTILE

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
CLONE_NEWUSER, CLONE_NEWPID = 0x10000000, 0x20000000
# A starter of a namespace: the next child is its first process.
STARTER = ("import ctypes, os, sys\n"
           "libc = ctypes.CDLL(None)\n"
           "if libc.unshare(%d) != 0: sys.exit('unshare failed')\n"
           "pid = os.fork()\n"
           "if pid == 0:\n"
           "    libc.prctl(1, 9)\n"  # PR_SET_PDEATHSIG, SIGKILL
           "    os.execv(sys.argv[-3], sys.argv[-3:])\n"
           "os.waitpid(pid, 0)\n")
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
        # machined knows every machine; systemd knows no unit, unless a
        # test says otherwise.
        stand_in(self.bin, "machinectl", 'test "$1" = show\n')
        stand_in(self.bin, "systemctl", "exit 1\n")
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
        # The first processes of namespaces of their own, orphaned too.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    time.sleep(0.05)
            except ChildProcessError:
                break
        shutil.rmtree(self.tmp)

    def services(self, *args, stdin=None, prefix=(), table_file=None):
        env_vars = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"])
        if table_file is not None:
            with open(table_file) as f:
                done = subprocess.run([*prefix, ARGS.services, *args], stdin=f, env=env_vars,
                                      capture_output=True, text=True, timeout=120)
        else:
            done = subprocess.run([*prefix, ARGS.services, *args], input=stdin, env=env_vars,
                                  capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def json_lines(self, *args, **kwargs):
        status, out, err = self.services("-j", *args, **kwargs)
        self.assertEqual((status, err), (2, ""))
        return [json.loads(line) for line in out.splitlines()]

    def in_namespace(self, cgroup, argv0=None, init_name=None):
        """A helper that is the first process of a PID namespace of its own,
        started by an unshare whose argv[0] may be argv0 (as a container
        runtime's monitor shows itself), and whose own name may be
        init_name; the helper is moved into cgroup. Its host pid."""
        mapper = ARGS.mapper
        if init_name:
            mapper = os.path.join(tempfile.mkdtemp(dir=self.tmp), init_name)
            shutil.copy(ARGS.mapper, mapper)
        library = os.path.join(self.tmp, "libns-%s.so" % os.urandom(4).hex())
        shutil.copy(ARGS.testlib, library)
        script = 'exec -a "$0" unshare --pid --fork --kill-child "$@"'
        proc = subprocess.Popen(["bash", "-c", script, argv0 or "unshare", mapper, "--unlink", library],
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(proc)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        child = next(int(p) for p in os.listdir("/proc") if p.isdigit() and parent(p) == proc.pid)
        CGROUPS.move(child, cgroup)
        return child

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
            f"lxc vrixtest-ct (pid {lxc})\n"
            f"session 7 of {NOBODY} (pid {session})\n"
            f"vrixtest-player.service of {NOBODY} (pid {user_service}): {AS_NOBODY}"
            " restart vrixtest-player.service\n"
            f"pod {POD_UID} container {KUBE_ID[:12]} (pid {kube})\n"
            f"process {loose} {ARGS.mapper}\n"
            "restart: systemctl restart vrixtest-web.service vrixtest-db@15-main.service;"
            f" podman restart web; docker restart {DOCKER_ID[:12]} {SHIM_ID[:12]};"
            f" machinectl reboot vrixtest-build; {AS_NOBODY} restart vrixtest-player.service\n")
        self.maxDiff = None
        self.assertEqual(self.services(), (2, expected, ""))
        # The same view from the table that vrix printed, header and all.
        status, table, _ = env.run([ARGS.vrix])
        self.assertEqual(status, 2)
        self.assertIn(env.row(shim, "miss", shim_path), table)
        self.assertEqual(self.services("-", stdin=table), (2, expected, ""))

    def test_machine_readable_form(self):
        web = self.deleted_in(WEB)
        session = self.deleted_in(SESSION)
        user_service = self.deleted_in(USER_SERVICE)
        loose = self.helpers.deleted()
        objects = self.json_lines()
        self.assertEqual(objects, [
            {"kind": "service", "label": "vrixtest-web.service", "name": "vrixtest-web.service",
             "pids": [web], "commands": [["systemctl", "restart", "vrixtest-web.service"]]},
            {"kind": "session", "label": f"session 7 of {NOBODY}", "name": "7",
             "user": NOBODY, "uid": 65534, "pids": [session], "commands": []},
            {"kind": "user-service", "label": f"vrixtest-player.service of {NOBODY}",
             "name": "vrixtest-player.service", "user": NOBODY, "uid": 65534,
             "pids": [user_service],
             "commands": [AS_NOBODY.split() + ["restart", "vrixtest-player.service"]]},
            {"kind": "process", "pid": loose, "jid": 0, "path": ARGS.mapper}])

    def test_names_that_users_chose_are_quoted_and_kept_intact(self):
        name = os.fsdecode(HOSTILE)
        pids = {}
        for suffix in ("", ".d"):
            pids[suffix] = self.deleted_in(f"{USER_MANAGER}/app.slice/{name}{suffix}")
        shown = env.HOSTILE_SHOWN[:-1]
        self.assertEqual(self.services(), (2,
            f"{shown}' of {NOBODY} (pid {pids['']})\n"
            f"cgroup {shown}.d' of {NOBODY} (pid {pids['.d']})\n", ""))
        objects = self.json_lines()
        self.assertEqual([(o["kind"], o["name"], o["pids"], o["commands"]) for o in objects],
                         [("user-service", name, [pids[""]], []),
                          ("user-cgroup", name + ".d", [pids[".d"]], [])])
        self.assertEqual(objects[0]["name"].encode("utf-8", "surrogateescape"), HOSTILE)

    def test_restarts_that_end_sessions_come_last_and_alone(self):
        """In the order the manual gives, whatever the order of the rows:
        the system bus, logind, gettys, display managers, users' buses and
        managers."""
        web = self.deleted_in(WEB)
        user_bus_alone = self.deleted_in("user.slice/user-0.slice/user@0.service/app.slice/dbus.service")
        gdm = self.deleted_in("system.slice/gdm.service")
        manager = self.deleted_in(USER_MANAGER + "/init.scope")
        getty = self.deleted_in("system.slice/system-getty.slice/getty@tty1.service")
        logind = self.deleted_in("system.slice/systemd-logind.service")
        bus = self.deleted_in("system.slice/dbus.service")
        player = self.deleted_in(USER_SERVICE)
        user_bus = self.deleted_in(USER_MANAGER + "/app.slice/dbus.service")
        root_bus = (f"{AS_ROOT} systemctl --user restart dbus.service")
        self.assertEqual(self.services(), (2,
            f"vrixtest-web.service (pid {web}): systemctl restart vrixtest-web.service\n"
            f"dbus.service of root (pid {user_bus_alone}): {root_bus}\n"
            f"gdm.service (pid {gdm}): systemctl restart gdm.service\n"
            f"user@65534.service (pid {manager}): systemctl restart user@65534.service\n"
            f"  vrixtest-player.service of {NOBODY} (pid {player})\n"
            f"  dbus.service of {NOBODY} (pid {user_bus})\n"
            f"getty@tty1.service (pid {getty}): systemctl restart getty@tty1.service\n"
            f"systemd-logind.service (pid {logind}): systemctl restart systemd-logind.service\n"
            f"dbus.service (pid {bus}): systemctl restart dbus.service\n"
            "restart: systemctl restart vrixtest-web.service\n"
            "restart last, ends sessions: systemctl restart dbus.service;"
            " systemctl restart systemd-logind.service; systemctl restart getty@tty1.service;"
            f" systemctl restart gdm.service; {root_bus}; systemctl restart user@65534.service\n", ""))
        under = [o for o in self.json_lines() if "under" in o]
        self.assertEqual([(o["name"], o["commands"], o["under"]) for o in under],
                         [("vrixtest-player.service", [], "user@65534.service"),
                          ("dbus.service", [], "user@65534.service")])

    def test_processes_of_other_pid_namespaces_get_no_host_command(self):
        plain = self.in_namespace(WEB)
        lxc = self.in_namespace("lxc.payload.vrixtest-app", argv0="[lxc monitor] /srv/lxc vrixtest-app")
        booted = self.in_namespace("lxc.payload.vrixtest-os", argv0="[lxc monitor] /srv/lxc vrixtest-os",
                                   init_name="systemd")
        machine = self.in_namespace("machine.slice/machine-vrixtest\\x2dos.scope/payload/system.slice/cron.service",
                                    init_name="systemd")
        nspawn = self.in_namespace("system.slice/systemd-nspawn@vrixtest.service/payload/system.slice/cron.service")
        unregistered = self.in_namespace("payload/system.slice/cron.service", argv0="systemd-nspawn")
        # A subtree that a service delegates is its job's to name: what it
        # calls nginx.service is not the host's.
        delegated = self.in_namespace("system.slice/vrixtest-runner.service/nginx.service/payload")
        job = self.deleted_in("system.slice/vrixtest-runner.service/nginx.service")
        status, out, _ = self.services()
        self.assertEqual((status, out), (2,
            f"container of process {plain} in vrixtest-web.service (pid {plain})\n"
            f"lxc vrixtest-app (pid {lxc}): lxc-stop -P /srv/lxc -n vrixtest-app"
            " && lxc-start -P /srv/lxc -n vrixtest-app\n"
            f"lxc vrixtest-os (pid {booted}): lxc-stop -r -P /srv/lxc -n vrixtest-os\n"
            f"machine vrixtest-os (pid {machine}): machinectl reboot vrixtest-os\n"
            f"nspawn vrixtest (pid {nspawn}): systemctl restart systemd-nspawn@vrixtest.service\n"
            f"nspawn container of process {unregistered} (pid {unregistered})\n"
            f"container of process {delegated} in vrixtest-runner.service (pid {delegated})\n"
            f"vrixtest-runner.service (pid {job}): systemctl restart vrixtest-runner.service\n"
            "restart: lxc-stop -P /srv/lxc -n vrixtest-app && lxc-start -P /srv/lxc -n vrixtest-app;"
            " lxc-stop -r -P /srv/lxc -n vrixtest-os; machinectl reboot vrixtest-os;"
            " systemctl restart systemd-nspawn@vrixtest.service vrixtest-runner.service\n"))

    def test_machines_by_what_answers_for_them(self):
        """machinectl where machined answers for the machine; else its
        systemd-nspawn@ unit where systemd has it; else no command."""
        stand_in(self.bin, "machinectl", 'test "$1 $2" = "show vrixtest-known"\n')
        stand_in(self.bin, "systemctl", 'test "$*" = "show --property=LoadState --'
                                        ' systemd-nspawn@vrixtest-unit.service"'
                                        ' && echo LoadState=loaded\n')
        pids = [self.in_namespace(f"machine.slice/machine-vrixtest\\x2d{name}.scope/payload"
                                  "/system.slice/cron.service", init_name="systemd")
                for name in ("known", "unit", "none")]
        self.assertEqual(self.services(), (2,
            f"machine vrixtest-known (pid {pids[0]}): machinectl reboot vrixtest-known\n"
            f"machine vrixtest-unit (pid {pids[1]}):"
            " systemctl restart systemd-nspawn@vrixtest-unit.service\n"
            f"machine vrixtest-none (pid {pids[2]})\n"
            "restart: machinectl reboot vrixtest-known;"
            " systemctl restart systemd-nspawn@vrixtest-unit.service\n", ""))

    def test_lxc_monitor_row_is_stopped_and_started(self):
        """The monitor of a booted container needs restarting: lxc-stop -r
        would keep it, so the container is stopped and started."""
        monitor = "[lxc monitor] /srv/lxc vrixtest-mon"
        payload = self.in_namespace("lxc.payload.vrixtest-mon", argv0=monitor, init_name="systemd")
        library = self.helpers._copy()
        proc = subprocess.Popen(["bash", "-c", 'exec -a "$0" "$@"', monitor, ARGS.mapper,
                                 "--unlink", library],
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(proc)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        CGROUPS.move(proc.pid, "lxc.monitor.vrixtest-mon")
        commands = ("lxc-stop -P /srv/lxc -n vrixtest-mon && lxc-start -P /srv/lxc -n vrixtest-mon")
        pids = " ".join(str(p) for p in sorted([payload, proc.pid]))
        self.assertEqual(self.services(), (2,
            f"lxc vrixtest-mon (pids {pids}): {commands}\nrestart: {commands}\n", ""))
        # The payload alone: a reboot inside keeps the monitor.
        proc.kill()
        self.assertEqual(self.services()[1].splitlines()[0],
                         f"lxc vrixtest-mon (pid {payload}): lxc-stop -r -P /srv/lxc -n vrixtest-mon")

    def joining(self, target, flag, cgroup):
        """A helper that joins a namespace of process target (nsenter's
        flag), moved into cgroup. Its host pid."""
        joiner = subprocess.Popen(["nsenter", "-t", str(target), flag, "--", ARGS.mapper, "--unlink",
                                   self.helpers._copy()],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(joiner)
        self.assertEqual(joiner.stdout.readline(), "ready\n")
        pid = next((int(p) for p in os.listdir("/proc") if p.isdigit() and parent(p) == joiner.pid),
                   joiner.pid)
        CGROUPS.move(pid, cgroup)
        return pid

    def test_a_container_that_others_joined_restarts_them_after_it(self):
        """B runs in A's PID namespace (docker's --pid container:A), E in
        D's network namespace (a pod's infra container): A's and D's
        restarts end them, so they are started again after, on the same
        line; C joined no one."""
        a_id, b_id, c_id, d_id, e_id = ("a1" * 32, "b2" * 32, "c3" * 32, "d4" * 32, "e5" * 32)
        a = self.in_namespace(f"system.slice/docker-{a_id}.scope")
        b = self.joining(a, "-p", f"system.slice/docker-{b_id}.scope")
        c = self.in_namespace(f"system.slice/docker-{c_id}.scope")
        infra = subprocess.Popen(["unshare", "--net", "--", ARGS.mapper, "--unlink", self.helpers._copy()],
                                 stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(infra)
        self.assertEqual(infra.stdout.readline(), "ready\n")
        d = infra.pid
        CGROUPS.move(d, f"system.slice/docker-{d_id}.scope")
        e = self.joining(d, "-n", f"system.slice/docker-{e_id}.scope")
        a12, b12, c12, d12, e12 = a_id[:12], b_id[:12], c_id[:12], d_id[:12], e_id[:12]
        self.assertEqual(self.services(), (2,
            f"docker {a12} (pid {a}): docker restart {a12} && docker restart {b12}\n"
            f"docker {b12} (pid {b}): started again after docker {a12}\n"
            f"docker {c12} (pid {c}): docker restart {c12}\n"
            f"docker {d12} (pid {d}): docker restart {d12} && docker restart {e12}\n"
            f"docker {e12} (pid {e}): started again after docker {d12}\n"
            f"restart: docker restart {a12} && docker restart {b12}; docker restart {c12};"
            f" docker restart {d12} && docker restart {e12}\n", ""))
        objects = self.json_lines()
        self.assertEqual([(o["name"], o["commands"], o.get("after")) for o in objects],
                         [(a12, [["docker", "restart", a12], ["docker", "restart", b12]], None),
                          (b12, [], f"docker {a12}"),
                          (c12, [["docker", "restart", c12]], None),
                          (d12, [["docker", "restart", d12], ["docker", "restart", e12]], None),
                          (e12, [], f"docker {d12}")])

    def test_connection_instances_end_with_their_connection(self):
        """An instance of a socket with Accept=yes: no restart (it would
        fail with "Got no socket"), its socket asked once."""
        asked = os.path.join(self.tmp, "asked")
        stand_in(self.bin, "systemctl", f'echo "$*" >> {asked}\n'
                                        'test "$*" = "show --property=Accept -- vrixtest-echo.socket"'
                                        ' && echo Accept=yes\n')
        name = "vrixtest-echo@%d-127.0.0.1:7777-127.0.0.1:4231%d.service"
        pids = [self.deleted_in("system.slice/system-vrixtest\\x2decho.slice/" + name % (n, n))
                for n in range(2)]
        db = self.deleted_in(TEMPLATE)
        self.assertEqual(self.services(), (2,
            f"{name % (0, 0)} (pid {pids[0]}): ends with its connection\n"
            f"{name % (1, 1)} (pid {pids[1]}): ends with its connection\n"
            f"vrixtest-db@15-main.service (pid {db}): systemctl restart vrixtest-db@15-main.service\n"
            "restart: systemctl restart vrixtest-db@15-main.service\n", ""))
        with open(asked) as f:
            self.assertEqual(f.read(), "show --property=Accept -- vrixtest-echo.socket\n"
                                       "show --property=Accept -- vrixtest-db.socket\n")
        self.assertEqual([(o["kind"], o["commands"]) for o in self.json_lines()],
                         [("connection", []), ("connection", []),
                          ("service", [["systemctl", "restart", "vrixtest-db@15-main.service"]])])

    def test_reboot_line(self):
        """Printed whether or not a process needs restarting: a newer kernel
        installed, the running release's image gone, the same release
        rebuilt, and /run/reboot-required; nothing when the running kernel
        is the newest installed, or when no image is seen at all."""
        old, new = env.OLD_BUILD, env.NEW_BUILD
        cases = [
            ("newer", ("6.1.0-18-amd64", old), {"6.1.0-18-amd64": old, "6.1.0-21-amd64": new},
             None, env.REBOOT_LINE,
             {"kind": "reboot", "running": "6.1.0-18-amd64", "installed": "6.1.0-21-amd64",
              "kernel": True, "required": False, "packages": ["linux-image-6.1.0-21-amd64"]}),
            ("gone", ("6.1.0-21-amd64", new), {"6.1.0-18-amd64": old}, None,
             "reboot: running 6.1.0-21-amd64, installed 6.1.0-18-amd64", None),
            ("rebuilt", ("6.1.0-18-amd64", old), {"6.1.0-18-amd64": new}, None,
             f"reboot: running 6.1.0-18-amd64 {old}, installed 6.1.0-18-amd64 {new}",
             {"kind": "reboot", "running": "6.1.0-18-amd64", "running_build": old,
              "installed": "6.1.0-18-amd64", "installed_build": new, "kernel": True,
              "required": False, "packages": []}),
            ("required", ("6.1.0-21-amd64", new), {"6.1.0-21-amd64": new}, ["libc6", "dbus"],
             "reboot: running 6.1.0-21-amd64, /run/reboot-required (libc6, dbus)",
             {"kind": "reboot", "running": "6.1.0-21-amd64", "installed": "6.1.0-21-amd64",
              "kernel": False, "required": True, "packages": ["libc6", "dbus"]}),
            ("current", ("6.1.0-21-amd64", new), {"6.1.0-18-amd64": old, "6.1.0-21-amd64": new},
             None, None, None),
            ("no image", ("6.1.0-21-amd64", new), {}, None, None, None),
        ]
        web = None
        for what, running, images, required, line, obj in cases:
            with self.subTest(what=what):
                root = env.stand_in_root(os.path.join(self.tmp, what), running, images,
                                         packages=["linux-image-6.1.0-21-amd64"], required=required)
                after = "" if line is None else line + "\n"
                self.assertEqual(self.services("-R", root), (0, after, ""))
                self.assertEqual(self.services("-l", "-R", root), (0, after, ""))
                if obj is not None:
                    status, out, err = self.services("-j", "-R", root)
                    self.assertEqual((status, [json.loads(l) for l in out.splitlines()], err),
                                     (0, [obj], ""))
        # After what needs restarting, and its restart line.
        web = self.deleted_in(WEB)
        root = env.upgraded_root(os.path.join(self.tmp, "upgraded"))
        self.assertEqual(self.services("-R", root), (2,
            f"vrixtest-web.service (pid {web}): systemctl restart vrixtest-web.service\n"
            "restart: systemctl restart vrixtest-web.service\n" + env.REBOOT_LINE + "\n", ""))
        self.assertEqual(self.services("-l", "-R", root),
                         (2, f"{web} vrixtest-web.service\n{env.REBOOT_LINE}\n", ""))

    def started_by(self, argv0, args, flags=CLONE_NEWPID, python=sys.executable, prefix=(),
                   mapper=ARGS.mapper, where=None):
        """The first process of a PID namespace (and a user namespace with
        CLONE_NEWUSER) that a process whose command line reads argv0 and
        args started; its host pid."""
        library = os.path.join(where or self.tmp, f"lib{os.urandom(4).hex()}.so")
        shutil.copy(ARGS.testlib, library)
        os.chmod(library, 0o755)
        proc = subprocess.Popen([*prefix, "bash", "-c", 'exec -a "$0" "$@"', argv0, python, "-c",
                                 STARTER % flags, *args, mapper, "--unlink", library],
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.others.append(proc)
        self.assertEqual(proc.stdout.readline(), "ready\n")
        return next(int(p) for p in os.listdir("/proc") if p.isdigit() and parent(p) == proc.pid)

    def test_runtime_monitors_name_their_containers(self):
        """The first process of a namespace started by a process whose
        command line is conmon's or docker's shim's, in a cgroup of no
        container."""
        pids = []
        for name, args in (("conmon", ["-c", PODMAN_ID]),
                           ("containerd-shim-runc-v2", ["-namespace", "moby", "-id", DOCKER_ID])):
            child = self.started_by(name, args)
            CGROUPS.move(child, "system.slice/vrixtest-web.service")
            pids.append(child)
        self.assertEqual(self.services(), (2,
            f"podman {PODMAN_ID[:12]} (pid {pids[0]}): podman restart {PODMAN_ID[:12]}\n"
            f"docker {DOCKER_ID[:12]} (pid {pids[1]}): docker restart {DOCKER_ID[:12]}\n"
            f"restart: podman restart {PODMAN_ID[:12]}; docker restart {DOCKER_ID[:12]}\n", ""))

    def test_starters_that_users_run_name_nothing(self):
        """A user's processes whose command lines are those of LXC's
        monitor, docker's shim, conmon and systemd-nspawn, each starting a
        user and a PID namespace: no container's name, no lxcpath, no
        command. A user's own conmon, root's program, is that user's
        podman, restarted as that user."""
        where, (mapper,) = env.world_readable_copies([ARGS.mapper])
        conmon = os.path.join(where, "conmon")
        shutil.copy(sys.executable, conmon)
        libraries = os.path.join(where, "lib")  # where the user may delete them
        os.mkdir(libraries)
        os.chown(libraries, 65534, NOGROUP)
        fakes = [self.started_by(argv0, args, CLONE_NEWUSER | CLONE_NEWPID, prefix=env.NOBODY,
                                 mapper=mapper, where=libraries)
                 for argv0, args in (("[lxc monitor] /tmp/lxc web", []),
                                     ("containerd-shim-runc-v2", ["-namespace", "moby", "-id", DOCKER_ID]),
                                     ("conmon", ["-c", PODMAN_ID]),
                                     ("systemd-nspawn", ["-M", "web"]))]
        rootless = self.started_by("conmon", ["-c", PODMAN_ID], CLONE_NEWUSER | CLONE_NEWPID,
                                   python=conmon, prefix=env.NOBODY, mapper=mapper, where=libraries)
        as_nobody = AS_NOBODY.replace(" systemctl --user", "") + f" podman restart {PODMAN_ID[:12]}"
        try:
            self.assertEqual(self.services(), (2, "".join(
                f"container of process {pid} (pid {pid})\n" for pid in fakes) +
                f"podman {PODMAN_ID[:12]} of {NOBODY} (pid {rootless}): {as_nobody}\n"
                f"restart: {as_nobody}\n", ""))
            objects = self.json_lines()
            self.assertEqual([(o["kind"], o["name"], o["commands"], "lxcpath" in o) for o in objects],
                             [("container", "", [], False)] * 4 +
                             [("container", PODMAN_ID[:12], [as_nobody.split()], False)])
            self.assertEqual((objects[4]["user"], objects[4]["uid"]), (NOBODY, 65534))
        finally:
            shutil.rmtree(where)

    def test_a_reused_pid_is_blamed_on_nothing(self):
        pid = self.deleted_in(WEB)
        table = os.path.join(self.tmp, "table")
        with open(table, "w") as f:
            f.write(env.run([ARGS.vrix, "-h"])[1])
        self.helpers.stop()
        time.sleep(0.2)
        # The same executable, in the same unit, at the same pid, but
        # started after the table was made; then another executable.
        for argv in ([ARGS.mapper, "--unlink"], ["sleep", "1000"]):
            with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                f.write(str(pid - 1))
            if argv[0] == "sleep":
                proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
            else:
                library = os.path.join(self.tmp, "libreused.so")
                shutil.copy(ARGS.testlib, library)
                proc = subprocess.Popen(argv + [library], stdout=subprocess.PIPE, text=True)
                self.assertEqual(proc.stdout.readline(), "ready\n")
            self.others.append(proc)
            self.assertEqual(proc.pid, pid)
            CGROUPS.move(pid, WEB)
            with self.subTest(argv=argv[0]):
                self.assertEqual(self.services("-", table_file=table),
                                 (2, f"process {pid} {ARGS.mapper}, no longer running\n", ""))
            proc.kill()
            proc.wait()
            proc.stdout.close()
            self.others.remove(proc)

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
        # One that ignores SIGTERM is killed after its grace time.
        stand_in(self.bin, "podman", "trap '' TERM; exec sleep 100\n")
        start = time.monotonic()
        self.assertEqual(self.services(), (2, short, ""))
        self.assertLess(time.monotonic() - start, 10)

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
        # What is not such a table gives no advice at all.
        row = env.row(pid, "miss", ARGS.mapper) + "\n"
        for text, line_no in (("vrix: cannot open file 'x'\n", 1), (row + "garbage\n", 2),
                              (row + row.replace("miss", "gone"), 2), ("\x00" + row, 1),
                              (row + "   pid    jid stat command\n", 2)):
            with self.subTest(text=text):
                self.assertEqual(self.services("-j", "-", stdin=text), (
                    65, "", f"vrix-services: standard input, line {line_no}: not a row of vrix's table\n"))

    def test_pids_and_labels_for_scripts(self):
        web = [self.deleted_in(WEB), self.deleted_in(WEB)]
        name = self.deleted_in(f"{USER_MANAGER}/app.slice/{os.fsdecode(HOSTILE)}")
        self.helpers.deleted()
        self.assertEqual(self.services("-l"), (2,
            f"{web[0]} vrixtest-web.service\n{web[1]} vrixtest-web.service\n"
            f"{name} {env.HOSTILE_SHOWN} of {NOBODY}\n", ""))

    def test_whitelist_errors_and_usage(self):
        self.deleted_in(WEB)
        whitelist = os.path.join(self.tmp, "whitelist")
        self.assertEqual(env.run([ARGS.vrix, "-c", whitelist])[0], 2)
        self.assertEqual(self.services("-w", whitelist), (0, "", ""))
        missing = os.path.join(self.tmp, "none")
        self.assertEqual(self.services("-w", missing), (
            1, "", f"vrix: cannot open file '{missing}': No such file or directory\n"))
        for args in (["-x"], ["-w"], ["extra"], ["-w", whitelist, "-"], ["-", "-"], ["-c", "x"],
                     ["-j", "-l"]):
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
