#!/usr/bin/env python3
"""busdump --mqtt against a real mosquitto broker on a 127.0.0.1 port of its own: an alert,
summaries and the retained states reach mosquitto_sub; the broker is stopped and started again
during the run (busdump reconnects, receives everything, and what it dropped is exactly what
never arrived); the receiver's last will after busdump is killed.
   check_mqtt.py BUSGATED BUSDUMP      (exit 77: no broker on this machine)"""
import getpass, json, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time

busgated, busdump = sys.argv[1], sys.argv[2]
SERIAL = 0x4C530001
failures = []

for tool in ("mosquitto", "mosquitto_sub"):
    if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
        print("SKIP: %s is not installed (scripts/setup installs mosquitto and mosquitto-clients)" % tool)
        sys.exit(77)
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


started = []


def spawn(command, **options):
    """A child process that stop_all() ends, however the check ends."""
    process = subprocess.Popen(command, **options)
    started.append(process)
    return process


def stop_all():
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait(10)


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Lines:
    """Collects the lines of a child's stream as they come."""
    def __init__(self, stream):
        self.lines = []
        self.thread = threading.Thread(target=lambda: [self.lines.append(l.rstrip("\n")) for l in stream], daemon=True)
        self.thread.start()

    def wait_for(self, text, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if any(text in l for l in self.lines):
                return True
            time.sleep(0.05)
        return False


def start_broker(work, port, settings="allow_anonymous true\n"):
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        # As root, mosquitto would become the user "mosquitto", who cannot read this directory.
        f.write("listener %d 127.0.0.1\npersistence false\nuser %s\n%s" % (port, getpass.getuser(), settings))
    broker = spawn([MOSQUITTO, "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return broker
        except OSError:
            time.sleep(0.05)
    raise SystemExit("mosquitto did not listen on %d" % port)


def subscribe(port, topic):
    """A live subscriber: every message as 'retained topic payload'."""
    sub = spawn(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", topic,
                "-F", "%r %t %p"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    time.sleep(0.5)
    return sub, Lines(sub.stdout)


def retained(port, topic, login=()):
    """The retained messages under topic, {topic: payload}."""
    out = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", topic, "--retained-only",
                          "-W", "1", "-F", "%t %p"] + list(login), capture_output=True, text=True).stdout
    return dict(line.split(" ", 1) for line in out.splitlines() if " " in line)


def live(lines):
    """(topic, payload) of the messages published while subscribed (not retained copies)."""
    return [tuple(l.split(" ", 2)[1:]) for l in lines if l.startswith("0 ") and l.count(" ") >= 2]


def stop(*processes):
    for process in processes:
        process.terminate()
        process.wait(10)


# Every child is stopped before the directory goes, whatever failed or raised.
with tempfile.TemporaryDirectory(prefix="busdump-mqtt-") as work:
    try:
        mqtt_port, udp_port = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        baseline = os.path.join(work, "baseline.json")
        receiving = [busdump, "-b", "127.0.0.1", "-p", str(udp_port)]
        broker_at = "127.0.0.1:%d" % mqtt_port

        def start_gateway(sim):
            return spawn([busgated, "-a", "127.0.0.1", "-p", str(udp_port), "-B", os.path.join(work, "buffer.bin")],
                         env=dict(os.environ, LINKSCOPE_LOCK_DIR=work, LINKSCOPE_SIM="bitrate=500000," + sim),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def start_dump(topic, *more):
            dump = spawn(receiving + ["--mqtt", broker_at, "--mqtt-topic", topic] + list(more),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            return dump, Lines(dump.stdout), Lines(dump.stderr)

        def receiver_states(states):
            return [v for t, v in states.items() if "/receiver/" in t]

        # The healthy bus as the baseline; the bus below lacks station 4: its alerts come at once and
        # stay (periods are not judged: with a station gone the sim's periods move to and fro).
        saving = spawn(receiving + ["-s", "-t", "3", "--save-baseline", baseline], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        time.sleep(0.3)
        gateway = start_gateway("stations=6,absent=1")
        saving.wait(20)
        stop(gateway)
        broker = start_broker(work, mqtt_port)
        sub1, got1 = subscribe(mqtt_port, "plant/#")
        dump, dump_out, dump_err = start_dump("plant", "--json", "-t", "15", "--baseline", baseline, "--tolerance", "1000",
                                              "--interval", "0.2", "--mqtt-queue", "10")
        gateway = start_gateway("stations=6,absent=2")
        time.sleep(3)
        states = retained(mqtt_port, "plant/#")
        check(states.get("plant/0x4c530001/state") == "online" and receiver_states(states) == ["online"],
              "retained states %s" % states)

        # The broker goes away for a while: busdump says so once, retries, and says once that it is back.
        stop(broker)
        check(dump_err.wait_for("lost the MQTT broker", 3), "no line about the lost broker: %s" % dump_err.lines)
        time.sleep(3)  # busdump tries again after 1 s, 1 + 2 s, 1 + 2 + 4 s: this subscriber is there first
        broker = start_broker(work, mqtt_port)
        sub2, got2 = subscribe(mqtt_port, "plant/#")
        check(dump_err.wait_for("connected to the MQTT broker %s again" % broker_at, 8),
              "no line about the broker back: %s" % dump_err.lines)
        time.sleep(1)
        states = retained(mqtt_port, "plant/#")
        check(states.get("plant/0x4c530001/state") == "online", "state not told again to the new broker: %s" % states)
        time.sleep(1)
        stop(gateway)
        dump.wait(30)
        dump_out.thread.join(5)
        dump_err.thread.join(5)
        check(dump.returncode == 0, "busdump status %s" % dump.returncode)
        time.sleep(0.5)
        stop(sub1, sub2)
        objects = [json.loads(line) for line in dump_out.lines if line.startswith("{")]
        totals = [o for o in objects if o["type"] == "mqtt_totals"]
        check(len(totals) == 1 and totals[0]["connections"] == 2 and totals[0]["dropped"] > 0, "mqtt totals %s" % totals)
        senders = [o for o in objects if o["type"] == "source_totals"]
        check(len(senders) == 1 and senders[0]["datagrams_lost"] == 0 and senders[0]["frames_lost"] == 0 and
              senders[0]["malformed"] == 0 and senders[0]["events"] > 0, "reception lost something: %s" % senders)
        check(sum("MQTT" in l for l in dump_err.lines) == 2, "lines about the broker: %s" % dump_err.lines)

        messages = live(got1.lines) + live(got2.lines)
        alerts = [json.loads(p) for t, p in messages if t == "plant/0x4c530001/alert"]
        raised = {(a["alert"], a["subject"]) for a in alerts if a["state"] == "raised" and a["sn"] == SERIAL}
        check(raised == {("station_missing", "4")} | {("identifier_missing", "0x%04x" % (b | 4)) for b in
                                                       (0x0200, 0x0300, 0x0500, 0x0600, 0x1000, 0x1100)},
              "alerts raised %s" % sorted(raised))
        summaries = [json.loads(p) for t, p in messages if t.endswith("/summary")]
        named = [s for s in summaries if s["sn"] == SERIAL]
        check(sum(s["events"] > 0 for s in named) > 10 and
              all(set(s["losses"]) >= {"card", "network", "receiver"} and sum(s["losses_total"].values()) == 0
                  for s in named), "summaries %s" % named[:2])
        # Every summary is numbered: those that never arrived are exactly those counted as dropped
        # (while the broker was away only summaries were published, and made room for one another).
        numbers = {s["number"] for s in summaries}
        missing = set(range(1, max(numbers) + 1)) - numbers if numbers else set()
        if totals:
            check(len(missing) == totals[0]["dropped"], "%d summaries never arrived, %d counted as dropped"
                  % (len(missing), totals[0]["dropped"]))
        states = retained(mqtt_port, "plant/#")
        check(states.get("plant/0x4c530001/state") == "offline" and receiver_states(states) == ["offline"],
              "states at exit %s" % states)

        # A broker not there at start: one line, then one when it comes; killed, busdump cannot say
        # goodbye: the broker publishes its will.
        stop(broker)
        killed, _, killed_err = start_dump("will")
        check(killed_err.wait_for("MQTT broker %s not reachable" % broker_at, 3), "down at start: %s" % killed_err.lines)
        broker = start_broker(work, mqtt_port)
        check(killed_err.wait_for("connected to the MQTT broker " + broker_at, 8), "up later: %s" % killed_err.lines)
        check(receiver_states(retained(mqtt_port, "will/#")) == ["online"], "no online before the kill")
        killed.send_signal(signal.SIGKILL)
        killed.wait(5)
        time.sleep(0.5)
        check(receiver_states(retained(mqtt_port, "will/#")) == ["offline"], "no last will after SIGKILL")
        stop(broker)

        # A broker that wants a password: the one in the file logs in, a wrong one is refused (told
        # once). Then TLS to a broker whose certificate (for 127.0.0.1) is the one trusted.
        users, cert, key = (os.path.join(work, n) for n in ("users", "cert.pem", "key.pem"))
        subprocess.run(["mosquitto_passwd", "-c", "-b", users, "rx", "right one"], check=True)
        broker = start_broker(work, mqtt_port, "allow_anonymous false\npassword_file %s\n" % users)
        logins = []
        for name, password in (("good", "right one"), ("bad", "wrong")):
            with open(os.path.join(work, name), "w") as f:
                f.write(password + "\n")
            logins.append(start_dump(name, "--mqtt-user", "rx", "--mqtt-password-file", os.path.join(work, name)))
        time.sleep(1.5)
        states = retained(mqtt_port, "#", ["-u", "rx", "-P", "right one"])
        check([t.split("/")[0] for t, v in states.items() if v == "online"] == ["good"], "logged in: %s" % states)
        check(sum("refused the connection (Connection Refused: not authorised.)" in l for l in logins[1][2].lines) == 1,
              "wrong password: %s" % logins[1][2].lines)
        stop(broker, *(login[0] for login in logins))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                        "-out", cert], check=True, capture_output=True)
        broker = start_broker(work, mqtt_port, "allow_anonymous true\ncertfile %s\nkeyfile %s\n" % (cert, key))
        secure, _, secure_err = start_dump("tls", "--mqtt-cafile", cert)
        time.sleep(1.5)
        states = retained(mqtt_port, "tls/#", ["--cafile", cert])
        check(list(states.values()) == ["online"], "over TLS: %s %s" % (states, secure_err.lines))
        stop(secure, broker)
    finally:
        stop_all()
sys.exit(1 if failures else 0)
