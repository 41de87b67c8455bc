#!/usr/bin/env python3
"""A loss made at one stage of the road from the bus to busdump is charged to that stage in full
and to no other: a card that skips frames, a queue too small for a burst, sends that fail (in a
network namespace of the test's own), a relay on 127.0.0.1 that drops or spoils one datagram in
ten, a busdump stopped until its socket overflows. A busdump built from main, when given, counts
the loss records as unknown records and loses nothing.
   check_losses.py BUSGATED BUSDUMP [BUSDUMP_AT_MAIN]"""
import json, os, re, signal, socket, subprocess, sys, tempfile, threading, time

busgated, busdump = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
old_busdump = os.path.abspath(sys.argv[3]) if len(sys.argv) == 4 else os.environ.get("BUSDUMP_AT_MAIN", "")
STAGES = ("card", "gateway_queue", "gateway_send", "network", "receiver", "malformed")
NETNS_ADDRESS = "10.9.9.1"  # only inside the namespace, on its loopback
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Relay(threading.Thread):
    """Forwards to busdump; the fifth datagram of every ten is dropped, or spoiled: the first
    record's length (header sound) and the magic in turn. `copy_port` gets them all unchanged."""

    def __init__(self, to_port, action, copy_port):
        super().__init__(daemon=True)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.port, self.to_port, self.action, self.copy_port = self.socket.getsockname()[1], to_port, action, copy_port
        self.touched, self.unseen, self.running = 0, 0, True

    def run(self):
        count = 0
        while self.running:
            try:
                data = bytearray(self.socket.recv(65536))
            except socket.timeout:
                continue
            count += 1
            if self.copy_port:
                self.socket.sendto(data, ("127.0.0.1", self.copy_port))
            if self.action and count % 10 == 5:
                if self.action == "drop":
                    # A drop counts once a later datagram shows the gap: after the last
                    # datagram of the run no receiver could tell.
                    self.unseen += 1
                    continue
                self.touched += 1
                at, spoiled = (17, b"\xff\xff") if self.touched % 2 else (0, b"XX")
                data[at:at + 2] = spoiled
            self.socket.sendto(data, ("127.0.0.1", self.to_port))
            self.touched, self.unseen = self.touched + self.unseen, 0


def udp_drops(port):  # what the system counted for busdump's socket
    for line in open("/proc/net/udp").readlines()[1:]:
        if int(line.split()[1].split(":")[1], 16) == port:
            return int(line.split()[-1])


def run_case(case, work):
    """A gateway into busdump as the case says: busdump's JSON objects, the socket's drops, the log."""
    port, old = free_port(), None
    dump = subprocess.Popen([busdump, "-b", case.get("listen", "127.0.0.1"), "-p", str(port), "--json"] + case["view"],
                            stdout=subprocess.PIPE, text=True, stderr=subprocess.DEVNULL)
    if case.get("old"):
        old_port = free_port()
        old = subprocess.Popen([old_busdump, "-b", "127.0.0.1", "-p", str(old_port), "--json", "-s"],
                               stdout=subprocess.PIPE, text=True, stderr=subprocess.DEVNULL)
    relay = Relay(port, case.get("relay"), old and old_port) if "relay" in case or old else None
    if relay:
        relay.start()
    time.sleep(0.5)
    conf, log = os.path.join(work, "busgated.conf"), os.path.join(work, "busgated.log")
    with open(conf, "w") as out:
        out.write("# losses told to the receivers\nLossRecord = %d\n" % case.get("loss_record", 1))
    gateway = subprocess.Popen(
        [busgated, "-a", case.get("destination", "127.0.0.1"), "-p", str(relay.port if relay else port), "-C", conf,
         "-L", log, "-B", os.path.join(work, "buffer.bin"), "-S", str(case.get("buffer", 8388608)),
         "-M", str(case.get("max_evt", 1000))],
        env=dict(os.environ, LINKSCOPE_SIM=case.get("sim", "1"), LINKSCOPE_LOCK_DIR=work),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    if "during" in case:
        case["during"](dump, gateway)
    time.sleep(case.get("seconds", 2))
    gateway.send_signal(signal.SIGINT)
    check(gateway.wait(10) == 0, "%s: gateway exit status" % case["name"])
    time.sleep(0.5)
    seen = {"drops": udp_drops(port), "log": open(log).read()}
    for name, process in (("dump", dump), ("old", old)):
        if process:
            process.send_signal(signal.SIGINT)
            seen[name] = [json.loads(line) for line in process.communicate(timeout=20)[0].splitlines()]
    if relay:
        relay.running = False
        relay.join()
        seen["touched"] = relay.touched
    return seen


def in_private_namespace(case, work):
    """The case run inside a network namespace of its own; None and why when none can be made."""
    try:
        done = subprocess.run(["unshare", "-rn", sys.executable, __file__, busgated, busdump, "--inside",
                               case["name"], work], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    if done.returncode != 0 or not done.stdout.startswith("{"):
        return None, (done.stderr or done.stdout).strip().splitlines()[-1:]
    return json.loads(done.stdout), None


def address_gone_for_a_while(_dump, _gateway):  # sends fail: the network is unreachable
    subprocess.run(["ip", "addr", "del", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)
    time.sleep(1)
    subprocess.run(["ip", "addr", "add", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)


def stopped_for_a_while(seconds, which):
    def stop(dump, gateway):  # a stopped gateway's card goes on: its backlog then comes in full blocks
        process = dump if which == "dump" else gateway
        process.send_signal(signal.SIGSTOP)
        time.sleep(seconds)
        process.send_signal(signal.SIGCONT)
    return stop


def of(seen, kind):
    return [o for o in seen["dump"] if o["type"] == kind]


def refused(seen):  # frames missing at busdump, and the lifesigns missing from their count
    counters = [o["counter"] for o in of(seen, "lifesign")]
    return of(seen, "source_totals")[0]["frames_lost"] + sum(b - a - 1 for a, b in zip(counters, counters[1:]))


def failed_sends(seen):  # what the gateway's log says it could not send
    found = [(int(d), int(r)) for d, r in re.findall(r"(\d+) datagrams with (\d+) records were dropped", seen["log"])]
    datagrams, records = sum(d for d, _ in found), sum(r for _, r in found)
    check(datagrams == of(seen, "source_totals")[0]["datagrams_lost"], "send: %u datagrams failed" % datagrams)
    return {"gateway_send": records}


def old_counts_unknown(seen):
    new, old = of(seen, "source_totals")[0], [o for o in seen["old"] if o["type"] == "totals"][0]
    check(new["loss_records"] > 0 and old["unknown_records"] == new["loss_records"] and old["events"] == new["events"]
          and not any(old[k] for k in ("malformed", "datagrams_lost", "frames_lost")), "old busdump: %s" % old)
    return {}


CASES = [  # how the loss is made, and the stages it must show in (every other one 0)
    dict(name="card", sim="loss=0.002", view=["-s", "-w", "capture.pcap"],
         expect=lambda seen: {"card": of(seen, "source_totals")[0]["frames_lost"]}),
    dict(name="queue", buffer=8192, view=["-l"], during=stopped_for_a_while(1, "gateway"),
         expect=lambda seen: {"gateway_queue": refused(seen)}),
    dict(name="send", netns=True, listen="0.0.0.0", destination=NETNS_ADDRESS, view=["-s"],
         during=address_gone_for_a_while, expect=failed_sends),
    dict(name="network", relay="drop", view=["-s"], expect=lambda seen: {"network": seen["touched"]}),
    dict(name="network, no loss records", relay="drop", loss_record=0, view=["-s"],
         expect=lambda seen: {"network": seen["touched"]}),
    dict(name="malformed", relay="corrupt", view=["-s"], expect=lambda seen: {"malformed": seen["touched"]}),
    dict(name="receiver", max_evt=20, view=["-s"], during=stopped_for_a_while(4, "dump"), seconds=3,
         expect=lambda seen: {"receiver": seen["drops"]}),
    dict(name="old busdump", old=True, view=["-s"], expect=old_counts_unknown),
]


def check_dissector(stages):  # tshark reads the capture's loss records: the last one's count is the card's
    lua = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "contrib", "wireshark", "busgate.lua")
    try:
        rows = subprocess.run(["tshark", "-n", "-r", "capture.pcap", "-X", "lua_script:" + lua, "-T", "fields", "-e",
                               "busgate.loss.counter", "-e", "busgate.loss.card_lost_frames"],
                              capture_output=True, text=True).stdout.split()
    except OSError:
        return print("SKIP dissector: tshark is not installed (scripts/setup installs it)")
    check(len(rows) >= 6 and rows[0::2] == [str(n) for n in range(1, len(rows) // 2 + 1)] and
          int(rows[-1]) == stages["card"], "dissector: %s" % rows)


def verify(case, seen):
    totals = of(seen, "source_totals")
    check(len(totals) == 1, "%s: %u senders" % (case["name"], len(totals)))
    injected = case["expect"](seen)
    expected = dict(dict.fromkeys(STAGES, 0), **injected)
    stages = {stage: totals[0]["losses_" + stage] for stage in STAGES}
    check(stages == expected and all(injected.values()), "%s: %s, expected %s" % (case["name"], stages, expected))
    check(totals[0]["loss_records"] == 0 if case.get("loss_record") == 0 else totals[0]["loss_records"] >= 3,
          "%s: %u loss records" % (case["name"], totals[0]["loss_records"]))
    if "-s" in case["view"]:
        check(set(of(seen, "source_losses")[-1]["losses"]) == set(STAGES), "%s: per-second losses" % case["name"])
    if "-w" in case["view"]:
        check_dissector(stages)
    print("%s: %s" % (case["name"], stages))


if sys.argv[3:4] == ["--inside"]:
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "addr", "add", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)
    print(json.dumps(run_case(next(c for c in CASES if c["name"] == sys.argv[4]), sys.argv[5])))
    sys.exit(0)

for case in CASES:
    if os.environ.get("LOSS_CASE", case["name"]) != case["name"]:  # one case alone, while working on it
        continue
    if case.get("old") and not old_busdump:
        print("SKIP old busdump: no busdump built from main given (third argument or BUSDUMP_AT_MAIN)")
        continue
    with tempfile.TemporaryDirectory(prefix="busdump-losses-") as work:
        os.chdir(work)
        seen, why = in_private_namespace(case, work) if case.get("netns") else (run_case(case, work), None)
        if seen is None:
            print("SKIP %s: no private network namespace (%s)" % (case["name"], why))
            continue
        verify(case, seen)
sys.exit(1 if failures else 0)
