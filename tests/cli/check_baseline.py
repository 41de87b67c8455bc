#!/usr/bin/env python3
"""busdump --save-baseline on a healthy simulated bus, then --baseline against runs of that bus
with faults, one case a row: the alerts raised, those cleared by the end, and for exact cases
that nothing else was raised and that each alert came within 1 s (card time) of the run that
made or ended its fault, counted from when that run's gateway named its card (its first
lifesigns name none: busdump cannot tell which baseline applies before). A run of several gateways is one card restarted, which
busdump follows as one sender.
   check_baseline.py BUSGATED BUSDUMP"""
import json, os, signal, socket, struct, subprocess, sys, tempfile, time

busgated, busdump = sys.argv[1], sys.argv[2]
SERIAL = 0x4C530001
# One scan of the periodic variables a macrocycle: each has one period, which a fault doubles.
BUS = "bitrate=500000,cycle_us=10000,stations=6,"
HEALTHY = BUS + "absent=1"
RUN_SECONDS = 3
STATION_4_GONE = {("station_missing", "4")} | {("identifier_missing", "0x%04x" % (b | 4))
                                                 for b in (0x0200, 0x0300, 0x0500, 0x0600, 0x1000, 0x1100)}
SILENT_AND_SLOW = {("station_missing", "4"), ("period", "0x0201")}
# what, the gateway's runs one after another, alerts raised, alerts cleared by the end,
# whether the raised ones are all there is (and timed)
CASES = [
    ("same bus", [HEALTHY], set(), set(), True),
    ("station 4 out of the configuration", [BUS + "absent=2"], STATION_4_GONE, set(), False),
    ("station 4 silent and 0x0201 at half rate, then restarted healthy",
     [HEALTHY + ",silent=4,slow_id=0x0201", HEALTHY], SILENT_AND_SLOW, SILENT_AND_SLOW, True),
]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def runs_of(capture):
    """Per gateway run (by source port, in order) in a busdump -w file: the card time of its first
    event, and of the first event from the datagram on whose lifesign names the card (busdump
    compares a sender with its baseline from then on)."""
    first, named, naming = {}, {}, set()
    with open(capture, "rb") as f:
        data = f.read()
    at = 24
    while at + 16 <= len(data):
        length = struct.unpack_from("<I", data, at + 8)[0]
        packet = data[at + 16:at + 16 + length]
        at += 16 + length
        ip = packet[14:]
        udp = ip[(ip[0] & 0x0F) * 4:]
        port, payload = struct.unpack_from(">H", udp, 0)[0], udp[8:]
        offset = 16
        while offset + 23 <= len(payload):
            kind, record_length = payload[offset], struct.unpack_from(">H", payload, offset + 1)[0]
            if kind == 0xC1 and struct.unpack_from(">I", payload, offset + 19)[0] != 0:
                naming.add(port)
            if kind == 0xC0:
                time_us = struct.unpack_from(">Q", payload, offset + 13)[0]
                first.setdefault(port, time_us)
                if port in naming:
                    named.setdefault(port, time_us)
            offset += max(record_length, 3)
    return [(first[port], named.get(port, 0)) for port in sorted(first, key=first.get)]


def run(work, sims, dump_args):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    capture = os.path.join(work, "run.pcap")
    seconds = 2 + len(sims) * (RUN_SECONDS + 1)
    dump = subprocess.Popen([busdump, "-b", "127.0.0.1", "-p", str(port), "--json", "-t", str(seconds), "-w", capture]
                            + dump_args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    for number, sim in enumerate(sims):
        env = dict(os.environ, LINKSCOPE_SIM=sim, LINKSCOPE_LOCK_DIR=work)
        gateway = subprocess.Popen([busgated, "-a", "127.0.0.1", "-p", str(port), "-B",
                                    os.path.join(work, "buffer-%d.bin" % number)],
                                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(RUN_SECONDS)
        gateway.send_signal(signal.SIGINT)
        gateway.wait(10)
        time.sleep(0.5)
    out, err = dump.communicate(timeout=seconds + 20)
    check(dump.returncode == 0, "busdump %s: status %s, %s" % (dump_args, dump.returncode, err))
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")], runs_of(capture)


with tempfile.TemporaryDirectory(prefix="busdump-baseline-") as work:
    path = os.path.join(work, "baseline.json")
    run(work, [HEALTHY], ["--save-baseline", path])
    with open(path) as f:
        saved = json.load(f)
    senders = saved["senders"]
    check(len(senders) == 1 and senders[0]["sn"] == SERIAL, "baseline senders %s" % senders)
    check([s["address"] for s in senders[0]["stations"]] == [0, 1, 2, 3, 4], "baseline stations")

    for what, sims, raised_wanted, cleared_wanted, exact in CASES:
        objects, runs = run(work, sims, ["--baseline", path])
        alerts = [o for o in objects if o["type"] == "alert"]
        raised = {(a["alert"], a["subject"]) for a in alerts if a["state"] == "raised"}
        cleared = {(a["alert"], a["subject"]) for a in alerts if a["state"] == "cleared"}
        check(len(runs) == len(sims), "%s: runs seen %s" % (what, runs))
        if exact:
            check(raised == raised_wanted, "%s: raised %s" % (what, sorted(raised)))
            check(cleared == cleared_wanted, "%s: cleared %s" % (what, sorted(cleared)))
            for a in alerts if len(runs) == len(sims) else []:
                # Raised by the first run's fault, cleared by the run that ended it: within 1 s of
                # that run's first event once its gateway named the card.
                started, named = runs[0] if a["state"] == "raised" else runs[-1]
                check(0 < named and 0 <= a["time_us"] - named <= 1000000, "%s: %s %s %s at %d us, named at %d us" %
                      (what, a["alert"], a["subject"], a["state"], a["time_us"] - started, named - started))
        else:
            check(raised_wanted <= raised, "%s: missing alerts %s" % (what, sorted(raised_wanted - raised)))
            check(not any(kind in ("station_new", "identifier_new", "error_rate") for kind, _ in raised),
                  "%s: unexpected alerts %s" % (what, sorted(raised)))
            check(cleared_wanted <= cleared, "%s: not cleared %s" % (what, sorted(cleared_wanted - cleared)))
        check(all(a["sn"] == SERIAL and a["time_us"] > 0 for a in alerts), "%s: alert fields" % what)

    with open(os.path.join(work, "broken.json"), "w") as f:
        f.write('{"format":"busdump-baseline-1","senders":[')
    bad = subprocess.run([busdump, "--baseline", os.path.join(work, "broken.json")], capture_output=True, text=True)
    check(bad.returncode == 2 and "broken.json" in bad.stderr, "broken baseline: %s %s" % (bad.returncode, bad.stderr))
sys.exit(1 if failures else 0)
