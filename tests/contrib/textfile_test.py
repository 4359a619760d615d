"""contrib/prometheus/vrix-textfile against real vrix runs in a PID namespace
of its own, its output read by the Prometheus client library's parser."""

import os
import shutil
import stat
import tempfile
import time
import unittest

import contrib_env as env

ARGS = env.parse_args()
env.enter_pid_namespace()
CGROUPS = env.Cgroups()
# vrix-services, found as the script finds it installed.
env.services_in_path(ARGS)
try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    env.skip("prometheus_client not found (apt-get install python3-prometheus-client)")

SCRIPT = os.path.join(ARGS.contrib, "prometheus", "vrix-textfile")
FAMILIES = {"vrix_processes", "vrix_last_run_exit_status", "vrix_last_run_timestamp_seconds",
            "vrix_last_run_duration_seconds", "vrix_reboot_needed"}


def textfile(*args, prefix=(), vrix=ARGS.vrix, script=SCRIPT):
    return env.run([*prefix, "env", f"VRIX={vrix}", script, *args])


def metrics(path):
    """{name, name{stat} or name{stat,unit}: value}, checking that every
    family is a documented gauge."""
    with open(path) as f:
        families = list(text_string_to_metric_families(f.read()))
    assert {f.name for f in families} == FAMILIES, families
    values = {}
    for family in families:
        assert family.type == "gauge" and family.documentation, family
        for sample in family.samples:
            key = sample.name
            if sample.labels:
                labels = [sample.labels["stat"]]
                if sample.labels["unit"]:
                    labels.append(sample.labels["unit"])
                key += "{%s}" % ",".join(labels)
            values[key] = sample.value
    return values


def by_stat(values):
    return {s: values["vrix_processes{%s}" % s] for s in ("miss", "outd", "err", "all")}


class TextfileTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vrix-textfile-")
        self.out_dir = os.path.join(self.tmp, "collector")
        os.mkdir(self.out_dir)
        self.prom = os.path.join(self.out_dir, "vrix.prom")
        self.helpers = env.Helpers(ARGS, self.tmp)
        self.helpers.untouched()

    def tearDown(self):
        self.helpers.stop()
        shutil.rmtree(self.tmp)

    def test_reboot_needed(self):
        self.assertEqual(textfile(self.prom), (0, "", ""))
        self.assertEqual(metrics(self.prom)["vrix_reboot_needed"], 0)
        restore = env.services_reading(ARGS, env.upgraded_root(os.path.join(self.tmp, "root")))
        try:
            self.assertEqual(textfile(self.prom), (0, "", ""))
            self.assertEqual(metrics(self.prom)["vrix_reboot_needed"], 1)
        finally:
            restore()

    def test_rows_by_stat_status_and_timing(self):
        self.helpers.deleted()
        self.helpers.replaced()
        before = time.time()
        self.assertEqual(textfile(self.prom), (0, "", ""))
        after = time.time()
        values = metrics(self.prom)
        self.assertEqual(by_stat(values), {"miss": 1, "outd": 1, "err": 0, "all": 2})
        self.assertEqual(values["vrix_last_run_exit_status"], 2)
        started = values["vrix_last_run_timestamp_seconds"]
        self.assertTrue(before - 1 <= started <= after, (before, started, after))
        self.assertTrue(0 <= values["vrix_last_run_duration_seconds"] <= after - before + 0.001)
        # Readable by the exporter's user; no temporary file left behind.
        self.assertEqual(stat.S_IMODE(os.stat(self.prom).st_mode), 0o644)
        self.assertEqual(os.listdir(self.out_dir), ["vrix.prom"])

    def test_rows_by_unit(self):
        web = "system.slice/vrixtest-web.service"
        CGROUPS.move(self.helpers.deleted(), web)
        CGROUPS.move(self.helpers.replaced(), web)
        CGROUPS.move(self.helpers.deleted(), "lxc.payload.vrixtest-ct")
        # A user's cgroup whose name reads as more than one unit, and holds
        # bytes that are no text: one unit, its label valid UTF-8.
        CGROUPS.move(self.helpers.deleted(), env.USER_APPS + os.fsdecode(env.HOSTILE))
        self.helpers.deleted()
        self.assertEqual(textfile(self.prom), (0, "", ""))
        values = metrics(self.prom)
        self.assertEqual(by_stat(values), {"miss": 1, "outd": 0, "err": 0, "all": 1})
        for unit, counts in [("vrixtest-web.service", (1, 1, 0, 2)),
                             ("lxc vrixtest-ct", (1, 0, 0, 1)),
                             (env.HOSTILE_SHOWN + " of nobody", (1, 0, 0, 1))]:
            self.assertEqual(tuple(values["vrix_processes{%s,%s}" % (s, unit)]
                                   for s in ("miss", "outd", "err", "all")), counts)
        self.assertEqual(len([k for k in values if k.startswith("vrix_processes")]), 16)

    def test_whitelist_and_its_errors(self):
        self.helpers.deleted()
        whitelist = os.path.join(self.tmp, "whitelist")
        self.assertEqual(env.run([ARGS.vrix, "-c", whitelist])[0], 2)
        self.assertEqual(textfile(self.prom, whitelist), (0, "", ""))
        values = metrics(self.prom)
        self.assertEqual(by_stat(values), {"miss": 0, "outd": 0, "err": 0, "all": 0})
        self.assertEqual(values["vrix_last_run_exit_status"], 0)

        # vrix's error goes to standard error; the status shows it.
        missing = os.path.join(self.tmp, "none")
        self.assertEqual(textfile(self.prom, missing), (
            0, "", f"vrix: cannot open file '{missing}': No such file or directory\n"))
        values = metrics(self.prom)
        self.assertEqual(by_stat(values), {"miss": 0, "outd": 0, "err": 0, "all": 0})
        self.assertEqual(values["vrix_last_run_exit_status"], 1)

    def test_unreadable_processes_count_as_err(self):
        # Without root, the namespace's first process and the helpers (root's)
        # cannot be inspected.
        self.helpers.deleted()
        where, (script, vrix) = env.world_readable_copies([SCRIPT, ARGS.vrix])
        try:
            os.chmod(self.tmp, 0o755)
            os.chown(self.out_dir, 65534, 65534)
            self.assertEqual(textfile(self.prom, prefix=env.NOBODY, vrix=vrix,
                                      script=script), (0, "", ""))
        finally:
            shutil.rmtree(where)
        values = metrics(self.prom)
        unreadable = 1 + self.helpers.count()
        self.assertEqual(by_stat(values), {"miss": 0, "outd": 0, "err": unreadable,
                                           "all": unreadable})
        self.assertEqual(values["vrix_last_run_exit_status"], 1)

    def test_previous_file_is_replaced_not_rewritten(self):
        # The exporter may be reading the previous file: it must stay whole.
        with open(self.prom, "w") as f:
            f.write("old\n")
        kept = os.path.join(self.tmp, "old-link")
        os.link(self.prom, kept)
        self.assertEqual(textfile(self.prom)[0], 0)
        with open(kept) as f:
            self.assertEqual(f.read(), "old\n")
        self.assertEqual(metrics(self.prom)["vrix_last_run_exit_status"], 0)

    def test_failures(self):
        nowhere = os.path.join(self.tmp, "absent", "vrix.prom")
        status, out, err = textfile(nowhere)
        self.assertEqual((status, out), (1, ""))
        self.assertIn("absent", err)
        self.assertEqual(textfile(), (64, "", "usage: vrix-textfile output [whitelist]\n"))
        self.assertEqual(textfile("a", "b", "c")[0], 64)
        # No vrix at all: the file still tells, with the shell's status.
        status, out, err = textfile(self.prom, vrix=os.path.join(self.tmp, "absent"))
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(metrics(self.prom)["vrix_last_run_exit_status"], 127)


if __name__ == "__main__":
    unittest.main(argv=ARGS.unittest_argv)
