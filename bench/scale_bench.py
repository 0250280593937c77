#!/usr/bin/env python3
"""The emulator at scale, measured against a running orvo-emulator from one
light client process: idle streams held (the emulator's RSS and threads, the
health check's p99 meanwhile), one send fanned out to every connected device
(to the last payload written), and the cost of a registration after many
tokens were issued. Prints medians with their spread (min-max) over rounds."""
import argparse
import asyncio
import http.client
import json
import os
import resource
import secrets
import statistics
import subprocess
import sys
import time

APP = "com.example.scale"


def start(emulator, extra=()):
    port = 20000 + os.getpid() % 20000
    process = subprocess.Popen([emulator, "--quiet", "--port", str(port), *extra],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            get(port, "/healthz")
            return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    sys.exit("the emulator did not start")


def request(port, method, path, body=None, kind="application/json", connection=None):
    own = connection is None
    connection = connection or http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    headers = {"Content-Type": kind} if body is not None else {}
    connection.request(method, path, body=body, headers=headers)
    answer = connection.getresponse()
    data = answer.read()
    if own:
        connection.close()
    return answer.status, data


def get(port, path):
    return request(port, "GET", path)


def post(port, path, value, connection=None):
    return request(port, "POST", path, json.dumps(value), connection=connection)


def metric(port, name):
    for line in get(port, "/metrics")[1].decode().splitlines():
        if line.startswith(name + " "):
            return float(line.split()[1])
    return 0.0


def process_status(pid):
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.strip()
    return int(status["VmRSS"].split()[0]) // 1024, int(status["Threads"])


def process_cpu(pid):
    """User and system time of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def spread(values, unit):
    return (f"median {statistics.median(values):.3f} {unit} "
            f"(min {min(values):.3f}, max {max(values):.3f}, n={len(values)})")


def import_devices(port, count, tokens_only=False):
    tokens = [secrets.token_hex(32) for _ in range(count)]
    tables = {"apps": [{"app_id": APP, "receiver_version": None}],
              "tokens": [{"token": t, "name": f"d{i}", "created_at": 0} for i, t in enumerate(tokens)]}
    if not tokens_only:
        tables["devices"] = [{"app_id": APP, "device_id": f"dev{i}", "psid": t, "cuid": f"u{i}",
                              "registered": 1, "registered_at": i} for i, t in enumerate(tokens)]
    status, data = post(port, "/__admin/snapshot", {"format": "orvo-emulator-snapshot", "version": 1,
                                                    "tables": tables, "clock_offset_ms": 0})
    if status != 200:
        sys.exit(f"snapshot import refused: {status} {data[:200]}")
    return tokens


async def hold(port, tokens):
    async def one(token):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(f"GET /__gateway/stream?token={token} HTTP/1.1\r\n"
                     f"Host: 127.0.0.1:{port}\r\n\r\n".encode())
        await reader.readuntil(b": connected\n\n")
        return reader, writer
    streams = []
    for at in range(0, len(tokens), 500):
        streams += await asyncio.gather(*(one(t) for t in tokens[at:at + 500]))
    return streams


def health_p99(port, count=400):
    samples = []
    for _ in range(count):
        began = time.perf_counter()
        status, _ = get(port, "/healthz")
        samples.append((time.perf_counter() - began) * 1000)
        assert status == 200
    samples.sort()
    return samples[int(0.99 * len(samples)) - 1]


async def read_forever(reader):
    # The payloads must leave the sockets' buffers, or the emulator's writes stall.
    while await reader.read(65536):
        pass


async def streams_and_fanout(emulator, count, rounds):
    process, port = start(emulator)
    try:
        tokens = import_devices(port, count)
        began = time.perf_counter()
        streams = await hold(port, tokens)
        held = metric(port, "orvo_emulator_open_streams")
        rss, threads = process_status(process.pid)
        print(f"streams: {int(held)} of {count} held (opened in {time.perf_counter() - began:.1f} s); "
              f"emulator RSS {rss} MB, {threads} threads")
        print("healthz p99 while held: " + spread([health_p99(port) for _ in range(rounds)], "ms"))
        readers = [asyncio.create_task(read_forever(r)) for r, _ in streams]
        loop = asyncio.get_running_loop()
        written = lambda: loop.run_in_executor(None, metric, port,
                                               "orvo_emulator_last_fanout_written")
        fanouts, walls, costs = [], [], []
        for round_ in range(rounds):
            cpu = process_cpu(process.pid)
            began = time.perf_counter()
            status, _ = await loop.run_in_executor(
                None, post, port, "/__admin/send",
                {"all": True, "app_id": APP, "message": f"round {round_}"})
            assert status == 200
            while await written() < count:
                await asyncio.sleep(0.005)
            walls.append((time.perf_counter() - began) * 1000)
            costs.append((process_cpu(process.pid) - cpu) / count * 1e6)
            # The emulator's own figure: from the send's acceptance to its
            # last payload written to a socket.
            fanouts.append(metric(port, "orvo_emulator_last_fanout_seconds") * 1000)
            await asyncio.sleep(0.5)
        print(f"one send to {count} connected devices, to the last payload written: "
              + spread(fanouts, "ms"))
        print("  the same seen by the client: " + spread(walls, "ms"))
        print("  emulator CPU per delivery: " + spread(costs, "us"))
        rss, threads = process_status(process.pid)
        print(f"after the sends: emulator RSS {rss} MB, {threads} threads")
        for _, writer in streams:
            writer.close()
        for task in readers:
            task.cancel()
    finally:
        process.terminate()
        process.wait()


def registration(emulator, issued, devices=300, rounds=5):
    process, port = start(emulator)
    try:
        import_devices(port, issued, tokens_only=True)
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        costs = []
        for round_ in range(rounds):
            began = time.perf_counter()
            for i in range(devices):
                name = f"r{round_}-{i}"
                _, data = post(port, "/__gateway/devices", {"name": name}, connection)
                token = json.loads(data)["token"]
                form = f"APP_ID={APP}&CUID={name}&PSID={token}"
                _, data = request(port, "POST", "/asking_authorization.ctl", form,
                                  "application/x-www-form-urlencoded", connection)
                key = json.loads(data)["BODY"]["AUTHKEY"]
                form = (f"PNSID=APNS&APP_ID={APP}&DEVICE_ID={name}&DEVICE_TYPE=I&PSID={token}"
                        f"&CUID={name}&CNAME={name}&PHONENUM=&AUTHKEY={key}&DEVICE_MD=m&OS_VER=1"
                        f"&APP_VER=1&APNS_MODE=DEV")
                status, data = request(port, "POST", "/new_rcv_register_service_and_user.ctl",
                                       form, "application/x-www-form-urlencoded", connection)
                assert json.loads(data)["HEADER"]["RESULT_CODE"] == "0000", data
            costs.append((time.perf_counter() - began) * 1e6 / devices)
        print(f"registration after {issued} tokens issued, per device: " + spread(costs, "us"))
        return statistics.median(costs)
    finally:
        process.terminate()
        process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("emulator")
    parser.add_argument("--streams", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--fanout-only", action="store_true",
                        help="skip the registration cost")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(streams_and_fanout(args.emulator, args.streams, args.rounds))
    if args.fanout_only:
        return
    costs = {issued: registration(args.emulator, issued) for issued in (1000, 10000, 100000)}
    print(f"registration cost, 100000 against 1000 tokens issued: {costs[100000] / costs[1000]:.2f}x")


if __name__ == "__main__":
    main()
