"""The README's loop over a fleet, run as written by sh, with an `ssh` that
runs the real vrix here in a different way for each host, in a PID
namespace of its own."""

import os
import shutil
import tempfile
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()

LOOP = "\n".join(env.readme_block("    for host in $(cat hosts); do"))
# ssh HOST vrix OPTIONS: each host is a way of running the vrix under test.
SSH = """#!/bin/sh
host=$1
shift 2
case $host in
clean) exec {vrix} -w {whitelist} "$@" ;;
web) exec {vrix} "$@" ;;
pid1-locked) exec {confined} {vrix} "$@" ;;
pid1-locked-clean) exec {confined} {vrix} -w {whitelist} "$@" ;;
bad-whitelist) exec {vrix} -w /nonexistent "$@" ;;
down) echo "ssh: connect to host down port 22: No route to host" >&2; exit 255 ;;
esac
"""


class FleetLoopTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-fleet-")
        # Confined, so that a confined vrix reads it, and a full root too.
        self.helpers = env.Helpers(ARGS, self.tmp, prefix=env.CONFINED)

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def test_loop(self):
        self.helpers.deleted()
        whitelist = os.path.join(self.tmp, "whitelist")
        self.assertEqual(env.run([ARGS.vrix, "-c", whitelist])[0], 2)
        bin_dir = os.path.join(self.tmp, "bin")
        os.mkdir(bin_dir)
        with open(os.path.join(bin_dir, "ssh"), "w") as f:
            f.write(SSH.format(vrix=ARGS.vrix, whitelist=whitelist,
                               confined=" ".join(env.CONFINED)))
        os.chmod(os.path.join(bin_dir, "ssh"), 0o755)
        hosts = ["clean", "web", "pid1-locked", "pid1-locked-clean", "bad-whitelist", "down"]
        with open(os.path.join(self.tmp, "hosts"), "w") as f:
            f.write("\n".join(hosts) + "\n")
        path = bin_dir + os.pathsep + os.environ["PATH"]
        self.assertEqual(
            env.run(["sh", "-c", LOOP], cwd=self.tmp, env=dict(os.environ, PATH=path)),
            (0, "web: restart needed\n"
                "pid1-locked: restart needed\n"
                "pid1-locked: some processes could not be inspected\n"
                "pid1-locked-clean: some processes could not be inspected\n"
                "bad-whitelist: vrix failed\n"
                "down: vrix failed\n",
             "vrix: cannot open file '/nonexistent': No such file or directory\n"
             "ssh: connect to host down port 22: No route to host\n"))


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
