#!/usr/bin/env python3
"""A loss injected at one stage of the road from the bus to busdump is charged to that stage, in
full, and to no other: a simulated card that skips frames, a gateway queue too small for the card's
bursts, sends that fail (inside a private network namespace), a relay on 127.0.0.1 that drops or
spoils one datagram in ten, and a busdump stopped until its socket overflows. The gateway sends its
loss records (LossRecord=1); a busdump built from main, when given, counts them as unknown records.
   check_losses.py BUSGATED BUSDUMP [BUSDUMP_AT_MAIN]"""
import json, os, re, signal, socket, subprocess, sys, tempfile, threading, time

busgated, busdump = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
old_busdump = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else os.environ.get("BUSDUMP_AT_MAIN", "")
STAGES = ("card", "gateway_queue", "gateway_send", "network", "receiver", "malformed")
NETNS_ADDRESS = "10.9.9.1"  # exists only inside the namespace, on its loopback
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
    """Forwards datagrams from its port to busdump's; every tenth from the fifth on is dropped, or
    spoiled: its first record's length made too long (the header stays sound) or, every other time,
    its magic. `copy_port` also gets every datagram as it came."""

    def __init__(self, to_port, action=None, copy_port=None):
        super().__init__(daemon=True)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.2)
        self.port, self.to_port, self.action, self.copy_port = self.socket.getsockname()[1], to_port, action, copy_port
        self.touched, self.running = 0, True

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
                self.touched += 1
                if self.action == "drop":
                    continue
                if self.touched % 2:
                    data[17:19] = b"\xff\xff"
                else:
                    data[0:2] = b"XX"
            self.socket.sendto(data, ("127.0.0.1", self.to_port))


def udp_drops(port):
    """The drops the system counted for the socket bound to `port` (/proc/net/udp)."""
    with open("/proc/net/udp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                return int(fields[-1])
    return None


def run_case(case, work):
    """Runs a gateway into busdump as the case says; busdump's JSON objects and the gateway's log."""
    port = free_port()
    listen = case.get("listen", "127.0.0.1")
    dump = subprocess.Popen([busdump, "-b", listen, "-p", str(port), "--json"] + case["view"],
                            stdout=subprocess.PIPE, text=True, stderr=subprocess.DEVNULL)
    old = None
    if case.get("old"):
        old_port = free_port()
        old = subprocess.Popen([old_busdump, "-b", "127.0.0.1", "-p", str(old_port), "--json", "-s"],
                               stdout=subprocess.PIPE, text=True, stderr=subprocess.DEVNULL)
    relay = None
    if "relay" in case or old:
        relay = Relay(port, case.get("relay"), old_port if old else None)
        relay.start()
    time.sleep(0.5)
    conf = os.path.join(work, "busgated.conf")
    with open(conf, "w") as out:
        out.write("# losses told to the receivers\nLossRecord = %d\n" % case.get("loss_record", 1))
    log = os.path.join(work, "busgated.log")
    env = dict(os.environ, LINKSCOPE_SIM=case.get("sim", "1"), LINKSCOPE_LOCK_DIR=work)
    gateway = subprocess.Popen(
        [busgated, "-a", case.get("destination", "127.0.0.1"), "-p", str(relay.port if relay else port),
         "-B", os.path.join(work, "buffer.bin"), "-S", str(case.get("buffer", 8388608)), "-M", str(case.get("max_evt", 1000)),
         "-C", conf, "-L", log], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    if "during" in case:
        case["during"](dump, gateway)
    time.sleep(case.get("seconds", 2))
    gateway.send_signal(signal.SIGINT)
    check(gateway.wait(10) == 0, "%s: gateway exit status" % case["name"])
    time.sleep(0.5)
    seen = {"drops": udp_drops(port)}
    for name, process in (("dump", dump), ("old", old)):
        if process:
            process.send_signal(signal.SIGINT)
            out, _ = process.communicate(timeout=20)
            seen[name] = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    if relay:
        relay.running = False
        relay.join()
        seen["touched"] = relay.touched
    with open(log) as text:
        seen["log"] = text.read()
    return seen


def in_private_namespace(case, work):
    """Runs the case inside a network namespace of its own; None when none can be made."""
    command = ["unshare", "-rn", sys.executable, __file__, busgated, busdump, "--inside", case["name"], work]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    if done.returncode != 0 or not done.stdout.startswith("{"):
        return None, (done.stderr or done.stdout).strip().splitlines()[-1:] or "no output"
    return json.loads(done.stdout), None


def unreachable_for_a_while(_dump, _gateway):
    """Inside the namespace: the destination's address goes away for a second, then comes back."""
    subprocess.run(["ip", "addr", "del", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)
    time.sleep(1)
    subprocess.run(["ip", "addr", "add", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)


def stopped_for_a_while(dump, _gateway):
    dump.send_signal(signal.SIGSTOP)
    time.sleep(4)
    dump.send_signal(signal.SIGCONT)


def gateway_stopped_for_a_while(_dump, gateway):
    """The card goes on filling its buffer: afterwards its backlog comes in full blocks, a burst."""
    gateway.send_signal(signal.SIGSTOP)
    time.sleep(1)
    gateway.send_signal(signal.SIGCONT)


def objects_of(seen, kind):
    return [o for o in seen["dump"] if o["type"] == kind]


def lifesigns_lost(seen):
    counters = [o["counter"] for o in objects_of(seen, "lifesign")]
    return sum(b - a - 1 for a, b in zip(counters, counters[1:]))


def failed_sends(seen):
    """The datagrams and records the gateway's log says it could not send."""
    found = re.findall(r"(\d+) datagrams with (\d+) records were dropped", seen["log"])
    return sum(int(d) for d, _ in found), sum(int(r) for _, r in found)


def expect_send(seen):
    datagrams, records = failed_sends(seen)
    totals = objects_of(seen, "source_totals")[0]
    check(datagrams > 0 and totals["datagrams_lost"] == datagrams,
          "send: %u datagrams failed, %u missing from the sequence" % (datagrams, totals["datagrams_lost"]))
    return {"gateway_send": records}


def expect_old(seen):
    new, old = objects_of(seen, "source_totals")[0], [o for o in seen["old"] if o["type"] == "totals"]
    check(len(old) == 1 and new["loss_records"] > 0 and old[0]["unknown_records"] == new["loss_records"] and
          old[0]["events"] == new["events"] and not any(old[0][k] for k in ("malformed", "datagrams_lost", "frames_lost")),
          "old busdump: %s, loss records %u" % (old, new["loss_records"]))
    return {}


# name, how the loss is made, the stages it must show in (all others 0)
CASES = [
    dict(name="card", sim="loss=0.002", view=["-s", "-w", "capture.pcap"],
         expect=lambda seen: {"card": objects_of(seen, "source_totals")[0]["frames_lost"]}),
    dict(name="queue", buffer=8192, view=["-l"], during=gateway_stopped_for_a_while,
         expect=lambda seen: {"gateway_queue": objects_of(seen, "source_totals")[0]["frames_lost"] + lifesigns_lost(seen)}),
    dict(name="send", netns=True, listen="0.0.0.0", destination=NETNS_ADDRESS, view=["-s"],
         during=unreachable_for_a_while, expect=expect_send),
    dict(name="network", relay="drop", view=["-s"], expect=lambda seen: {"network": seen["touched"]}),
    dict(name="network without loss records", relay="drop", loss_record=0, view=["-s"],
         expect=lambda seen: {"network": seen["touched"]}),
    dict(name="malformed", relay="corrupt", view=["-s"], expect=lambda seen: {"malformed": seen["touched"]}),
    dict(name="receiver", max_evt=20, view=["-s"], during=stopped_for_a_while, seconds=3,
         expect=lambda seen: {"receiver": seen["drops"]}),
    dict(name="old busdump", old=True, view=["-s"], expect=expect_old),
]


def check_dissector(work, stages):
    """tshark with the dissector reads the loss records of the capture: the last one's count is the card's."""
    pcap = os.path.join(work, "capture.pcap")
    try:
        done = subprocess.run(["tshark", "-n", "-r", pcap, "-X", "lua_script:" + os.path.join(
            os.path.dirname(__file__), "..", "..", "contrib", "wireshark", "busgate.lua"), "-T", "fields",
            "-e", "busgate.loss.counter", "-e", "busgate.loss.card_lost_frames"], capture_output=True, text=True)
    except OSError:
        print("SKIP dissector: tshark is not installed (scripts/setup installs it)")
        return
    rows = [line.split("\t") for line in done.stdout.splitlines() if line.strip()]
    check(len(rows) >= 3 and [int(r[0]) for r in rows] == list(range(1, len(rows) + 1)) and
          int(rows[-1][1]) == stages["card"], "dissector: loss records %s, card %u" % (rows, stages["card"]))


def verify(case, seen, work):
    totals = objects_of(seen, "source_totals")
    check(len(totals) == 1, "%s: %u senders" % (case["name"], len(totals)))
    if len(totals) != 1:
        return
    expected = dict.fromkeys(STAGES, 0)
    expected.update(case["expect"](seen))
    stages = {stage: totals[0]["losses_" + stage] for stage in STAGES}
    injected = [v for k, v in case["expect"](seen).items()]
    check(stages == expected and all(v and v > 0 for v in injected),
          "%s: losses %s, expected %s" % (case["name"], stages, expected))
    if "-s" in case["view"]:
        per_second = objects_of(seen, "source_losses")
        check(per_second and set(per_second[-1]["losses"]) == set(STAGES), "%s: per-second losses" % case["name"])
    if case["name"] == "card":
        check_dissector(work, stages)
    print("%s: %s" % (case["name"], stages))


if len(sys.argv) > 4 and sys.argv[3] == "--inside":
    case = next(c for c in CASES if c["name"] == sys.argv[4])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "addr", "add", NETNS_ADDRESS + "/32", "dev", "lo"], check=True)
    print(json.dumps(run_case(case, sys.argv[5])))
    sys.exit(0)

for case in CASES:
    if os.environ.get("LOSS_CASE", case["name"]) != case["name"]:  # one case alone, while working on it
        continue
    with tempfile.TemporaryDirectory(prefix="busdump-losses-") as work:
        os.chdir(work)
        if case.get("old") and not old_busdump:
            print("SKIP old busdump: no busdump built from main was given (third argument or BUSDUMP_AT_MAIN)")
            continue
        if case.get("netns"):
            seen, why = in_private_namespace(case, work)
            if seen is None:
                print("SKIP %s: no private network namespace (%s)" % (case["name"], why))
                continue
        else:
            seen = run_case(case, work)
        verify(case, seen, work)
sys.exit(1 if failures else 0)
