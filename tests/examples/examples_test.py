#!/usr/bin/env python3
"""The README's sample and the examples against a real orvo-emulator, as a new
user runs them: what they print, what the emulator records, and a restart of
the emulator (with --state) while an application is listening."""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request

APP_ID = "com.example.app"
WAIT = 20


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Program:
    """A program whose output lines are collected as they come."""

    def __init__(self, argv, **kwargs):
        self.argv = argv
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, **kwargs)
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def count(self, text):
        with self.lock:
            return sum(1 for line in self.lines if line == text)

    def wait_for(self, text, timeout=WAIT):
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            if self.count(text):
                return
            if self.process.poll() is not None:
                time.sleep(0.1)
                break
            time.sleep(0.05)
        with self.lock:
            seen = "\n  ".join(self.lines[-30:])
        raise Failure(f"{os.path.basename(self.argv[0])} did not print {text!r}; it printed:\n  {seen}")

    def finish(self, timeout=WAIT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure(f"{os.path.basename(self.argv[0])} did not end within {timeout} s")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Emulator:
    def __init__(self, path, port, state):
        self.path, self.port, self.state = path, port, state
        self.url = f"http://127.0.0.1:{port}"
        self.program = None

    def start(self):
        self.program = Program([self.path, "--port", str(self.port), "--state", self.state,
                                "--quiet"])
        until = time.monotonic() + WAIT
        while time.monotonic() < until:
            try:
                urllib.request.urlopen(self.url + "/healthz", timeout=1).read()
                return
            except OSError:
                time.sleep(0.05)
        raise Failure("the emulator did not come up")

    def stop(self):
        self.program.process.send_signal(signal.SIGTERM)
        check(self.program.finish() == 0, "the emulator did not stop cleanly")

    def send(self, user, text, *extra):
        done = subprocess.run([self.path, "send", "--url", self.url, "--user", user, "--app", APP_ID,
                               *extra, text], capture_output=True, text=True, timeout=WAIT)
        check(done.returncode == 0, f"orvo-emulator send failed: {done.stderr}")

    def deliveries(self, text):
        with urllib.request.urlopen(self.url + "/__admin/messages", timeout=5) as answer:
            messages = json.load(answer)["messages"]
        return [d for m in messages if m["message"] == text for d in m["deliveries"]]

    def wait_delivered(self, text):
        until = time.monotonic() + WAIT
        while time.monotonic() < until:
            if any(d["state"] == "delivered" for d in self.deliveries(text)):
                return
            time.sleep(0.05)
        raise Failure(f"the emulator does not show {text!r} delivered: {self.deliveries(text)}")


def bundle(manifest, folder, url):
    os.makedirs(os.path.join(folder, "res"), exist_ok=True)
    with open(manifest) as source:
        text = source.read().replace("http://127.0.0.1:8750/", url + "/")
    with open(os.path.join(folder, "res", "Manifest.xml"), "w") as out:
        out.write(text)


def readme_sample(args, emulator, env):
    folder = os.path.join(args.work, "readme")
    bundle(args.manifest, os.path.join(folder, "app"), emulator.url)
    app = Program([args.readme_app], cwd=folder, env=env)
    try:
        app.wait_for("registered as alice; waiting for a message")
        emulator.send("alice", "Hello from the README")
        app.wait_for("received (ACTIVE): Hello from the README")
        check(app.finish() == 0, "the README's sample did not end with status 0")
    finally:
        app.kill()
    print("README sample: registered and printed the message")


def minimal_app(args, emulator, env):
    refused = subprocess.run([args.minimal_app, "zz"], capture_output=True, text=True, env=env,
                             timeout=WAIT)
    check(refused.returncode == 2 and refused.stderr.startswith("usage: "),
          f"minimal-app zz: status {refused.returncode}, {refused.stderr!r}")
    folder = os.path.join(args.work, "minimal")
    bundle(args.manifest, folder, emulator.url)
    app = Program([args.minimal_app, folder, "bob"], env=env)
    try:
        app.wait_for("registered as bob; waiting for notifications")
        emulator.send("bob", "first")
        app.wait_for("notification (ACTIVE): first")
        emulator.wait_delivered("first")

        emulator.stop()
        emulator.start()
        emulator.send("bob", "sent meanwhile")
        app.wait_for("notification (ACTIVE): sent meanwhile")
        emulator.wait_delivered("sent meanwhile")
        time.sleep(1)  # time for a duplicate to show
        check(app.count("notification (ACTIVE): first") == 1, "'first' arrived again after the restart")
        check(app.count("notification (ACTIVE): sent meanwhile") == 1,
              "'sent meanwhile' arrived more than once")

        image = emulator.url + "/images/sample.png"
        emulator.send("bob", "picture", "--ext", json.dumps({"imageUrl": image}))
        app.wait_for("notification (ACTIVE): picture")
        payload = emulator.deliveries("picture")[0]["payload"]

        app.process.send_signal(signal.SIGINT)
        check(app.finish() == 0, "minimal-app did not end with status 0 on SIGINT")
    finally:
        app.kill()
    print("minimal-app: printed each message once across an emulator restart, stopped on SIGINT")
    return folder, payload


def service_extension(args, folder, payload, env):
    done = subprocess.run([args.service_extension, folder], input=json.dumps(payload),
                          capture_output=True, text=True, env=env, timeout=60)
    lines = done.stdout.splitlines()
    check(done.returncode == 0 and "acknowledged: yes" in lines,
          f"service-extension: status {done.returncode}, printed {done.stdout!r} {done.stderr!r}")
    attachments = [line[len("attachment: "):] for line in lines if line.startswith("attachment: ")]
    check(len(attachments) == 1 and attachments[0].endswith(".png"),
          f"service-extension attached {attachments}")
    with open(attachments[0], "rb") as image:
        check(image.read(8) == b"\x89PNG\r\n\x1a\n", f"{attachments[0]} is not a PNG image")
    print("service-extension: acknowledged and attached the emulator's sample image")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--emulator", "--readme-app", "--minimal-app", "--service-extension",
                 "--manifest", "--work"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    emulator = Emulator(args.emulator, free_port(), os.path.join(args.work, "emulator.db"))
    env = dict(os.environ, ORVO_EMULATOR_URL=emulator.url,
               XDG_DATA_HOME=os.path.join(args.work, "data"), TMPDIR=args.work)
    emulator.start()
    try:
        readme_sample(args, emulator, env)
        folder, payload = minimal_app(args, emulator, env)
        service_extension(args, folder, payload, env)
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        if emulator.program:
            emulator.program.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
