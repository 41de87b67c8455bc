#!/usr/bin/env python3
"""busdump --save-baseline on a healthy simulated bus, then --baseline against the same bus
(no alert at all) and against that bus with station 4 gone (exactly its alerts).
   check_baseline.py BUSGATED BUSDUMP"""
import json, os, signal, socket, subprocess, sys, tempfile, time

busgated, busdump = sys.argv[1], sys.argv[2]
HEALTHY = "stations=6,absent=1"
failures = []

def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)

def run(work, sim, dump_args):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    dump = subprocess.Popen([busdump, "-b", "127.0.0.1", "-p", str(port), "--json", "-t", "5"] + dump_args,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    env = dict(os.environ, LINKSCOPE_SIM="bitrate=500000," + sim, LINKSCOPE_LOCK_DIR=work)
    gateway = subprocess.Popen([busgated, "-a", "127.0.0.1", "-p", str(port), "-B", os.path.join(work, "buffer.bin")],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)
    gateway.send_signal(signal.SIGINT)
    gateway.wait(10)
    out, err = dump.communicate(timeout=20)
    check(dump.returncode == 0, "busdump %s: status %s, %s" % (dump_args, dump.returncode, err))
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

with tempfile.TemporaryDirectory(prefix="busdump-baseline-") as work:
    path = os.path.join(work, "baseline.json")
    run(work, HEALTHY, ["--save-baseline", path])
    with open(path) as f:
        saved = json.load(f)
    senders = saved["senders"]
    check(len(senders) == 1 and senders[0]["sn"] == 0x4C530001, "baseline senders %s" % senders)
    check([s["address"] for s in senders[0]["stations"]] == [0, 1, 2, 3, 4], "baseline stations")

    same = [o for o in run(work, HEALTHY, ["--baseline", path]) if o["type"] == "alert"]
    check(same == [], "alerts on the healthy bus: %s" % same)

    alerts = [o for o in run(work, "stations=6,absent=2", ["--baseline", path]) if o["type"] == "alert"]
    raised = {(a["alert"], a["subject"]) for a in alerts if a["state"] == "raised"}
    gone = {("station_missing", "4")} | {("identifier_missing", "0x%04x" % (b | 4))
                                          for b in (0x0200, 0x0300, 0x0500, 0x0600, 0x1000, 0x1100)}
    check(gone <= raised, "missing alerts %s" % sorted(gone - raised))
    check(not any(kind in ("station_new", "identifier_new", "error_rate") for kind, _ in raised),
          "unexpected alerts %s" % sorted(raised))
    check(all(a["sn"] == 0x4C530001 and a["time_us"] > 0 for a in alerts), "alert fields")

    with open(os.path.join(work, "broken.json"), "w") as f:
        f.write('{"format":"busdump-baseline-1","senders":[')
    bad = subprocess.run([busdump, "--baseline", os.path.join(work, "broken.json")], capture_output=True, text=True)
    check(bad.returncode == 2 and "broken.json" in bad.stderr, "broken baseline: %s %s" % (bad.returncode, bad.stderr))
sys.exit(1 if failures else 0)
