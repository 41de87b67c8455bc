#!/usr/bin/env python3
"""Two simulated buses, one gateway each, into one busdump --analyze --json: each sender's
stations, identifiers, periods and macrocycle are those its simulated bus was configured with.
   check_analyze.py BUSGATED BUSDUMP"""
import json, os, signal, socket, subprocess, sys, tempfile, time

busgated, busdump = sys.argv[1], sys.argv[2]
# Per card (serial 0x4c53000n): the simulator's settings, as docs/simulator.md describes them.
BUSES = {0x4C530001: dict(index=0, stations=6, absent=1, cycle_us=20000),
         0x4C530002: dict(index=1, stations=4, absent=0, cycle_us=40000)}
failures = []

def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)

def near(value, expected):  # within 1 %
    return value is not None and abs(value - expected) <= 0.01 * expected

def expected_identifiers(bus):
    present = bus["stations"] - bus["absent"]
    periodic = {0x0200 | s for s in range(present)} | {0x0300 | s for s in range(0, present, 2)}
    per_cycle = periodic | {0x9080, 0x9002, 0x9003}
    rotating = {0x1400 | s for s in range(bus["stations"])}    # one station's turn a cycle
    rotating |= {b | s for s in range(present) for b in (0x1000, 0x1100)}
    messages = {b | m for m in range(present) for b in (0x0500, 0x0600)}  # one present station a cycle
    return periodic, per_cycle, rotating, messages

def check_sender(serial, bus, final):
    name = "sn %#x" % serial
    present = bus["stations"] - bus["absent"]
    losses = final["losses"]
    check(all(v == 0 for v in losses.values()) and set(losses) == {"card", "gateway_queue", "gateway_send", "network", "receiver", "malformed"}, "%s: losses %s" % (name, losses))
    stations = {s["address"]: s for s in final["stations"]}
    check(sorted(a for a, s in stations.items() if s["present"]) == list(range(present)),
          "%s: present stations %s" % (name, sorted(a for a, s in stations.items() if s["present"])))
    check(sorted(a for a, s in stations.items() if not s["present"]) == list(range(present, bus["stations"])),
          "%s: absent stations" % name)
    for a in range(present):
        s = stations.get(a, {})
        check(s.get("frames", 0) > 0 and s.get("name") == "STATION-%03u" % a and s.get("missed_presence") == 0
              and not any(s["errors"].values()), "%s: station %u %s" % (name, a, s))
    periodic, per_cycle, rotating, messages = expected_identifiers(bus)
    ids = {i["identifier"]: i for i in final["identifiers"]}
    check(set(ids) == per_cycle | rotating | messages,
          "%s: identifiers %s" % (name, sorted("%#06x" % i for i in set(ids) ^ (per_cycle | rotating | messages))))
    cycle_us = bus["cycle_us"]
    for ident, i in ids.items():
        check(i["producer"] == (None if ident >> 8 == 0x90 else ident & 0xFF), "%s: producer of %#06x" % (name, ident))
        check(i["late"] == 0 and i["missed"] == 0, "%s: %#06x late/missed %s" % (name, ident, i))
        period = i["period_us"]["mean"]
        if ident in per_cycle - periodic:
            check(near(period, cycle_us), "%s: %#06x period %s" % (name, ident, period))
        elif ident in periodic:  # scanned a whole number of times a macrocycle
            check(near(period, cycle_us / round(cycle_us / period)), "%s: %#06x period %s" % (name, ident, period))
        elif ident in rotating:
            check(near(period, bus["stations"] * cycle_us), "%s: %#06x period %s" % (name, ident, period))
        else:
            check(near(period, present * cycle_us), "%s: %#06x period %s" % (name, ident, period))
        check(i["in_cycle"] == (ident in per_cycle), "%s: %#06x in_cycle" % (name, ident))
    cycle = final["cycle"]
    check(near(cycle["length_us"], cycle_us), "%s: macrocycle %s" % (name, cycle["length_us"]))
    check(set(cycle["identifiers"]) == per_cycle and cycle["identifiers"][0] == 0x9080,
          "%s: macrocycle identifiers %s" % (name, cycle["identifiers"]))

with tempfile.TemporaryDirectory(prefix="busdump-analyze-") as work:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    dump = subprocess.Popen([busdump, "-b", "127.0.0.1", "-p", str(port), "--analyze", "--json", "-t", "7"],
                            stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    gateways = []
    for serial, bus in BUSES.items():
        settings = "devices=1+2,bitrate=500000,stations=%(stations)u,absent=%(absent)u,cycle_us=%(cycle_us)u" % bus
        env = dict(os.environ, LINKSCOPE_SIM=settings, LINKSCOPE_LOCK_DIR=work)
        gateways.append(subprocess.Popen(
            [busgated, "-i", str(bus["index"]), "-a", "127.0.0.1", "-p", str(port), "-B",
             os.path.join(work, "buffer%u.bin" % bus["index"]), "-S", "8388608"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    time.sleep(5)
    for gateway in gateways:
        gateway.send_signal(signal.SIGINT)
        check(gateway.wait(10) == 0, "gateway exit status")
    out, _ = dump.communicate(timeout=20)
    check(dump.returncode == 0, "busdump exit status %s" % dump.returncode)

objects = [json.loads(line) for line in out.splitlines() if line.startswith('{"type":"analysis"')]
for serial, bus in BUSES.items():
    mine = [o for o in objects if o["sn"] == serial]
    finals = [o for o in mine if o["final"]]
    check(len(finals) == 1 and len(mine) >= 4, "sn %#x: %u objects, %u final" % (serial, len(mine), len(finals)))
    if finals:
        check_sender(serial, bus, finals[0])
sys.exit(1 if failures else 0)
