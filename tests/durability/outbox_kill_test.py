#!/usr/bin/env python3
"""A device (orvo-sim with the real library on the desktop host, receiving
from the emulator's gateway) reads every message as it arrives while it is
killed with SIGKILL at random moments and the emulator fails a share of the
acknowledgements, reads and auth-key requests. At the end, with the faults
gone and the device started once more: with --durable, every message that
reached the device's delegate is "read" at the emulator and none reached the
delegate twice; without, the losses and duplicates are counted.

Run inside `orvo-emulator exec --` (ORVO_EMULATOR_URL set).
Usage: outbox_kill_test.py ORVO_SIM KILLS SEED [--durable] [--fail SHARE]
"""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

APP = "com.orvo.sim"
USER = "killed"
FAILING = ["rcv_register_sent_ack.ctl", "rcv_register_send_result.ctl", "asking_authorization.ctl"]


def admin(url, method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url + path, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.loads(answer.read() or b"null")


def main():
    sim, kills, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    durable = "--durable" in sys.argv
    share = float(sys.argv[sys.argv.index("--fail") + 1]) if "--fail" in sys.argv else 0.3
    url = os.environ["ORVO_EMULATOR_URL"].rstrip("/")
    rng = random.Random(seed)
    state = tempfile.mkdtemp(prefix="orvo-outbox-kill-")
    out_path = os.path.join(state, "device.jsonl")
    command = [sim, "run", "dev", "--user", USER, "--auto-read", "--json",
               "--state-dir", state, "--emulator", url]
    if durable:
        command.append("--durable")

    def start():
        out = open(out_path, "a")
        return subprocess.Popen(command, stdout=out, stderr=subprocess.DEVNULL)

    # Registered once without faults, so that every later start finds the user.
    device = start()
    deadline = time.time() + 20
    while not any(d.get("cuid") == USER for d in admin(url, "GET", "/__admin/devices")["devices"]):
        if time.time() > deadline:
            sys.exit("the device did not register")
        time.sleep(0.1)
    for endpoint in FAILING:
        admin(url, "POST", "/__admin/faults", {"endpoint": endpoint, "effect": "status",
                                               "status": 500, "probability": share,
                                               "seed": rng.randrange(1 << 30)})
    sent = 0
    for _ in range(kills):
        for _ in range(rng.randrange(1, 3)):
            sent += 1
            admin(url, "POST", "/__admin/send", {"user": USER, "app_id": APP, "message": f"m{sent}"})
        time.sleep(rng.uniform(0.05, 0.5))
        device.send_signal(signal.SIGKILL)
        device.wait()
        device = start()
    admin(url, "DELETE", "/__admin/faults")

    def done():
        return sum(d["state"] in ("delivered", "read")
                   for m in admin(url, "GET", "/__admin/messages")["messages"]
                   for d in m["deliveries"])

    # The device catches up (the outbox retries within a second): until
    # nothing has changed for four seconds, or two minutes at most.
    last, steady, deadline = -1, time.time(), time.time() + 120
    while time.time() < deadline and time.time() - steady < 4:
        time.sleep(0.5)
        now = done()
        if now != last:
            last, steady = now, time.time()
    device.send_signal(signal.SIGKILL)
    device.wait()

    reached = {}
    with open(out_path) as lines:
        for line in lines:
            try:
                event = json.loads(line)
            except ValueError:
                continue  # a line cut short by a kill
            if event.get("event") == "notification":
                reached[event["seqno"]] = reached.get(event["seqno"], 0) + 1
    states = {}
    repeated_acks = repeated_reads = 0
    for message in admin(url, "GET", "/__admin/messages")["messages"]:
        for delivery in message["deliveries"]:
            states[str(message["seqno"])] = delivery["state"]
        repeated_acks += message.get("repeated_acks", 0)
        repeated_reads += message.get("repeated_reads", 0)
    duplicated = sorted(s for s, n in reached.items() if n > 1)
    not_delivered = sorted(s for s in reached if states.get(s) not in ("delivered", "read"))
    not_read = sorted(s for s in reached if states.get(s) != "read")
    # Acknowledged to the server, yet the application never saw it.
    unseen = sorted(s for s, st in states.items() if st in ("delivered", "read") and s not in reached)
    print(json.dumps({"durable": durable, "kills": kills, "seed": seed, "sent": sent,
                      "reached_delegate": len(reached), "duplicated": len(duplicated),
                      "not_delivered": len(not_delivered), "not_read": len(not_read), "acknowledged_unseen": len(unseen),
                      "repeated_acks": repeated_acks, "repeated_reads": repeated_reads,
                      "states": {s: list(states.values()).count(s) for s in set(states.values())}}))
    # A process killed while its delegate runs does not deliver the message
    # again (at most once): "acknowledged_unseen" counts those, not a failure.
    shutil.rmtree(state, ignore_errors=True)
    if durable and (duplicated or not_delivered or not_read):
        print("duplicated", duplicated, "not delivered", not_delivered, "not read", not_read,
              "acknowledged unseen", unseen)
        sys.exit(1)


if __name__ == "__main__":
    main()
